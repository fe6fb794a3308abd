/*
 * held_requests.cpp - the hold: one box request of a chosen process kept pending until the
 * check lets it go or the request is cancelled. A process stopped this way cannot get past
 * that request, so a check that kills it knows exactly how far it got, on any machine.
 *
 * Under Wine a killed process's pending request is cancelled through the cancel routine set
 * here; only after that does its device handle close. The held request is never carried out
 * unless the hold is let go with carryOut.
 */
#include "driver/driver_state.h"

namespace drelvansim {
namespace {

bool Matches(const Hold& hold, uint32_t box, uint32_t pid) {
  return hold.state.phase == kHoldArmed && hold.state.box == box &&
         (hold.state.pid == 0 || hold.state.pid == pid);
}

// The end of a hold in the log: ok says whether the request was carried out.
void LogHoldEnd(bool carriedOut, uint64_t timeUs) {
  Hold& hold = g_driver.hold;
  Event& event = LogEvent(kEventHold, hold.state.box, timeUs);
  event.ok = carriedOut ? 1 : 0;
  event.level = 0;
  event.status = g_driver.boxes[hold.state.box].port;
  hold.state.phase = carriedOut ? kHoldCarriedOut : kHoldCancelled;
  hold.irp = nullptr;
}

void CompleteCancelled(PIRP irp) {
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  const uint64_t now = NowUs();
  DriverLock();
  if (g_driver.hold.state.phase == kHoldHeld && g_driver.hold.irp == irp) LogHoldEnd(false, now);
  DriverUnlock();
  CompleteCancelled(irp);
}

}  // namespace

uint32_t RequestorPid() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(PsGetCurrentProcessId()));
}

bool HoldTakes(uint32_t box, PIRP irp, PIO_STACK_LOCATION stack) {
  const uint32_t pid = RequestorPid();
  const uint64_t now = NowUs();
  DriverLock();
  Hold& hold = g_driver.hold;
  bool take = false;
  if (Matches(hold, box, pid) && (hold.count == kHoldFromArming || hold.counting)) {
    hold.state.pid = pid;
    take = ++hold.state.counted == hold.state.request;
  }
  bool cancelled = false;
  if (take) {
    const uint8_t* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    const uint32_t inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    Event& event = LogEvent(kEventHold, box, now);
    event.ok = 1;
    event.level = 1;
    event.code = stack->Parameters.DeviceIoControl.IoControlCode;
    for (uint32_t i = 0; in != nullptr && i < sizeof event.command && i < inLength; ++i) {
      event.command[i] = in[i];
    }
    event.status = g_driver.boxes[box].port;
    hold.state.phase = kHoldHeld;
    hold.state.heldSeq = event.seq;
    hold.irp = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    // Cancelled before the routine was in place: it is ours to complete.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      LogHoldEnd(false, now);
      cancelled = true;
    }
  }
  DriverUnlock();
  if (cancelled) CompleteCancelled(irp);
  return take;
}

void HoldSawRequest(uint32_t box, uint32_t pid, uint8_t lineBefore, uint8_t lineAfter) {
  Hold& hold = g_driver.hold;
  if (hold.count != kHoldAfterPulse || hold.counting || lineBefore != 1 || lineAfter != 0) return;
  if (!Matches(hold, box, pid)) return;
  hold.state.pid = pid;
  hold.counting = true;
}

void HoldArm(const HoldRequest& request, uint64_t timeUs, PIRP* complete, bool* carryOut) {
  HoldLetGo(false, timeUs, complete);
  *carryOut = false;
  Hold& hold = g_driver.hold;
  hold.state.phase = request.request == 0 ? kHoldOff : kHoldArmed;
  hold.state.box = request.box;
  hold.state.pid = request.pid;
  hold.state.request = request.request;
  hold.state.counted = 0;
  hold.state.heldSeq = 0;
  hold.count = request.count;
  hold.counting = false;
  hold.irp = nullptr;
}

void HoldLetGo(bool carryOut, uint64_t timeUs, PIRP* complete) {
  *complete = nullptr;
  Hold& hold = g_driver.hold;
  if (hold.state.phase == kHoldArmed) {
    hold.state.phase = kHoldOff;
    return;
  }
  if (hold.state.phase != kHoldHeld) return;
  PIRP irp = hold.irp;
  // No cancel routine left: it runs now, and ends the hold itself.
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) return;
  LogHoldEnd(carryOut, timeUs);
  *complete = irp;
}

void HoldComplete(PIRP irp, uint32_t box, uint32_t pid, bool carryOut) {
  if (!carryOut) {
    CompleteCancelled(irp);
    return;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const NTSTATUS status = BoxDeviceControl(box, irp, stack, pid);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace drelvansim
