/*
 * control_requests.cpp - the control device: configures boxes, reads and writes their
 * EEPROMs, hands out the event log. All requests are buffered.
 */
#include "driver/driver_state.h"

namespace drelvansim {
namespace {

struct Buffers {
  uint8_t* data;  // the system buffer: input first, output written over it
  uint32_t inLength;
  uint32_t outLength;
};

// Copies the input block into `block`; false when the caller sent too little.
template <typename Block>
bool TakeInput(const Buffers& buffers, Block& block) {
  if (buffers.data == nullptr || buffers.inLength < sizeof(Block)) return false;
  const uint8_t* from = buffers.data;
  uint8_t* to = reinterpret_cast<uint8_t*>(&block);
  for (uint32_t i = 0; i < sizeof(Block); ++i) to[i] = from[i];
  return true;
}

// Writes `length` bytes of output; false when the caller's output buffer is too small.
bool GiveOutput(PIRP irp, const Buffers& buffers, const void* block, uint32_t length) {
  if (buffers.data == nullptr || buffers.outLength < length) return false;
  const uint8_t* from = static_cast<const uint8_t*>(block);
  for (uint32_t i = 0; i < length; ++i) buffers.data[i] = from[i];
  irp->IoStatus.Information = length;
  return true;
}

// The port register set by configuration: the drawer line follows bit 0 (counted as time
// at 0, not as a pulse); a change is logged.
void ConfigurePort(uint32_t box, uint8_t value, uint64_t timeUs) {
  sim::PortBox& model = g_driver.boxes[box];
  const uint32_t nowMs = static_cast<uint32_t>(timeUs / 1000u);
  model.port = value;
  const uint8_t level = (value & sim::kPortDrawerBit) ? 1 : 0;
  if (level == model.drawerLine) return;
  if (level == 0) {
    model.drawerLowSinceMs = nowMs;
  } else {
    model.drawerLowMs += nowMs - model.drawerLowSinceMs;
  }
  model.drawerLine = level;
  Event& change = LogEvent(kEventDrawer, box, timeUs);
  change.ok = 1;
  change.level = level;
  change.status = value;
}

void ClearCounters(uint32_t box, uint64_t timeUs) {
  sim::PortBox& model = g_driver.boxes[box];
  for (uint32_t i = 0; i < sim::kPortRequestKindCount; ++i) model.served[i] = 0;
  model.failed = 0;
  model.unknown = 0;
  model.drawerPulses = 0;
  model.drawerLowMs = 0;
  model.drawerLowSinceMs = static_cast<uint32_t>(timeUs / 1000u);
  model.eeprom.bytesProgrammed = 0;
  model.eeprom.ignoredWhileBusy = 0;
  sim::EepromClearTimingFaults(model.eeprom);
  g_driver.opens[box] = 0;
  g_driver.closes[box] = 0;
}

void Configure(const BoxConfig& config, uint64_t timeUs) {
  const uint32_t box = config.box;
  sim::PortBox& model = g_driver.boxes[box];
  const uint32_t nowMs = static_cast<uint32_t>(timeUs / 1000u);
  if (config.fields & kConfigReset) ResetBox(box);
  if (config.fields & kConfigPresent) {
    if (config.present) {
      model.present = true;
    } else if (model.present) {
      sim::PortBoxPullOut(model, nowMs);
    }
  }
  if (config.fields & kConfigStatus) ConfigurePort(box, config.status, timeUs);
  if (config.fields & kConfigSwitch) model.switchLow = config.switchClosed != 0;
  if (config.fields & kConfigRecovery) {
    model.validOnlyAfterRecovery = config.recoveryOnly != 0;
    model.recoveredStatus = config.recoveredStatus;
  }
  if (config.fields & kConfigFailFrom) sim::PortBoxFailFrom(model, config.failFrom);
  if (config.fields & kConfigPullOutBefore) sim::PortBoxPullOutBefore(model, config.pullOutBefore);
  if (config.fields & kConfigClearCounters) ClearCounters(box, timeUs);
  if (config.fields & kConfigProgramTime) model.eeprom.programUs = config.programUs;
  if (config.fields & kConfigNeverReady) {
    model.eeprom.neverReady = config.neverReady != 0;
    sim::EepromAdvance(model.eeprom, timeUs);
  }

  Event& event = LogEvent(kEventConfig, box, timeUs);
  event.ok = 1;
  event.code = config.fields;
  event.level = model.drawerLine;
  event.status = model.port;
  SyncBoxLink(box, timeUs);
}

NTSTATUS ReadLog(PIRP irp, const Buffers& buffers) {
  LogRequest request;
  if (!TakeInput(buffers, request) || buffers.outLength < sizeof(LogReply)) {
    return STATUS_INVALID_PARAMETER;
  }
  LogReply header;
  header.eventCount = g_driver.eventCount;
  header.oldestSeq = LogOldestSeq();
  header.reserved = 0;
  uint32_t from = request.fromSeq;
  if (from - header.oldestSeq > header.eventCount - header.oldestSeq) from = header.oldestSeq;
  uint32_t count = header.eventCount - from;
  const uint32_t room = (buffers.outLength - sizeof(LogReply)) / sizeof(Event);
  if (count > room) count = room;
  if (count > request.maxEvents) count = request.maxEvents;
  header.returned = count;

  uint8_t* out = buffers.data;
  const uint8_t* head = reinterpret_cast<const uint8_t*>(&header);
  for (uint32_t i = 0; i < sizeof header; ++i) out[i] = head[i];
  uint8_t* events = out + sizeof(LogReply);
  for (uint32_t n = 0; n < count; ++n) {
    const uint8_t* event =
        reinterpret_cast<const uint8_t*>(&g_driver.log[(from + n) % kLogCapacity]);
    for (uint32_t i = 0; i < sizeof(Event); ++i) events[n * sizeof(Event) + i] = event[i];
  }
  irp->IoStatus.Information = sizeof(LogReply) + count * sizeof(Event);
  return STATUS_SUCCESS;
}

// A request the hold let go, to be completed once the lock is left.
struct Released {
  PIRP irp;
  uint32_t box;
  uint32_t pid;  // the process that made the request
  bool carryOut;
};

NTSTATUS GiveHoldState(PIRP irp, const Buffers& buffers) {
  if (buffers.outLength < sizeof(HoldState)) return STATUS_SUCCESS;
  GiveOutput(irp, buffers, &g_driver.hold.state, sizeof(HoldState));
  return STATUS_SUCCESS;
}

NTSTATUS Serve(PIRP irp, uint32_t code, const Buffers& buffers, uint64_t now, Released& released) {
  released.box = g_driver.hold.state.box;
  released.pid = g_driver.hold.state.pid;
  switch (code) {
    case kCtlInfo: {
      SimInfo info;
      info.magic = kInfoMagic;
      info.version = kInterfaceVersion;
      info.boxCount = kBoxCount;
      info.eventCount = g_driver.eventCount;
      info.nowUs = now;
      info.timingFaults = g_driver.timingFaults;
      info.firstFaultBox = g_driver.firstFaultBox;
      info.firstTimingFault = g_driver.firstTimingFault;
      info.busyStarts = g_driver.busyStarts;
      info.firstBusyStartBox = g_driver.firstBusyStartBox;
      return GiveOutput(irp, buffers, &info, sizeof info) ? STATUS_SUCCESS
                                                          : STATUS_INVALID_PARAMETER;
    }
    case kCtlConfigure: {
      BoxConfig config;
      if (!TakeInput(buffers, config) || config.box >= kBoxCount) return STATUS_INVALID_PARAMETER;
      Configure(config, now);
      BoxInfo info;
      DescribeBox(config.box, now, info);
      if (buffers.outLength >= sizeof info) GiveOutput(irp, buffers, &info, sizeof info);
      return STATUS_SUCCESS;
    }
    case kCtlQuery: {
      BoxSelect select;
      if (!TakeInput(buffers, select) || select.box >= kBoxCount) return STATUS_INVALID_PARAMETER;
      BoxInfo info;
      DescribeBox(select.box, now, info);
      return GiveOutput(irp, buffers, &info, sizeof info) ? STATUS_SUCCESS
                                                          : STATUS_INVALID_PARAMETER;
    }
    case kCtlEepromRead: {
      BoxSelect select;
      if (!TakeInput(buffers, select) || select.box >= kBoxCount) return STATUS_INVALID_PARAMETER;
      return GiveOutput(irp, buffers, g_driver.boxes[select.box].eeprom.memory, kEepromBytes)
                 ? STATUS_SUCCESS
                 : STATUS_INVALID_PARAMETER;
    }
    case kCtlEepromWrite: {
      EepromWrite write;
      if (!TakeInput(buffers, write) || write.box >= kBoxCount || write.offset > kEepromBytes ||
          write.length > kEepromBytes - write.offset) {
        return STATUS_INVALID_PARAMETER;
      }
      uint8_t* memory = g_driver.boxes[write.box].eeprom.memory;
      for (uint32_t i = 0; i < write.length; ++i) memory[write.offset + i] = write.data[i];
      return STATUS_SUCCESS;
    }
    case kCtlReadLog:
      return ReadLog(irp, buffers);
    case kCtlClearLog:
      LogClear();
      return STATUS_SUCCESS;
    case kCtlHold: {
      HoldRequest request;
      if (!TakeInput(buffers, request) || request.box >= kBoxCount ||
          request.count > kHoldAfterPulse) {
        return STATUS_INVALID_PARAMETER;
      }
      HoldArm(request, now, &released.irp, &released.carryOut);
      return GiveHoldState(irp, buffers);
    }
    case kCtlLetGo: {
      LetGo letGo;
      if (!TakeInput(buffers, letGo)) return STATUS_INVALID_PARAMETER;
      released.carryOut = letGo.carryOut != 0;
      HoldLetGo(released.carryOut, now, &released.irp);
      return GiveHoldState(irp, buffers);
    }
    case kCtlHoldState:
      return GiveOutput(irp, buffers, &g_driver.hold.state, sizeof(HoldState))
                 ? STATUS_SUCCESS
                 : STATUS_INVALID_PARAMETER;
    case kCtlResetAll: {
      const HoldRequest off = {0, 0, 0, kHoldFromArming};
      HoldArm(off, now, &released.irp, &released.carryOut);
      for (uint32_t box = 0; box < kBoxCount; ++box) {
        ResetBox(box);
        SyncBoxLink(box, now);
      }
      LogClear();
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

void DescribeBox(uint32_t box, uint64_t timeUs, BoxInfo& info) {
  sim::PortBox& model = g_driver.boxes[box];
  info.box = box;
  info.present = model.present ? 1 : 0;
  info.linked = g_driver.linked[box] ? 1 : 0;
  info.port = model.port;
  info.status = sim::PortBoxStatus(model);
  info.switchClosed = model.switchLow ? 1 : 0;
  info.recoveryOnly = model.validOnlyAfterRecovery ? 1 : 0;
  info.recoveredStatus = model.recoveredStatus;
  info.drawerLine = model.drawerLine;
  info.pins = model.pins;
  info.eepromWritable = model.eeprom.writeEnabled ? 1 : 0;
  info.reserved[0] = 0;
  info.reserved[1] = 0;
  info.failFrom = model.failFrom;
  info.pullOutBefore = model.pullOutBefore;
  for (uint32_t i = 0; i < kRequestKindCount; ++i) info.served[i] = model.served[i];
  info.failed = model.failed;
  info.unknown = model.unknown;
  info.opens = g_driver.opens[box];
  info.closes = g_driver.closes[box];
  info.drawerPulses = model.drawerPulses;
  info.drawerLowMs = sim::PortBoxDrawerLowMs(model, static_cast<uint32_t>(timeUs / 1000u));
  info.eepromPrograms = model.eeprom.bytesProgrammed;
  info.timingFaults = model.eeprom.timingFaults;
  info.firstTimingFault = model.eeprom.firstTimingFault;
  sim::EepromAdvance(model.eeprom, timeUs);
  info.programUs = model.eeprom.programUs;
  info.busyStarts = model.eeprom.ignoredWhileBusy;
  info.neverReady = model.eeprom.neverReady ? 1 : 0;
  info.eepromBusy = model.eeprom.busy ? 1 : 0;
  info.reserved3[0] = 0;
  info.reserved3[1] = 0;
}

NTSTATUS ControlDeviceControl(PIRP irp, PIO_STACK_LOCATION stack) {
  Buffers buffers;
  buffers.data = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  buffers.inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  buffers.outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  irp->IoStatus.Information = 0;
  const uint64_t now = NowUs();
  Released released = {nullptr, 0, 0, false};
  DriverLock();
  const NTSTATUS status =
      Serve(irp, stack->Parameters.DeviceIoControl.IoControlCode, buffers, now, released);
  DriverUnlock();
  if (released.irp != nullptr) {
    HoldComplete(released.irp, released.box, released.pid, released.carryOut);
  }
  return status;
}

}  // namespace drelvansim
