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
// another caller keeps. What went wrong comes back as a Status (common/status.h).
#ifndef TEVRO_FRONT_BACKENDS_H
#define TEVRO_FRONT_BACKENDS_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"
#include "common/counter_addition.h"
#include "common/status.h"

// What GetSwitch reports when the switch cannot be read from the box.
enum class FailedSwitchRead : uint8_t {
  kLastStateRead,  // the state read last from such a box (open until one is read)
  kOpen,           // open
};

// The drawer pulse the library times itself: at most one of this process pending, and the
// releases owed to boxes.
struct PulseOps {
  // Ends the pulse of the addressed box at once, even with none pending, but never another
  // process's; done when the release reached a box with a valid status.
  Status (*release)();
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

  // Session. Open: addresses box 'box', probes and sets it up, and reads its identity
  // record as far as the open does (*counter: the stored counter, when it was read);
  // *opened: the open result for the application when done. Close: the front has written
  // the session's openings back; the box is no longer addressed.
  Status (*openSession)(uint8_t box, CounterSeen* counter, int32_t* opened);
  void (*closeSession)();

  // The drawer and the switch. Kick: *counted tells whether it counts as an opening (a
  // driver-port box's does once its device opened, as the solenoid may have fired), whatever
  // the status. Switch: done when the switch was read from the box in this call, *closed
  // then telling whether its contact reads closed.
  Status (*kick)(bool* counted);
  Status (*readSwitch)(bool* closed);
  void (*firmwareText)(char* buf);  // buf never null; nothing written when the box is not reached

  // The identity record of the session's box. Both set *counter when they saw the box's
  // stored counter (CounterSeen), and leave it otherwise.
  Status (*readField)(IdentityField field, uint32_t* value, CounterSeen* counter);
  Status (*writeField)(IdentityField field, uint32_t value, CounterSeen* counter);

  // Writes openings back: 'addition.count' openings on top of what box 'box' holds now, in
  // one turn on the box of at most waitMs; *total: the counter written, when done. A try
  // that fails after a write went out leaves the write's doubt in 'addition' for the next
  // (common/counter_addition.h); *counter: the stored counter as the try saw it last.
  Status (*addToCounter)(uint8_t box, CounterAddition& addition, DWORD waitMs, uint32_t* total,
                         CounterSeen* counter);

  // The boxes at numbers 0, 1, ... up to the first that does not answer (a box another
  // caller keeps counts); probes leave an open session alone. *ended: done when the count
  // ended at a number where no box is; otherwise why the box there did not answer.
  uint8_t (*scan)(ScanMode mode, Status* ended);

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
