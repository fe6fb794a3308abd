// The two backends as the front sees them: one table of operations each, the same set with
// the same result types. Every export routes through the table of the backend the session
// record selects, instead of asking which backend it is. Entries marked optional are null
// where the backend has nothing of the kind (the bridge box times its own pulse).
#ifndef TEVRO_FRONT_BACKENDS_H
#define TEVRO_FRONT_BACKENDS_H

#include <windows.h>
#include <stdint.h>

#include "common/box_reach.h"
#include "common/unload_kind.h"

struct Backend {
  int32_t (*openSession)(uint8_t index);  // kNotOpen, or the open result
  // Ends the session's use of its box after the front wrote its openings back; 'total' is
  // what GetTotalOpenCnt reports from then on. Always true.
  bool (*closeSession)(uint32_t total);
  bool (*kick)();
  bool (*release)();                  // optional
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

  // The opening counter of box 'index', for the session's write-back and what it owes: the
  // box is held from holdBox to letGo (one device open, the box's turn kept throughout),
  // and read and written in between. The write keeps the backend's copy of the record in
  // step when the box is the session's.
  BoxReach (*holdBox)(uint8_t index, DWORD waitMs);
  void (*letGo)(uint8_t index);
  bool (*readHeldCounter)(uint32_t* value);
  bool (*writeHeldCounter)(uint32_t value);
  // The session's copy of its box's counter, when it was read from that box (or written)
  // in this session.
  bool (*cachedCounter)(uint32_t* value);

  uint8_t (*scan)(bool leaveSession);
  // Optional. Settle: on entry to every export, ends what is overdue. CompletePulse: waits
  // out a running pulse and ends it ('endedBy' names the caller for the trace).
  void (*settle)();
  void (*completePulse)(const char* endedBy);
  void (*detach)(UnloadKind kind);
};

extern const Backend kBridgeBackend;
extern const Backend kPortBackend;
// Both, for what the front does to every backend.
extern const Backend* const kBackends[2];

#endif  // TEVRO_FRONT_BACKENDS_H
