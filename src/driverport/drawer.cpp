// Drawer pulse and switch on the driver port.
//
// The drawer is kicked by a 60 ms pulse on bit 0 of the port: written 0 to start it and 1
// to end it. The kick writes the pulse and starts a window-less timer; the timer callback,
// run from the calling thread's message dispatch, writes the release. The solenoid is never
// left energised: a session open or close that stops a pending pulse releases the drawer,
// a kick whose timer cannot be set releases it itself after the pulse time, and an export
// called when the pulse time is up ends the pulse first.
#include <windows.h>

#include "driverport/driverport.h"
#include "driverport/link.h"

namespace {

constexpr UINT kPulseMs = 60;
const char kFirmwareText[] = "Cy";

uint8_t PulsePattern(uint8_t status) {
  return static_cast<uint8_t>((status | kStatusSwitch) & ~kStatusDrawer);
}
uint8_t ReleasePattern(uint8_t status) { return status | kStatusSwitch | kStatusDrawer; }

bool OpenSelected() { return PortOpenDevice(gPortLink.deviceIndex) != INVALID_HANDLE_VALUE; }

// Device open: reads the status and writes the release. True when written on a box with
// a valid status.
bool WriteRelease() {
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  bool ok = PortWriteDrawer(ReleasePattern(status));
  if (ok) gPortLink.releaseOwed = false;
  return ok && IsValidStatus(status);
}

void StopTimer() {
  KillTimer(nullptr, gPortLink.pulseTimerId);
  gPortLink.pulseTimerId = 0;
}

// Writes a release still owed to a box. Until it reaches the box it stays owed, and every
// export retries it on entry.
void SettleRelease() {
  if (!gPortLink.releaseOwed) return;
  if (PortOpenDevice(gPortLink.releaseIndex) == INVALID_HANDLE_VALUE) return;
  WriteRelease();
  PortCloseDevice(gPortLink.releaseIndex);
}

void CALLBACK PulseTimerProc(HWND, UINT, UINT_PTR, DWORD) {
  bool opened = OpenSelected();
  StopTimer();  // whether or not the device opened: the timer fires once per pulse
  if (!opened) return;
  WriteRelease();
  PortCloseDevice(gPortLink.deviceIndex);
}

}  // namespace

void PortEndPulse() {
  if (gPortLink.pulseTimerId != 0) StopTimer();
  SettleRelease();
}

bool PortKick() {
  if (gPortLink.pulseTimerId != 0) return false;
  if (!OpenSelected()) return false;
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  bool ok = PortWriteDrawer(PulsePattern(status));
  gPortLink.releaseOwed = true;
  gPortLink.releaseIndex = gPortLink.deviceIndex;
  ++gPortLink.localOpenCnt;
  gPortLink.pulseTimerId = SetTimer(nullptr, 0, kPulseMs, PulseTimerProc);
  gPortLink.pulseStartMs = GetTickCount();
  if (gPortLink.pulseTimerId == 0) {
    // No timer to end the pulse: end it here, after the pulse time.
    Sleep(kPulseMs);
    WriteRelease();
  }
  PortCloseDevice(gPortLink.deviceIndex);
  return ok && IsValidStatus(status);
}

bool PortRelease() {
  if (gPortLink.pulseTimerId != 0) StopTimer();
  if (!OpenSelected()) return false;
  bool ok = WriteRelease();
  PortCloseDevice(gPortLink.deviceIndex);
  return ok;
}

bool PortGetSwitch(char* readFlag) {
  *readFlag = 0;
  if (!OpenSelected()) return false;
  bool ok = PortReadStatus();
  PortCloseDevice(gPortLink.deviceIndex);
  uint8_t status = gPortLink.reply.bytes[1];
  if (!ok || !IsValidStatus(status)) return false;
  *readFlag = 1;
  return (status & kStatusSwitch) == 0;
}

uint32_t PortGetLocalOpenCnt() { return gPortLink.localOpenCnt; }

uint32_t PortGetTotalOpenCnt() {
  if (gPortLink.closed) return gPortLink.closedTotal;
  return gPortLink.storedOpenCnt + gPortLink.localOpenCnt;
}

void PortGetFirmWareVersion(char* buf) {
  for (size_t i = 0; i < sizeof kFirmwareText; ++i) buf[i] = kFirmwareText[i];
}

void PortSettle() {
  if (gPortLink.pulseTimerId == 0) {
    SettleRelease();
    return;
  }
  DWORD now = GetTickCount();
  if (now - gPortLink.pulseStartMs >= kPulseMs) {
    PulseTimerProc(nullptr, 0, gPortLink.pulseTimerId, now);
  }
}

void PortDetach(bool) {
  // No timer may fire into an unloaded library, and no solenoid stays energised.
  PortEndPulse();
}
