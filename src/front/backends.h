// The two backends as the front sees them: one table of operations each, the same set with
// the same types. A backend offers what its boxes do; the session's rules (the opening
// counts, the write-back and what it owes, the closed session's total, the copy of the
// stored counter, the last switch state) are the front's. Every export routes through the
// table of the backend the session record selects, instead of asking which backend it is.
// The drawer pulse the library times itself is one group of operations (PulseOps), null for
// the bridge, whose box times its own pulse.
//
// Unless an entry says otherwise it addresses the box of the last session open, opens it
// for the operation and closes it again before it returns, waiting at most 5 s for a box
// another caller keeps.
#ifndef TEVRO_FRONT_BACKENDS_H
#define TEVRO_FRONT_BACKENDS_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"

// What GetSwitch reports when the switch cannot be read from the box.
enum class FailedSwitchRead : uint8_t {
  kLastStateRead,  // the state read last from such a box (open until one is read)
  kOpen,           // open
};

// The drawer pulse the library times itself: at most one of this process pending, and the
// releases owed to boxes.
struct PulseOps {
  // Ends the pulse of the addressed box at once, even with none pending, but never another
  // process's; true when the release reached a box with a valid status.
  bool (*release)();
  // On entry to every export: ends a pulse whose time is up and tries what is owed, without
  // waiting for a box another caller keeps.
  void (*finishOverdue)();
  // Waits out a pending pulse and ends it ('endedBy' names the caller for the trace).
  void (*completePulse)(const char* endedBy);
};

struct Backend {
  const char* name;  // "port" or "bridge", as the trace names the backend's boxes
  BoxKind kind;
  FailedSwitchRead failedSwitchRead;

  // Session. Open: addresses box 'index', probes and sets it up, and reads its identity
  // record as far as the open does (*counter: the stored counter, when it was read); the
  // open result, or kNotOpen. Close: the front has written the session's openings back; the
  // box is no longer addressed.
  int32_t (*openSession)(uint8_t index, CounterSeen* counter);
  void (*closeSession)();

  // The drawer and the switch. Switch: true when the switch contact reads closed; *readNow
  // tells whether it was read from the box in this call.
  KickResult (*kick)();
  bool (*readSwitch)(bool* readNow);
  void (*firmwareText)(char* buf);  // buf never null; nothing written when the box is not reached

  // The identity record. Read: false when the field cannot be read; 'expected', when
  // given, is what the caller expects the field to hold, and the backend may then read
  // only part of it (the driver port: the low byte) and take the rest to be as expected
  // when that part matches. Write: false unless written whole; 'holds', when given, is
  // what the box holds now (the driver port then writes only the bytes that differ). Both
  // set *counter when they saw the box's stored counter (CounterSeen), and leave it
  // otherwise. Inside holdBox .. letGo they act on the held box, in the device open of the
  // hold; a bridge write there of a field not read in the hold writes the record the bridge
  // keeps of the session's box, and only when the held box is that box.
  bool (*readField)(IdentityField field, uint32_t* value, const CounterSeen* expected,
                    CounterSeen* counter);
  bool (*writeField)(IdentityField field, uint32_t value, const uint32_t* holds,
                     CounterSeen* counter);

  // One device open of box 'index' with its lock kept throughout, for a read-modify-write:
  // kReached, or why not (nothing held then).
  BoxReach (*holdBox)(uint8_t index, DWORD waitMs);
  void (*letGo)(uint8_t index);

  // The boxes at indexes 0, 1, ... up to the first that does not answer (a box another
  // caller keeps counts); probes leave an open session alone.
  uint8_t (*scan)(ScanMode mode);

  // The pulse's operations; null when the box times its own pulse.
  const PulseOps* pulse;

  // The library is being unloaded.
  void (*detach)(UnloadKind kind);
};

extern const Backend kBridgeBackend;
extern const Backend kPortBackend;
// Both, for what the front does to every backend.
extern const Backend* const kBackends[2];

#endif  // TEVRO_FRONT_BACKENDS_H
