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

// This file's name for the pulse the backend keeps (link.h).
DrawerPulse& gPulse = gPortBackend.pulse;

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

// Reads the status and, when it was read and is valid, writes the release made from it
// (never one made from whatever a failed read left in the reply). Done when written;
// otherwise the transfer that failed, or kRequestFailed for a status that is not valid.
Status WriteReleasePattern(PortDevice& device) {
  const PortExchange read = PortReadStatus(device);
  const uint8_t status = read.reply.bytes[1];
  if (!read.ok() || !IsValidStatus(status)) {
    return read.ok() ? Failure(Cause::kNoAnswer) : read.status;
  }
  return PortWriteDrawer(device, ReleasePattern(status));
}

uint16_t BoxBit(uint8_t box) { return static_cast<uint16_t>(1u << box); }
bool ReleaseOwedTo(uint8_t box) { return (gPulse.owedReleases & BoxBit(box)) != 0; }

// Writes the release on the open device, and pays a release owed to its box: no process
// sees this process's pulse running on it any more. When the record names another process's
// pulse, this process's was released already (by the box's holder while it worked on the
// EEPROM; only then could the other claim the box), and a release written now would
// cut the other's pulse short: the debt is paid without a write. Done, or why the release was
// not written (WriteReleasePattern).
Status WriteRelease(PortDevice& device) {
  const uint8_t box = device.box;
  SharedBoxRecord* shared = PortSharedRecord(box);
  const PulseOwner owner = OwnerOf(shared);
  if (ReleaseOwedTo(box) &&
      (owner == PulseOwner::kOtherProcess || owner == PulseOwner::kGoneProcess)) {
    gPulse.owedReleases &= static_cast<uint16_t>(~BoxBit(box));
    return kDone;
  }
  const Status written = WriteReleasePattern(device);
  if (written.ok() && ReleaseOwedTo(box)) {
    gPulse.owedReleases &= static_cast<uint16_t>(~BoxBit(box));
    if (owner == PulseOwner::kThisProcess) ClearPulse(shared);
  }
  return written;
}

// Box 'box' taken: true when another process's pulse runs on the box (one whose process
// is gone counts until its time is up, when the next open releases it).
bool AnotherProcessesPulse(uint8_t box) {
  PulseOwner owner = OwnerOf(PortSharedRecord(box));
  return owner == PulseOwner::kOtherProcess || owner == PulseOwner::kGoneProcess;
}

// The trace's line for the end of the last pulse, its release just tried: how long it lasted
// and what ended it, or that the release is still owed. The lines kept while it ran may be
// written now.
void TracePulseEnd(const char* endedBy) {
  TraceEndPulseHold();
  if (!ReleaseOwedTo(gPulse.releaseBox)) {
    TraceEvent("pulse", "port %u released after %.3f ms, by %s", gPulse.releaseBox,
               static_cast<double>(MicrosecondsSincePulse()) / 1000.0, endedBy);
  } else {
    TraceEvent("pulse", "port %u: the release by %s did not reach the box; it is owed",
               gPulse.releaseBox, endedBy);
  }
}

// After a try to open box 'box', to which a release is owed ('status': what came of it,
// nothing held): true when it opened. Once the box counts as gone (common/gone_box.h) the
// debt is dropped; a box that is there but does not answer keeps it.
bool ReachedForRelease(uint8_t box, const Status& status, DWORD waitMs) {
  if (GoneAfterTry(gPulse.releaseMissed[box], status)) {
    gPulse.owedReleases &= static_cast<uint16_t>(~BoxBit(box));
    gPulse.releaseMissed[box] = MissedOpens{};
    TraceEvent("owed release", "port %u: its device cannot be opened; no longer tried", box);
    // No process is to wait for this pulse's end any more.
    if (LockBox(BoxKind::kPort, box, waitMs).taken()) {
      SharedBoxRecord* shared = PortSharedRecord(box);
      if (OwnerOf(shared) == PulseOwner::kThisProcess) ClearPulse(shared);
      UnlockBox(BoxKind::kPort, box);
    }
  }
  return status.ok();
}

// Writes the release owed to box 'box', waiting at most waitMs for another caller. True when
// it reached the box.
bool WriteOwedRelease(uint8_t box, DWORD waitMs) {
  PortOpening opening(box, waitMs);
  if (!ReachedForRelease(box, opening.status(), waitMs)) {
    ReportFailure(BoxKind::kPort, box, opening.status());
    return false;
  }
  return ReportFailure(BoxKind::kPort, box, WriteRelease(opening.device())).ok();
}

// Takes box 'box' for a moment, without waiting: the device open releases a pulse that a
// process that is gone left on it, once its time is up.
Status OpenAndClose(uint8_t box) {
  const PortOpening opening(box, 0);
  return opening.status();
}

// Writes the releases still owed to boxes, except to the box of a pulse still running and
// to box 'tried', whose release was just tried.
void RetryOwedReleases(DWORD waitMs, uint8_t tried = kNoBox) {
  if (gPulse.owedReleases == 0) return;
  for (uint8_t box = 0; box < kBoxes; ++box) {
    if (!ReleaseOwedTo(box) || box == tried) continue;
    if (gPulse.pulsePending && box == gPulse.releaseBox) continue;
    if (WriteOwedRelease(box, waitMs)) TraceEvent("owed release", "port %u: written", box);
  }
}

// Ends the pending pulse, its time being up: the release, tried once; one that does not
// reach the box stays owed to it.
void EndPendingPulse(const char* endedBy, DWORD waitMs) {
  gPulse.pulsePending = false;
  WriteOwedRelease(gPulse.releaseBox, waitMs);
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
  for (uint16_t used = gPortBackend.usedBoxes; used != 0; used &= static_cast<uint16_t>(used - 1)) {
    uint8_t box = 0;
    while ((used & BoxBit(box)) == 0) ++box;
    const SharedBoxRecord* shared = PortSharedRecordIfOpen(box);
    if (shared == nullptr || shared->ownerPid == 0) continue;
    if (gPulse.pulsePending && box == gPulse.releaseBox) continue;
    if (!RecordedPulseOver(shared)) continue;
    if (gPulse.ownerCheckAt[box] != 0 &&
        MicrosecondsSince(gPulse.ownerCheckAt[box]) < kOwnerCheckUs) {
      continue;
    }
    gPulse.ownerCheckAt[box] = FineNow();
    if (OwnerOf(shared) != PulseOwner::kGoneProcess) continue;
    const Status status = OpenAndClose(box);
    if (status.ok()) gPulse.ownerCheckAt[box] = 0;
    if (GoneAfterTry(gPulse.deadPulseMissed[box], status)) {
      // Unplugged, and with it the current through the solenoid: the record is cleared.
      if (LockBox(BoxKind::kPort, box, 0).taken()) {
        ClearPulse(PortSharedRecord(box));
        UnlockBox(BoxKind::kPort, box);
      }
      gPulse.deadPulseMissed[box] = MissedOpens{};
    }
  }
}

// On the open device: releases the pulse of another process that the record names, its
// time being up, and clears the record; 'why' says in the trace why this process did.
void ReleaseRecordedPulse(PortDevice& device, SharedBoxRecord* shared, const char* why) {
  const uint8_t box = device.box;
  const int64_t writtenAt = shared->writtenAt;
  const uint32_t owner = shared->ownerPid;
  if (!WriteReleasePattern(device).ok()) return;
  ClearPulse(shared);
  const int64_t ageUs = MicrosecondsSince(writtenAt);
  if (ageUs < 0) {
    TraceEvent("pulse",
               "port %u released, by this process: process %lu %s before the machine "
               "restarted",
               box, static_cast<unsigned long>(owner), why);
    return;
  }
  TraceEvent("pulse", "port %u released after %.3f ms, by this process: process %lu %s", box,
             static_cast<double>(ageUs) / 1000.0, static_cast<unsigned long>(owner), why);
}

// On the open device, its box taken: releases a pulse on it whose time is up, whichever
// process started it.
void ReleaseDuePulse(PortDevice& device) {
  const uint8_t box = device.box;
  const bool ours = gPulse.pulsePending && gPulse.releaseBox == box;
  SharedBoxRecord* shared = PortSharedRecordIfOpen(box);
  if (!ours && (shared == nullptr || shared->ownerPid == 0)) return;
  const int64_t due = ours ? gPulse.pulseStart + FineTicks(kPulseUs) : RecordedPulseDue(shared);
  if (FineNow() < due) return;  // as PortPulseDueAt counts
  if (!ours) {
    if (OwnerOf(shared) != PulseOwner::kThisProcess) {
      ReleaseRecordedPulse(device, shared, "wrote it; this one holds the box");
    } else if (WriteRelease(device).ok()) {
      // This process's own pulse whose release was owed: paid as the timer would pay it.
      TraceEvent("owed release", "port %u: written", box);
    }
    return;
  }
  gPulse.pulsePending = false;
  WriteRelease(device);
  TracePulseEnd("this process while it held the box");
}

}  // namespace

uint8_t PortProbeWriteBack(uint8_t box, uint8_t status) {
  const uint8_t pattern = status | kStatusSwitch;
  if ((status & kStatusDrawer) != 0) return pattern;
  SharedBoxRecord* shared = PortSharedRecord(box);
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
  TraceEvent("pulse", "port %u: its drawer line was energised by no living process; released", box);
  return pattern | kStatusDrawer;
}

void PortReleaseOrphanedPulse(PortDevice& device) {
  SharedBoxRecord* shared = PortSharedRecord(device.box);
  if (shared == nullptr || shared->ownerPid == 0) return;
  if (!RecordedPulseOver(shared)) return;
  if (OwnerOf(shared) != PulseOwner::kGoneProcess) return;
  ReleaseRecordedPulse(device, shared, "wrote it and is gone");
}

int64_t PortPulseDueAt(uint8_t box) {
  int64_t due = 0;
  if (gPulse.pulsePending && gPulse.releaseBox == box)
    due = gPulse.pulseStart + FineTicks(kPulseUs);
  const SharedBoxRecord* shared = PortSharedRecordIfOpen(box);
  if (shared != nullptr && shared->ownerPid != 0) {
    const int64_t theirs = RecordedPulseDue(shared);
    if (due == 0 || theirs < due) due = theirs;
  }
  return due;
}

void PortReleaseDuePulse(PortDevice& device) {
  ReleaseDuePulse(device);
  // One that did not reach the box is tried again a few milliseconds on, not at every request.
  const int64_t next = PortPulseDueAt(device.box);
  const int64_t now = FineNow();
  device.pulseDueAt = next != 0 && next <= now ? now + FineTicks(kReleaseRetryUs) : next;
}

void PortCompletePulse(const char* endedBy) {
  uint8_t tried = kNoBox;
  if (gPulse.pulsePending) {
    WaitForPulseTime();
    tried = gPulse.releaseBox;
    EndPendingPulse(endedBy, kBoxWaitMs);
  }
  RetryOwedReleases(0, tried);
  ScheduleTimer();
}

Status PortKick(bool* counted) {
  *counted = false;
  if (gPulse.pulsePending) {
    TraceEvent("pulse", "port %u: no kick, this process's pulse is still running",
               gPulse.releaseBox);
    return Failure(Cause::kPulseRunning);
  }
  const uint8_t box = gPortBackend.sessionBox;
  PortOpening opening(box);
  if (!opening.ok()) return opening.status();
  PortDevice& device = opening.device();
  if (AnotherProcessesPulse(box)) {
    TraceEvent("pulse", "port %u: no kick, a pulse of process %lu is running", box,
               static_cast<unsigned long>(PortSharedRecord(box)->ownerPid));
    return Failure(Cause::kPulseRunning);
  }
  // A pulse is made only from a status that was read: a failed read leaves in the reply what
  // the last request left there (a pin sample's bits, say), which must not reach the port.
  const PortExchange read = PortReadStatus(device);
  if (!read.ok()) return read.status;
  const uint8_t status = read.reply.bytes[1];
  // The record is stamped before the line is energised: a process that dies between the two
  // leaves a pulse that the others know of and release. The pulse's time counts from the
  // end of its write.
  SharedBoxRecord* shared = PortSharedRecord(box);
  ClaimPulse(shared, FineNow());
  gPulse.releaseBox = box;
  gPulse.owedReleases |= BoxBit(box);
  gPulse.releaseMissed[box] = MissedOpens{};
  const Status written = PortWriteDrawer(device, PulsePattern(status));
  gPulse.pulseStart = FineNow();
  if (shared != nullptr) shared->writtenAt = gPulse.pulseStart;
  TraceEvent("pulse", "port %u started%s", box, written.ok() ? "" : " (the pulse write failed)");
  gPulse.pulsePending = true;
  if (LibraryTimerSet(TimerWork, kPulseUs)) {
    TraceHoldForPulse();
  } else {
    // No timer to end the pulse: end it here, after the pulse time.
    WaitForPulseTime();
    gPulse.pulsePending = false;
    WriteRelease(device);
    TracePulseEnd("the no-timer fallback");
  }
  opening.Close();
  // Counted however the write went: the solenoid may have fired.
  *counted = true;
  if (!written.ok()) return written;
  return IsValidStatus(status) ? kDone : Failure(Cause::kNoAnswer);
}

Status PortRelease() {
  bool pending = gPulse.pulsePending;
  gPulse.pulsePending = false;
  PortOpening opening(gPortBackend.sessionBox);
  Status status = opening.status();
  if (status.ok()) {
    // Only a pulse's own process ends it.
    if (AnotherProcessesPulse(opening.device().box)) {
      TraceEvent("pulse", "port %u: not released, the pulse is process %lu's", opening.device().box,
                 static_cast<unsigned long>(PortSharedRecord(opening.device().box)->ownerPid));
      status = Failure(Cause::kPulseRunning);
    } else {
      status = WriteRelease(opening.device());
    }
  }
  opening.Close();
  if (pending) TracePulseEnd("KasseClose");
  ScheduleTimer();
  return status;
}

Status PortReadSwitch(bool* closed) {
  PortOpening opening(gPortBackend.sessionBox);
  if (!opening.ok()) return opening.status();
  const PortExchange read = PortReadStatus(opening.device());
  opening.Close();
  const uint8_t status = read.reply.bytes[1];
  if (!read.ok()) return read.status;
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
    RetryOwedReleases(0, gPulse.releaseBox);
    ScheduleTimer();
  } else if (gPulse.owedReleases != 0) {
    RetryOwedReleases(0);
    if (gPulse.owedReleases == 0) ScheduleTimer();
  }
  if (gPortBackend.usedBoxes != 0) ReleaseDeadPulses();
}

// The pulse was completed (front/dllmain.cpp). A release this process still owes (its box
// kept by another program all along) is left to the other processes: its record is made a
// gone process's, which the next of them to use the box releases. The record is written
// without the box's turn here, which nothing else does: one field, which any process reads
// as "gone" whatever it read before.
void PortDetach(UnloadKind) {
  RetryOwedReleases(0);
  PortFinishEepromWork();
  for (uint8_t box = 0; box < kBoxes; ++box) {
    if (!ReleaseOwedTo(box)) continue;
    SharedBoxRecord* shared = PortSharedRecordIfOpen(box);
    if (OwnerOf(shared) == PulseOwner::kThisProcess) shared->ownerStart = 0;
    TraceEvent("owed release", "port %u: not written before the unload; left to the next program",
               box);
  }
}
