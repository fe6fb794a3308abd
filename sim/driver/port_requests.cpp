/*
 * port_requests.cpp - the driver-port contract on the box devices, over the port-box model;
 * every request goes into the event log, with the drawer-line change it caused.
 */
#include "driver/driver_state.h"

namespace drelvansim {
namespace {

// Where the 6-byte reply block is for a request of this code, or null.
uint8_t* ReplyBuffer(PIRP irp, uint32_t code) {
  if (code == sim::kPortRequestCode) return static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  // In-direct: the output buffer arrives described by an MDL.
  if (irp->MdlAddress == nullptr) return nullptr;
  return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
}

// A pin write that broke the EEPROM's timing rule: counted for the driver's tally and logged
// after the request's own event.
void NoteTimingFault(uint32_t box, uint32_t pid, const uint8_t* command, uint64_t timeUs) {
  const sim::Eeprom93c46& eeprom = g_driver.boxes[box].eeprom;
  if (g_driver.timingFaults++ == 0) {
    g_driver.firstFaultBox = box;
    g_driver.firstTimingFault = eeprom.firstTimingFault;
  }
  const sim::EepromTimingFault& fault = eeprom.lastTimingFault;
  Event& event = LogEvent(kEventTimingFault, box, timeUs);
  event.pid = pid;
  event.ok = 1;
  event.code = eeprom.timingFaults;
  for (uint32_t i = 0; i < sim::kPortCommandBytes; ++i) event.command[i] = command[i];
  event.reply[0] = fault.phase;
  event.reply[1] = fault.instruction;
  event.reply[2] = fault.address;
  event.reply[3] = fault.bits;
  event.reply[4] = fault.pinsBefore;
  event.reply[5] = fault.pinsAfter;
  event.replyBytes = sim::kPortReplyBytes;
  event.level = g_driver.boxes[box].drawerLine;
  event.status = g_driver.boxes[box].port;
}

}  // namespace

NTSTATUS BoxDeviceControl(uint32_t box, PIRP irp, PIO_STACK_LOCATION stack, uint32_t pid) {
  const uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
  const uint32_t inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const uint32_t outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const uint8_t* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  irp->IoStatus.Information = 0;

  const bool knownCode = code == sim::kPortRequestCode || code == sim::kPortRecoveryCode;
  uint8_t* out = knownCode ? ReplyBuffer(irp, code) : nullptr;
  const bool blocksOk = knownCode && in != nullptr && out != nullptr &&
                        inLength >= sim::kPortCommandBytes && outLength >= sim::kPortReplyBytes;

  uint8_t command[sim::kPortCommandBytes] = {};
  if (in != nullptr) {
    for (uint32_t i = 0; i < sim::kPortCommandBytes && i < inLength; ++i) command[i] = in[i];
  }
  uint8_t reply[sim::kPortReplyBytes] = {};
  uint32_t replyBytes = 0;

  DriverLock();
  // Taken under the lock, so that the model's clock never goes back between two callers.
  const uint64_t now = NowUs();
  sim::PortBox& model = g_driver.boxes[box];
  const uint8_t lineBefore = model.drawerLine;
  const uint32_t faultsBefore = model.eeprom.timingFaults;
  const uint32_t busyStartsBefore = model.eeprom.ignoredWhileBusy;
  bool ok = false;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (!blocksOk) {
    ++model.failed;
  } else if (sim::PortBoxRequest(model, code, command, reply, now, &replyBytes)) {
    ok = true;
    status = STATUS_SUCCESS;
  } else if (!model.present) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else if (sim::PortBoxClassify(code, command) != sim::kPortUnknown) {
    status = STATUS_IO_DEVICE_ERROR;
  }

  Event& event = LogEvent(kEventRequest, box, now);
  event.pid = pid;
  event.ok = ok ? 1 : 0;
  event.code = code;
  for (uint32_t i = 0; i < sim::kPortCommandBytes; ++i) event.command[i] = command[i];
  if (ok) {
    for (uint32_t i = 0; i < replyBytes; ++i) event.reply[i] = reply[i];
  }
  event.replyBytes = static_cast<uint8_t>(ok ? replyBytes : 0);
  event.level = model.drawerLine;
  event.status = model.port;

  if (model.eeprom.timingFaults != faultsBefore) NoteTimingFault(box, pid, command, now);
  if (model.eeprom.ignoredWhileBusy != busyStartsBefore) {
    if (g_driver.busyStarts == 0) g_driver.firstBusyStartBox = box;
    g_driver.busyStarts += model.eeprom.ignoredWhileBusy - busyStartsBefore;
  }

  HoldSawRequest(box, pid, lineBefore, model.drawerLine);
  if (model.drawerLine != lineBefore) {
    Event& change = LogEvent(kEventDrawer, box, now);
    change.pid = pid;
    change.ok = 1;
    change.code = code;
    for (uint32_t i = 0; i < sim::kPortCommandBytes; ++i) change.command[i] = command[i];
    change.level = model.drawerLine;
    change.status = model.port;
  }
  // A box pulled out by an injected fault loses its link like one pulled out by hand.
  SyncBoxLink(box, now);
  DriverUnlock();

  if (ok && replyBytes > 0) {
    for (uint32_t i = 0; i < replyBytes; ++i) out[i] = reply[i];
    irp->IoStatus.Information = replyBytes;
  }
  return status;
}

}  // namespace drelvansim
