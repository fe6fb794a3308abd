// The session record: which box the application selected, which backend serves it,
// and the counts of the last scan. Library-wide, one application thread.
#ifndef TEVRO_FRONT_SESSION_H
#define TEVRO_FRONT_SESSION_H

#include <stdint.h>

constexpr uint8_t kNoDevice = 255;
constexpr int32_t kNotOpen = -1;
constexpr int32_t kBackendDriverPort = 0;
constexpr int32_t kBackendBridge = 1;

struct SessionState {
  uint8_t currentDevice;  // number of the selected box; kNoDevice when none
  uint8_t bridgeCount;    // bridge boxes counted by the last scan (0..10)
  uint8_t portCount;      // driver-port boxes counted by the last scan (0..10)
  int32_t backend;        // kBackendBridge or kBackendDriverPort; set by a successful open
  int32_t lastSwitch;     // low byte of the last backend switch read
  int32_t openResult;     // what the last backend open returned; kNotOpen when no box is open
};

extern SessionState gSession;

// The open result a backend hands out for the handle it opened the box with: the handle
// as a 32-bit number, moved off -1 where truncation would give it.
inline int32_t OpenResultFromHandle(const void* handle) {
  uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  if (value == 0xFFFFFFFFu) value = 0x7FFFFFFFu;
  return static_cast<int32_t>(value);
}

// Runs both scans, shows the "none found" message box when both counts are 0, and
// returns the packed counts. A box that is open stays open and usable.
uint32_t RunScan();

// Closes the open box through its backend (writing its openings back) and resets the
// record to no box selected. Always true.
bool CloseSession();

// Packs the counts as bridge count * 256 + driver-port count.
uint32_t PackedCounts();

#endif  // TEVRO_FRONT_SESSION_H
