// The two backends as the front sees them: one table of operations each, the same set with
// the same result types. Every export routes through the table of the backend the session
// record selects, instead of asking which backend it is.
#ifndef TEVRO_FRONT_BACKENDS_H
#define TEVRO_FRONT_BACKENDS_H

#include <stdint.h>

struct Backend {
  int32_t (*openSession)(uint8_t index);  // kNotOpen, or the open result
  bool (*closeSession)();                 // writes the openings back; always true
  bool (*kick)();
  bool (*release)();
  bool (*getSwitch)(char* readFlag);  // readFlag never null here
  void (*getFirmWareVersion)(char* buf);
  uint32_t (*getLastOpenCnt)();
  uint32_t (*getLocalOpenCnt)();
  uint32_t (*getTotalOpenCnt)();
  uint32_t (*getSerialNumber)();
  uint32_t (*getMfgDate)();
  bool (*setSerialNumber)(uint32_t value);
  bool (*setMfgDate)(uint32_t value);
  bool (*setLastOpenCnt)(uint32_t value);
  uint8_t (*scan)(bool leaveSession);
  void (*settle)();
  void (*quiesce)();  // before the unload's close: ends what is running
  void (*detach)(bool processExit);
};

extern const Backend kBridgeBackend;
extern const Backend kPortBackend;

#endif  // TEVRO_FRONT_BACKENDS_H
