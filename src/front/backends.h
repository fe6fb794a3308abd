// The two backends as the front sees them: one table of operations each, the same set with
// the same types. A backend offers what its boxes do; the session's rules (the opening
// counts, the write-back and what it owes, the closed session's total, the last switch
// state) are the front's. Every export routes through the table of the backend the session
// record selects, instead of asking which backend it is. An entry a backend has nothing
// for is null (the bridge box times its own pulse), and the front skips it.
//
// Unless an entry says otherwise it addresses the box of the last session open, opens it
// for the operation and closes it again before it returns, waiting at most 5 s for a box
// another caller keeps.
#ifndef TEVRO_FRONT_BACKENDS_H
#define TEVRO_FRONT_BACKENDS_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"

struct Backend {
  const char* name;  // "port" or "bridge", as the trace names the backend's boxes
  // A switch read that fails reports the state read last (true), or open (false).
  bool lastSwitchStands;

  // Session. Open: addresses box 'index', probes and sets it up, and reads its identity
  // record as far as the open does; the open result, or kNotOpen. Close: the front has
  // written the session's openings back; the box is no longer addressed.
  int32_t (*openSession)(uint8_t index);
  void (*closeSession)();

  // The drawer and the switch. Release (optional): ends the pulse of the box at once.
  // Switch: true when the switch contact reads closed; *readNow tells whether it was read
  // from the box in this call.
  KickResult (*kick)();
  bool (*release)();
  bool (*readSwitch)(bool* readNow);
  void (*firmwareText)(char* buf);  // buf never null; nothing written when the box is not reached

  // The identity record. Read: false when the field cannot be read; 'expected', when
  // given, is what the caller expects the field to hold, and the backend may then read
  // only part of it (the driver port: the low byte) and take the rest to be as expected
  // when that part matches. Write: false unless written whole; 'holds', when given, is
  // what the box holds now (the driver port then writes only the bytes that differ). Both keep the
  // backend's copy of the stored counter in step (storedCounter). Inside holdBox .. letGo they act
  // on the held box, in the device open of the hold; a write there of a field not read in the hold
  // writes the session's copy of the record, and only when that copy is the held box's.
  bool (*readField)(IdentityField field, uint32_t* value, const uint32_t* expected);
  bool (*writeField)(IdentityField field, uint32_t value, const uint32_t* holds);
  // The session's copy of its box's stored counter, when it was read from that box (or
  // written) in this session and no holder has died on the box since.
  bool (*storedCounter)(uint32_t* value);

  // One device open of box 'index' with its lock kept throughout, for a read-modify-write:
  // kReached, or why not (nothing held then).
  BoxReach (*holdBox)(uint8_t index, DWORD waitMs);
  void (*letGo)(uint8_t index);

  // The boxes at indexes 0, 1, ... up to the first that does not answer (a box another
  // caller keeps counts); probes leave an open session alone.
  uint8_t (*scan)(ScanMode mode);

  // Lifetime, both optional but detach. Overdue: on entry to every export, ends what is
  // overdue without waiting for a box another caller keeps. CompletePulse: waits out a
  // running pulse and ends it ('endedBy' names the caller for the trace). Detach: the
  // library is being unloaded.
  void (*finishOverdue)();
  void (*completePulse)(const char* endedBy);
  void (*detach)(UnloadKind kind);
};

extern const Backend kBridgeBackend;
extern const Backend kPortBackend;
// Both, for what the front does to every backend.
extern const Backend* const kBackends[2];

#endif  // TEVRO_FRONT_BACKENDS_H
