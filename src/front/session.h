// The session record: which box the application selected, which backend serves it, and
// the counts of the last scan. Library-wide, owned by the front.
#ifndef TEVRO_FRONT_SESSION_H
#define TEVRO_FRONT_SESSION_H

#include <stdint.h>

#include "common/open_result.h"
#include "front/backends.h"

constexpr uint8_t kNoDevice = 255;
constexpr int32_t kBackendDriverPort = 0;
constexpr int32_t kBackendBridge = 1;

struct SessionState {
  uint8_t currentDevice;  // number of the selected box; kNoDevice when none
  uint8_t bridgeCount;    // bridge boxes counted by the last scan (0..10)
  uint8_t portCount;      // driver-port boxes counted by the last scan (0..10)
  int32_t backend;        // kBackendBridge or kBackendDriverPort; set by a successful open
  int32_t lastSwitch;     // low byte of the last backend switch read
  int32_t openResult;     // what the last backend open returned; kNotOpen when no box is open
  uint8_t boxIndex;       // the open box's index in its backend (D2XX number, or N of Drelvan_N)
};

extern SessionState gSession;

// The backend the record selects (the last successful open's; driver port before any).
const Backend& SelectedBackend();

// Runs both scans and returns the packed counts. A box that is open stays open and usable.
// Caller holds the process lock.
uint32_t ScanBoxes();
// Every export, the load and the unload: what is overdue on any box is ended first.
void SettleBoxes();

// The "none found" message box, shown when a scan counted no box; waits for the user.
// Caller does not hold the process lock: other threads go on meanwhile.
void ShowNoBoxFound();

// Closes the open box: completes its pulse, writes its openings back (front/openings.h)
// and resets the record to no box selected. Always true.
bool CloseSession();

// Packs the counts as bridge count * 256 + driver-port count.
uint32_t PackedCounts();

#endif  // TEVRO_FRONT_SESSION_H
