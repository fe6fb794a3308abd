// Drawer pulse and switch on the driver port.
//
// The drawer is kicked by a 60 ms pulse on bit 0 of the port: written 0 to start it and 1
// to end it. The kick writes the pulse and sets the library's timer (common/
// library_timer.h), which writes the release from a pool thread 60 ms later, whatever the
// application's threads are doing. Every pulse lasts its 60 ms, and the solenoid is never
// left energised: a session open or close, a scan and the unload wait out a pending pulse
// and release it; a kick for which no timer can be set waits and releases itself; an
// export called when the pulse time is up ends the pulse first (should the timer be late);
// a release that cannot reach the box is tried again by the timer until it lands or the
// box is gone. Only KasseClose cuts a pulse short, which is what it is for.
//
// Pulse time is measured on the performance counter. The tick count moves in steps of up
// to 16 ms, and timers and sleeps end on those steps, so either can come a step early: a
// pulse timed by them alone could last 44 ms.
#include <windows.h>

#include "common/box_lock.h"
#include "common/fine_clock.h"
#include "common/library_timer.h"
#include "common/trace.h"
#include "driverport/driverport.h"
#include "driverport/link.h"

namespace {

// The drawer pulse of this process: at most one pending, and the releases still owed to
// boxes. Written by this file only.
struct DrawerPulse {
  bool pulsePending;                  // a pulse is written and its release not yet tried
  int64_t pulseStart;                 // performance counter when the pending pulse was written
  uint8_t releaseIndex;               // the box of the last pulse written
  uint16_t owedReleases;              // bit N: a pulse was written to box N and no release since
  MissedOpens releaseMissed[kBoxes];  // box N's device not found, for its release
  // Pulses of processes that are gone, on boxes this process has used: when box N's owner
  // was last asked about, and the tries that did not find box N's device.
  int64_t ownerCheckAt[kBoxes];
  MissedOpens deadPulseMissed[kBoxes];
};

DrawerPulse gPulse;

constexpr int64_t kPulseUs = 60000;
// A release the timer could not write is tried again this soon; each of its tries waits at
// most this long for a box another caller holds, so the process lock is never kept long.
constexpr int64_t kReleaseRetryUs = 5000;
constexpr DWORD kTimerWaitMs = 20;
// How often, at most, the owner of another process's overdue pulse is looked up.
constexpr int64_t kOwnerCheckUs = kPulseUs;
const char kFirmwareText[] = "Cy";

uint8_t PulsePattern(uint8_t status) {
  return static_cast<uint8_t>((status | kStatusSwitch) & ~kStatusDrawer);
}
uint8_t ReleasePattern(uint8_t status) { return status | kStatusSwitch | kStatusDrawer; }

int64_t MicrosecondsSincePulse() { return MicrosecondsSince(gPulse.pulseStart); }

// Sleeps until the pulse has lasted its time by the fine clock: a sleep of the time left,
// which the system may end a tick early or late, then short ones until it has passed.
void WaitForPulseTime() {
  for (int64_t left; (left = kPulseUs - MicrosecondsSincePulse()) > 0;) {
    DWORD ms = static_cast<DWORD>(left / 1000);
    Sleep(ms > 0 ? ms : 1);
  }
}

Status OpenSelected() { return PortOpenDevice(gPortLink.deviceIndex); }

// Device open: reads the status and, when it was read and is valid, writes the release made
// from it (never one made from whatever a failed read left in the reply). True when written.
bool WriteReleasePattern() {
  const bool read = PortReadStatus();
  const uint8_t status = gPortLink.reply.bytes[1];
  return read && IsValidStatus(status) && PortWriteDrawer(ReleasePattern(status));
}

uint16_t BoxBit(uint8_t index) { return static_cast<uint16_t>(1u << index); }
bool ReleaseOwedTo(uint8_t index) { return (gPulse.owedReleases & BoxBit(index)) != 0; }

// Device 'index' open: writes the release, and pays a release owed to that box: no process
// sees this process's pulse running on it any more. When the record names another process's
// pulse, this process's was released already (by the box's holder while it worked on the
// EEPROM; only then could the other claim the box), and a release written now would
// cut the other's pulse short: the debt is paid without a write.
bool WriteRelease(uint8_t index) {
  SharedBoxRecord* shared = PortSharedRecord(index);
  const PulseOwner owner = OwnerOf(shared);
  if (ReleaseOwedTo(index) &&
      (owner == PulseOwner::kOtherProcess || owner == PulseOwner::kGoneProcess)) {
    gPulse.owedReleases &= static_cast<uint16_t>(~BoxBit(index));
    return true;
  }
  const bool ok = WriteReleasePattern();
  if (ok && ReleaseOwedTo(index)) {
    gPulse.owedReleases &= static_cast<uint16_t>(~BoxBit(index));
    if (owner == PulseOwner::kThisProcess) ClearPulse(shared);
  }
  return ok;
}

// Device 'index' open: true when another process's pulse runs on the box (one whose process
// is gone counts until its time is up, when the next open releases it).
bool AnotherProcessesPulse(uint8_t index) {
  PulseOwner owner = OwnerOf(PortSharedRecord(index));
  return owner == PulseOwner::kOtherProcess || owner == PulseOwner::kGoneProcess;
}

// The trace's line for the end of the last pulse, its release just tried: how long it lasted
// and what ended it, or that the release is still owed. The lines kept while it ran may be
// written now.
void TracePulseEnd(const char* endedBy) {
  TraceEndPulseHold();
  if (!ReleaseOwedTo(gPulse.releaseIndex)) {
    TraceEvent("pulse", "port %u released after %.3f ms, by %s", gPulse.releaseIndex,
               static_cast<double>(MicrosecondsSincePulse()) / 1000.0, endedBy);
  } else {
    TraceEvent("pulse", "port %u: the release by %s did not reach the box; it is owed",
               gPulse.releaseIndex, endedBy);
  }
}

// Opens box 'index', to which a release is owed, waiting at most waitMs for another
// caller. Once the box counts as gone (common/gone_box.h) the debt is dropped; a box that
// is there but does not answer keeps it.
bool OpenBoxForRelease(uint8_t index, DWORD waitMs) {
  const Status status = PortOpenDevice(index, waitMs);
  if (GoneAfterTry(gPulse.releaseMissed[index], status)) {
    gPulse.owedReleases &= static_cast<uint16_t>(~BoxBit(index));
    gPulse.releaseMissed[index] = MissedOpens{};
    TraceEvent("owed release", "port %u: its device cannot be opened; no longer tried", index);
    // No process is to wait for this pulse's end any more.
    if (LockBox(BoxKind::kPort, index, waitMs).taken()) {
      SharedBoxRecord* shared = PortSharedRecord(index);
      if (OwnerOf(shared) == PulseOwner::kThisProcess) ClearPulse(shared);
      UnlockBox(BoxKind::kPort, index);
    }
  }
  return status.ok();
}

// Writes the release owed to box 'index'. True when it reached the box.
bool WriteOwedRelease(uint8_t index, DWORD waitMs) {
  if (!OpenBoxForRelease(index, waitMs)) return false;
  bool written = WriteRelease(index);
  PortCloseDevice(index);
  return written;
}

// Writes the releases still owed to boxes, except to the box of a pulse still running and
// to box 'tried', whose release was just tried.
void RetryOwedReleases(DWORD waitMs, uint8_t tried = kNoBox) {
  if (gPulse.owedReleases == 0) return;
  for (uint8_t index = 0; index < kBoxes; ++index) {
    if (!ReleaseOwedTo(index) || index == tried) continue;
    if (gPulse.pulsePending && index == gPulse.releaseIndex) continue;
    if (WriteOwedRelease(index, waitMs)) TraceEvent("owed release", "port %u: written", index);
  }
}

// Ends the pending pulse, its time being up: the release, tried once; one that does not
// reach the box stays owed to it.
void EndPendingPulse(const char* endedBy, DWORD waitMs) {
  gPulse.pulsePending = false;
  WriteOwedRelease(gPulse.releaseIndex, waitMs);
  TracePulseEnd(endedBy);
}

void TimerWork();

// Sets the library's timer for what is left to do: the end of the pending pulse, or the
// next try of an owed release; cancels it when nothing is.
void ScheduleTimer() {
  if (gPulse.pulsePending) {
    LibraryTimerSet(TimerWork, kPulseUs - MicrosecondsSincePulse());
  } else if (gPulse.owedReleases != 0) {
    LibraryTimerSet(TimerWork, kReleaseRetryUs);
  } else {
    LibraryTimerCancel();
  }
}

// On the library's timer, under the process lock. A timer that ends a tick early finds the
// pulse time not yet up and is set for the rest.
void TimerWork() {
  if (!gPulse.pulsePending) {
    RetryOwedReleases(kTimerWaitMs);
  } else if (MicrosecondsSincePulse() >= kPulseUs) {
    EndPendingPulse("the timer", kTimerWaitMs);
  }
  ScheduleTimer();
}

// When a recorded pulse's 60 ms are up. The record outlives a restart of the machine, the
// performance counter does not: a pulse stamped later than now was written before the
// restart, and is long over.
int64_t RecordedPulseDue(const SharedBoxRecord* shared) {
  const int64_t now = FineNow();
  return shared->writtenAt > now ? now : shared->writtenAt + FineTicks(kPulseUs);
}
bool RecordedPulseOver(const SharedBoxRecord* shared) {
  return FineNow() >= RecordedPulseDue(shared);
}

// A pulse of another process that is gone, on a box this process has used: released once
// its time is up, by taking the box for a moment (the device open releases it). Looked at
// on every export; the owner is looked up at most every kOwnerCheckUs per box.
void ReleaseDeadPulses() {
  for (uint16_t used = gPortLink.usedBoxes; used != 0; used &= static_cast<uint16_t>(used - 1)) {
    uint8_t index = 0;
    while ((used & BoxBit(index)) == 0) ++index;
    const SharedBoxRecord* shared = PortSharedRecordIfOpen(index);
    if (shared == nullptr || shared->ownerPid == 0) continue;
    if (gPulse.pulsePending && index == gPulse.releaseIndex) continue;
    if (!RecordedPulseOver(shared)) continue;
    if (gPulse.ownerCheckAt[index] != 0 &&
        MicrosecondsSince(gPulse.ownerCheckAt[index]) < kOwnerCheckUs) {
      continue;
    }
    gPulse.ownerCheckAt[index] = FineNow();
    if (OwnerOf(shared) != PulseOwner::kGoneProcess) continue;
    const Status status = PortOpenDevice(index, 0);
    if (status.ok()) {
      PortCloseDevice(index);
      gPulse.ownerCheckAt[index] = 0;
    }
    if (GoneAfterTry(gPulse.deadPulseMissed[index], status)) {
      // Unplugged, and with it the current through the solenoid: the record is cleared.
      if (LockBox(BoxKind::kPort, index, 0).taken()) {
        ClearPulse(PortSharedRecord(index));
        UnlockBox(BoxKind::kPort, index);
      }
      gPulse.deadPulseMissed[index] = MissedOpens{};
    }
  }
}

// Device 'index' open and taken: releases a pulse on it whose time is up, whichever process
// started it.
void ReleaseDuePulse(uint8_t index);

// Device 'index' open: releases the pulse of another process that the record names, its
// time being up, and clears the record; 'why' says in the trace why this process did.
void ReleaseRecordedPulse(uint8_t index, SharedBoxRecord* shared, const char* why) {
  const int64_t writtenAt = shared->writtenAt;
  const uint32_t owner = shared->ownerPid;
  if (!WriteReleasePattern()) return;
  ClearPulse(shared);
  const int64_t ageUs = MicrosecondsSince(writtenAt);
  if (ageUs < 0) {
    TraceEvent("pulse",
               "port %u released, by this process: process %lu %s before the machine "
               "restarted",
               index, static_cast<unsigned long>(owner), why);
    return;
  }
  TraceEvent("pulse", "port %u released after %.3f ms, by this process: process %lu %s", index,
             static_cast<double>(ageUs) / 1000.0, static_cast<unsigned long>(owner), why);
}

void ReleaseDuePulse(uint8_t index) {
  const bool ours = gPulse.pulsePending && gPulse.releaseIndex == index;
  SharedBoxRecord* shared = PortSharedRecordIfOpen(index);
  if (!ours && (shared == nullptr || shared->ownerPid == 0)) return;
  const int64_t due = ours ? gPulse.pulseStart + FineTicks(kPulseUs) : RecordedPulseDue(shared);
  if (FineNow() < due) return;  // as PortPulseDueAt counts
  if (!ours) {
    if (OwnerOf(shared) != PulseOwner::kThisProcess) {
      ReleaseRecordedPulse(index, shared, "wrote it; this one holds the box");
    } else if (WriteRelease(index)) {
      // This process's own pulse whose release was owed: paid as the timer would pay it.
      TraceEvent("owed release", "port %u: written", index);
    }
    return;
  }
  gPulse.pulsePending = false;
  WriteRelease(index);
  TracePulseEnd("this process while it held the box");
}

}  // namespace

uint8_t PortProbeWriteBack(uint8_t index, uint8_t status) {
  const uint8_t pattern = status | kStatusSwitch;
  if ((status & kStatusDrawer) != 0) return pattern;
  SharedBoxRecord* shared = PortSharedRecord(index);
  const PulseOwner owner = OwnerOf(shared);
  if (owner != PulseOwner::kNone && owner != PulseOwner::kGoneProcess) return pattern;
  if (owner == PulseOwner::kGoneProcess) {
    // Its 60 ms are its own, whoever ends it.
    for (int64_t left; (left = -MicrosecondsSince(RecordedPulseDue(shared))) > 0;) {
      const DWORD ms = static_cast<DWORD>(left / 1000);
      Sleep(ms > 0 ? ms : 1);
    }
    ClearPulse(shared);
  }
  TraceEvent("pulse", "port %u: its drawer line was energised by no living process; released",
             index);
  return pattern | kStatusDrawer;
}

void PortReleaseOrphanedPulse(uint8_t index) {
  SharedBoxRecord* shared = PortSharedRecord(index);
  if (shared == nullptr || shared->ownerPid == 0) return;
  if (!RecordedPulseOver(shared)) return;
  if (OwnerOf(shared) != PulseOwner::kGoneProcess) return;
  ReleaseRecordedPulse(index, shared, "wrote it and is gone");
}

int64_t PortPulseDueAt(uint8_t index) {
  int64_t due = 0;
  if (gPulse.pulsePending && gPulse.releaseIndex == index)
    due = gPulse.pulseStart + FineTicks(kPulseUs);
  const SharedBoxRecord* shared = PortSharedRecordIfOpen(index);
  if (shared != nullptr && shared->ownerPid != 0) {
    const int64_t theirs = RecordedPulseDue(shared);
    if (due == 0 || theirs < due) due = theirs;
  }
  return due;
}

void PortReleaseDuePulse(uint8_t index) {
  ReleaseDuePulse(index);
  // One that did not reach the box is tried again a few milliseconds on, not at every request.
  const int64_t next = PortPulseDueAt(index);
  const int64_t now = FineNow();
  gPortLink.pulseDueAt = next != 0 && next <= now ? now + FineTicks(kReleaseRetryUs) : next;
}

void PortCompletePulse(const char* endedBy) {
  uint8_t tried = kNoBox;
  if (gPulse.pulsePending) {
    WaitForPulseTime();
    tried = gPulse.releaseIndex;
    EndPendingPulse(endedBy, kBoxWaitMs);
  }
  RetryOwedReleases(0, tried);
  ScheduleTimer();
}

Status PortKick(bool* counted) {
  *counted = false;
  if (gPulse.pulsePending) return Failure(Cause::kPulseRunning);
  const uint8_t index = gPortLink.deviceIndex;
  const Status opened = OpenSelected();
  if (!opened.ok()) return opened;
  if (AnotherProcessesPulse(index)) {
    TraceEvent("pulse", "port %u: no kick, a pulse of process %lu is running", index,
               static_cast<unsigned long>(PortSharedRecord(index)->ownerPid));
    PortCloseDevice(index);
    return Failure(Cause::kPulseRunning);
  }
  // A pulse is made only from a status that was read: a failed read leaves in the reply what
  // the last request left there (a pin sample's bits, say), which must not reach the port.
  if (!PortReadStatus()) {
    const Status failed = Failure(Cause::kRequestFailed, "DeviceIoControl", GetLastError());
    PortCloseDevice(index);
    return failed;
  }
  const uint8_t status = gPortLink.reply.bytes[1];
  // The record is stamped before the line is energised: a process that dies between the two
  // leaves a pulse that the others know of and release. The pulse's time counts from the
  // end of its write.
  SharedBoxRecord* shared = PortSharedRecord(index);
  ClaimPulse(shared, FineNow());
  gPulse.releaseIndex = index;
  gPulse.owedReleases |= BoxBit(index);
  gPulse.releaseMissed[index] = MissedOpens{};
  bool ok = PortWriteDrawer(PulsePattern(status));
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  gPulse.pulseStart = FineNow();
  if (shared != nullptr) shared->writtenAt = gPulse.pulseStart;
  TraceEvent("pulse", "port %u started%s", index, ok ? "" : " (the pulse write failed)");
  gPulse.pulsePending = true;
  if (LibraryTimerSet(TimerWork, kPulseUs)) {
    TraceHoldForPulse();
  } else {
    // No timer to end the pulse: end it here, after the pulse time.
    WaitForPulseTime();
    gPulse.pulsePending = false;
    WriteRelease(index);
    TracePulseEnd("the no-timer fallback");
  }
  PortCloseDevice(index);
  // Counted however the write went: the solenoid may have fired.
  *counted = true;
  if (!ok) return Failure(Cause::kRequestFailed, "DeviceIoControl", error);
  return IsValidStatus(status) ? kDone : Failure(Cause::kNoAnswer);
}

Status PortRelease() {
  bool pending = gPulse.pulsePending;
  gPulse.pulsePending = false;
  Status status = OpenSelected();
  if (status.ok()) {
    // Only a pulse's own process ends it.
    if (AnotherProcessesPulse(gPortLink.deviceIndex)) {
      status = Failure(Cause::kPulseRunning);
    } else if (!WriteRelease(gPortLink.deviceIndex)) {
      status = Failure(Cause::kRequestFailed);
    }
    PortCloseDevice(gPortLink.deviceIndex);
  }
  if (pending) TracePulseEnd("KasseClose");
  ScheduleTimer();
  return status;
}

Status PortReadSwitch(bool* closed) {
  const Status opened = OpenSelected();
  if (!opened.ok()) return opened;
  const bool ok = PortReadStatus();
  const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
  PortCloseDevice(gPortLink.deviceIndex);
  const uint8_t status = gPortLink.reply.bytes[1];
  if (!ok) return Failure(Cause::kRequestFailed, "DeviceIoControl", error);
  if (!IsValidStatus(status)) return Failure(Cause::kNoAnswer);
  *closed = (status & kStatusSwitch) == 0;
  return kDone;
}

void PortFirmwareText(char* buf) {
  for (size_t i = 0; i < sizeof kFirmwareText; ++i) buf[i] = kFirmwareText[i];
}

void PortFinishOverdue() {
  if (gPulse.pulsePending && MicrosecondsSincePulse() >= kPulseUs) {
    EndPendingPulse("a later call", 0);
    RetryOwedReleases(0, gPulse.releaseIndex);
    ScheduleTimer();
  } else if (gPulse.owedReleases != 0) {
    RetryOwedReleases(0);
    if (gPulse.owedReleases == 0) ScheduleTimer();
  }
  if (gPortLink.usedBoxes != 0) ReleaseDeadPulses();
}

// The pulse was completed (front/dllmain.cpp). A release this process still owes (its box
// kept by another program all along) is left to the other processes: its record is made a
// gone process's, which the next of them to use the box releases. The record is written
// without the box's turn here, which nothing else does: one field, which any process reads
// as "gone" whatever it read before.
void PortDetach(UnloadKind) {
  RetryOwedReleases(0);
  PortFinishEepromWork();
  for (uint8_t index = 0; index < kBoxes; ++index) {
    if (!ReleaseOwedTo(index)) continue;
    SharedBoxRecord* shared = PortSharedRecordIfOpen(index);
    if (OwnerOf(shared) == PulseOwner::kThisProcess) shared->ownerStart = 0;
    TraceEvent("owed release", "port %u: not written before the unload; left to the next program",
               index);
  }
}
