// The session record: which box the application selected, which backend serves it, the
// counts of the last scan, and the session's rules: its opening counts, what the last
// close left, the last switch state. Library-wide, owned by the front; the backends keep
// none of it (front/backends.h).
#ifndef TEVRO_FRONT_SESSION_H
#define TEVRO_FRONT_SESSION_H

#include <stdint.h>

#include "front/backends.h"
#include "front/results.h"

// The drawer openings of the session, and what the last close left.
struct SessionCounts {
  uint32_t local;        // openings counted since a box was last opened (not reset at close)
  bool closed;           // the last session was closed, and no box opened since
  uint32_t closedTotal;  // the total that close wrote back (or, when it could not, meant to)
};

// What the switch reported: the result GetSwitch gave last (returned again while no box is
// open), and the state last read from a box whose failed reads repeat it (the bridge's:
// open at load, shared by every such box).
struct SwitchMemory {
  bool lastResult;
  bool lastRead;
};

struct SessionState {
  uint8_t selected;        // the application's number of the selected box (bridge boxes first,
                           // then driver-port boxes, as the scan counted them); kNoBox: none
  uint8_t bridgeCount;     // bridge boxes counted by the last scan (0..10)
  uint8_t portCount;       // driver-port boxes counted by the last scan (0..10)
  const Backend* backend;  // the last successful open's; the driver port before any
  int32_t openResult;      // what the last backend open returned; kNotOpen when no box is open
  uint8_t box;             // the open box's number on its backend (common/contract.h)
  SessionCounts counts;
  SwitchMemory switchState;
};

extern SessionState gSession;

// Runs both scans and returns the packed counts. A box that is open stays open and usable,
// with its counts. Caller holds the process lock.
uint32_t ScanBoxes();
// Every export: what is overdue on any box is ended first, without waiting for a box
// another caller keeps, and the openings owed to boxes are tried.
void FinishOverdueWork();
// Waits out a pulse pending on 'backend's boxes and ends it; 'endedBy' names the caller for
// the trace. Nothing for a backend whose box times its own pulse.
void CompletePulse(const Backend& backend, const char* endedBy);

// The "none found" message box, shown when a scan counted no box; waits for the user.
// Caller does not hold the process lock: other threads go on meanwhile.
void ShowNoBoxFound();

// Closes the open box: completes its pulse, writes its openings back (front/openings.h)
// and resets the record to no box selected. Always true.
bool CloseSession();

// Packs the counts as bridge count * 256 + driver-port count.
uint32_t PackedCounts();

#endif  // TEVRO_FRONT_SESSION_H
