// Drawer pulse and switch on the driver port.
//
// The drawer is kicked by a 60 ms pulse on bit 0 of the port: written 0 to start it and 1
// to end it. The kick writes the pulse and starts a window-less timer; the timer callback,
// run from the calling thread's message dispatch, writes the release. Every pulse lasts its
// 60 ms, and the solenoid is never left energised: a session open or close, a scan and the
// unload wait out a pending pulse and release it; a kick whose timer cannot be set waits
// and releases itself; an export called when the pulse time is up ends the pulse first.
// Only KasseClose cuts a pulse short, which is what it is for.
//
// Pulse time is measured on the performance counter. The tick count moves in steps of up
// to 16 ms, and timer messages and sleeps end on those steps, so either can come a step
// early: a pulse timed by them could last 44 ms.
#include <windows.h>

#include "common/box_lock.h"
#include "common/process_lock.h"
#include "common/trace.h"
#include "driverport/driverport.h"
#include "driverport/link.h"

namespace {

constexpr UINT kPulseMs = 60;
constexpr int64_t kPulseUs = 1000 * kPulseMs;
// Tries in a row on which the device of a box owed a release could not be opened at all
// before the box counts as gone, and with it the current through its solenoid.
constexpr uint8_t kMaxReleaseMisses = 3;
const char kFirmwareText[] = "Cy";

uint8_t PulsePattern(uint8_t status) {
  return static_cast<uint8_t>((status | kStatusSwitch) & ~kStatusDrawer);
}
uint8_t ReleasePattern(uint8_t status) { return status | kStatusSwitch | kStatusDrawer; }

int64_t FineNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

int64_t MicrosecondsSince(int64_t start) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  int64_t ticks = FineNow() - start;
  return ticks / frequency.QuadPart * 1000000 +
         ticks % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

int64_t MicrosecondsSincePulse() { return MicrosecondsSince(gPortLink.pulseStart); }

// Sleeps until the pulse has lasted its time by the fine clock: a sleep of the time left,
// which the system may end a tick early or late, then short ones until it has passed.
void WaitForPulseTime() {
  for (int64_t left; (left = kPulseUs - MicrosecondsSincePulse()) > 0;) {
    DWORD ms = static_cast<DWORD>(left / 1000);
    Sleep(ms > 0 ? ms : 1);
  }
}

bool OpenSelected() { return PortOpenDevice(gPortLink.deviceIndex) != INVALID_HANDLE_VALUE; }

// Device open: reads the status and writes the release. True when written on a box with a
// valid status.
bool WriteReleasePattern() {
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  return PortWriteDrawer(ReleasePattern(status)) && IsValidStatus(status);
}

uint16_t BoxBit(uint8_t index) { return static_cast<uint16_t>(1u << index); }
bool ReleaseOwedTo(uint8_t index) { return (gPortLink.releasesOwed & BoxBit(index)) != 0; }

// Device 'index' open: writes the release, and pays a release owed to that box: no process
// sees this process's pulse running on it any more.
bool WriteRelease(uint8_t index) {
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  bool ok = PortWriteDrawer(ReleasePattern(status));
  if (ok && ReleaseOwedTo(index)) {
    gPortLink.releasesOwed &= static_cast<uint16_t>(~BoxBit(index));
    SharedPulse* shared = PortSharedPulse(index);
    if (OwnerOf(shared) == PulseOwner::kThisProcess) ClearPulse(shared);
  }
  return ok && IsValidStatus(status);
}

// Device 'index' open: true when another process's pulse runs on the box (one whose process
// is gone counts until its time is up, when the next open releases it).
bool AnotherProcessesPulse(uint8_t index) {
  const SharedPulse* shared = PortSharedPulse(index);
  return shared != nullptr && shared->ownerPid != 0 && shared->ownerPid != GetCurrentProcessId();
}

// A window-less timer belongs to the thread that set it: from any other thread it cannot be
// killed, and it would go on firing, into whatever the library's code was replaced by once
// the library is unloaded. So the library then stays loaded until the process ends (the
// timer's own thread kills it at its next message, as a stale one).
void StopTimer() {
  if (!KillTimer(nullptr, gPortLink.pulseTimerId) && !gPortLink.timersLeft) {
    HMODULE self = nullptr;
    gPortLink.timersLeft =
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&StopTimer), &self) != FALSE;
  }
  gPortLink.pulseTimerId = 0;
}

// The trace's line for the end of a pulse: how long it lasted and what ended it. The lines
// kept while it ran may be written now.
void TracePulseEnd(const char* endedBy, bool released) {
  TraceHold(false);
  if (released) {
    TraceEvent("pulse", "port %u released after %.3f ms, by %s", gPortLink.releaseIndex,
               static_cast<double>(MicrosecondsSincePulse()) / 1000.0, endedBy);
  } else {
    TraceEvent("pulse", "port %u: the release by %s did not reach the box; it is owed",
               gPortLink.releaseIndex, endedBy);
  }
}

// Opens box 'index', to which a release is owed. When its device cannot be opened at all on
// kMaxReleaseMisses tries in a row, the box is gone and the debt is dropped; a box that
// is there but does not answer keeps it.
bool OpenOwedBox(uint8_t index) {
  PortOpenFailure failure = PortOpenFailure::kNone;
  if (PortOpenDevice(index, &failure) != INVALID_HANDLE_VALUE) {
    gPortLink.releaseMisses[index] = 0;
    return true;
  }
  if (failure == PortOpenFailure::kNoAnswer) {
    gPortLink.releaseMisses[index] = 0;
  } else if (failure == PortOpenFailure::kNoDevice &&
             ++gPortLink.releaseMisses[index] >= kMaxReleaseMisses) {
    gPortLink.releasesOwed &= static_cast<uint16_t>(~BoxBit(index));
    TraceEvent("owed release", "port %u: its device cannot be opened; no longer tried", index);
    // No process is to wait for this pulse's end any more.
    if (TakeBox(BoxKind::kPort, index, kBoxWaitMs) != BoxTake::kBusy) {
      SharedPulse* shared = PortSharedPulse(index);
      if (OwnerOf(shared) == PulseOwner::kThisProcess) ClearPulse(shared);
      GiveBox(BoxKind::kPort, index);
    }
  }
  return false;  // a box another caller keeps is not a failed try
}

// Writes the release owed to box 'index'. True when it reached the box.
bool WriteOwedRelease(uint8_t index) {
  if (!OpenOwedBox(index)) return false;
  bool written = WriteRelease(index);
  PortCloseDevice(index);
  return written;
}

// Writes the releases still owed to boxes; until one reaches its box, every export retries
// it. Not to the box of a pulse still running, nor to box 'tried', whose release was just
// tried.
void SettleReleases(uint8_t tried = kPortNoIndex) {
  if (gPortLink.releasesOwed == 0) return;
  for (uint8_t index = 0; index <= kPortMaxIndex; ++index) {
    if (!ReleaseOwedTo(index) || index == tried) continue;
    if (gPortLink.pulseTimerId != 0 && index == gPortLink.releaseIndex) continue;
    if (WriteOwedRelease(index)) TraceEvent("owed release", "port %u: written", index);
  }
}

// The end of the pending pulse, once its time is up: the release; the timer is stopped
// whether or not the device opened, so it ends each pulse once. 'endedBy' names what ended
// it, for the trace.
void ReleaseWhenDue(const char* endedBy) {
  WaitForPulseTime();
  uint8_t index = gPortLink.releaseIndex;
  bool opened = OpenOwedBox(index);
  StopTimer();
  bool written = false;
  if (opened) {
    written = WriteRelease(index);
    PortCloseDevice(index);
  }
  TracePulseEnd(endedBy, written);
}

void CALLBACK PulseTimerProc(HWND, UINT, UINT_PTR id, DWORD) {
  LockProcess();
  if (id != gPortLink.pulseTimerId) {
    // A message of an earlier pulse's timer, stopped on another thread, where a window-less
    // timer cannot be killed: only its own thread can.
    KillTimer(nullptr, id);
  } else {
    ReleaseWhenDue("the timer");
  }
  TraceUnlockProcess();
}

}  // namespace

void PortReleaseOrphanedPulse(uint8_t index) {
  SharedPulse* shared = PortSharedPulse(index);
  if (!AnotherProcessesPulse(index) || MicrosecondsSince(shared->writtenAt) < kPulseUs) return;
  if (OwnerOf(shared) != PulseOwner::kGoneProcess) return;
  const int64_t writtenAt = shared->writtenAt;
  const uint32_t owner = shared->ownerPid;
  if (!WriteReleasePattern()) return;
  ClearPulse(shared);
  TraceEvent("pulse",
             "port %u released after %.3f ms, by this process: process %lu, which "
             "wrote it, is gone",
             index, static_cast<double>(MicrosecondsSince(writtenAt)) / 1000.0,
             static_cast<unsigned long>(owner));
}

void PortCompletePulse(const char* endedBy) {
  uint8_t tried = kPortNoIndex;
  if (gPortLink.pulseTimerId != 0) {
    WaitForPulseTime();
    StopTimer();
    tried = gPortLink.releaseIndex;
    TracePulseEnd(endedBy, WriteOwedRelease(tried));
  }
  SettleReleases(tried);
}

bool PortKick() {
  if (gPortLink.pulseTimerId != 0) return false;
  if (!OpenSelected()) return false;
  if (AnotherProcessesPulse(gPortLink.deviceIndex)) {
    TraceEvent("pulse", "port %u: no kick, a pulse of process %lu is running",
               gPortLink.deviceIndex,
               static_cast<unsigned long>(PortSharedPulse(gPortLink.deviceIndex)->ownerPid));
    PortCloseDevice(gPortLink.deviceIndex);
    return false;
  }
  PortReadStatus();
  uint8_t status = gPortLink.reply.bytes[1];
  bool ok = PortWriteDrawer(PulsePattern(status));
  gPortLink.pulseStart = FineNow();
  TraceEvent("pulse", "port %u started%s", gPortLink.deviceIndex,
             ok ? "" : " (the pulse write failed)");
  ClaimPulse(PortSharedPulse(gPortLink.deviceIndex), gPortLink.pulseStart);
  gPortLink.releaseIndex = gPortLink.deviceIndex;
  gPortLink.releasesOwed |= BoxBit(gPortLink.deviceIndex);
  gPortLink.releaseMisses[gPortLink.deviceIndex] = 0;
  ++gPortLink.localOpenCnt;
  gPortLink.pulseTimerId = SetTimer(nullptr, 0, kPulseMs, PulseTimerProc);
  TraceHold(gPortLink.pulseTimerId != 0);
  if (gPortLink.pulseTimerId == 0) {
    // No timer to end the pulse: end it here, after the pulse time.
    WaitForPulseTime();
    TracePulseEnd("the no-timer fallback", WriteRelease(gPortLink.deviceIndex));
  }
  PortCloseDevice(gPortLink.deviceIndex);
  return ok && IsValidStatus(status);
}

bool PortRelease() {
  bool pending = gPortLink.pulseTimerId != 0;
  if (pending) StopTimer();
  bool ok = false;
  if (OpenSelected()) {
    // Only a pulse's own process ends it.
    ok = !AnotherProcessesPulse(gPortLink.deviceIndex) && WriteRelease(gPortLink.deviceIndex);
    PortCloseDevice(gPortLink.deviceIndex);
  }
  if (pending) TracePulseEnd("KasseClose", !ReleaseOwedTo(gPortLink.releaseIndex));
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
  if (gPortLink.pulseTimerId != 0 && MicrosecondsSincePulse() >= kPulseUs) {
    ReleaseWhenDue("a later call");
  } else {
    SettleReleases();
  }
  PortSettleOwedOpenings(0);
}

void PortQuiesce() { PortCompletePulse("the unload"); }

void PortDetach(bool) {
  // No timer may fire into an unloaded library, and no solenoid stays energised.
  PortCompletePulse("the unload");
  PortSettleOwedOpenings(kBoxWaitMs);
}
