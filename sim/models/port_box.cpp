/*
 * port_box.cpp - the driver-port box: request decoding, port registers, faults, records.
 */
#include "models/port_box.h"

namespace sim {
namespace {

constexpr uint8_t kDefaultRecoveredStatus = 0xF3;
constexpr uint8_t kValidMask = 0xF8;  // bit 3 and bits 4-7
constexpr uint8_t kValidBits = 0xF0;

void RecordDrawerEvent(PortBox& box, uint8_t level, uint8_t pattern, uint32_t nowMs) {
  PortDrawerEvent& event = box.drawerLog[box.drawerEventCount % kPortDrawerLogSize];
  event.timeMs = nowMs;
  event.level = level;
  event.pattern = pattern;
  ++box.drawerEventCount;
}

void SetDrawerLine(PortBox& box, uint8_t level, uint8_t pattern, uint32_t nowMs) {
  if (level == box.drawerLine) return;
  if (level == 0) {
    ++box.drawerPulses;
    box.drawerLowSinceMs = nowMs;
  } else {
    box.drawerLowMs += nowMs - box.drawerLowSinceMs;
  }
  box.drawerLine = level;
  RecordDrawerEvent(box, level, pattern, nowMs);
}

void SetPort(PortBox& box, uint8_t value, uint32_t nowMs) {
  box.port = value;
  SetDrawerLine(box, (value & kPortDrawerBit) ? 1 : 0, value, nowMs);
}

void FillReply(uint8_t* reply, uint8_t first, uint8_t value) {
  reply[0] = first;
  reply[1] = value;
  for (uint32_t i = 2; i < kPortReplyBytes; ++i) reply[i] = 0;
}

// The pin port as read back: the latch, with bit 6 low unless both the latch and the
// EEPROM's data out leave it high.
uint8_t SamplePins(const PortBox& box) {
  const bool high = (box.pins & kPinDataOut) != 0 && EepromDataOut(box.eeprom);
  return static_cast<uint8_t>((box.pins & ~kPinDataOut) | (high ? kPinDataOut : 0));
}

// Counts the request against the two counted faults; true when it is to fail.
bool CountedFaultHits(PortBox& box, uint32_t nowMs) {
  if (box.pullOutBefore != 0 && ++box.pullSeen >= box.pullOutBefore) {
    box.pullOutBefore = 0;
    PortBoxPullOut(box, nowMs);
  }
  return box.failFrom != 0 && ++box.failSeen >= box.failFrom;
}

}  // namespace

void PortBoxInit(PortBox& box, uint8_t status) {
  box.present = true;
  box.switchLow = false;
  box.validOnlyAfterRecovery = false;
  box.recoveredStatus = kDefaultRecoveredStatus;
  box.failFrom = 0;
  box.failSeen = 0;
  box.pullOutBefore = 0;
  box.pullSeen = 0;
  box.port = status;
  box.pins = 0;
  EepromInit(box.eeprom, 0xFF);
  for (uint32_t i = 0; i < kPortRequestKindCount; ++i) box.served[i] = 0;
  box.failed = 0;
  box.unknown = 0;
  box.drawerLine = (status & kPortDrawerBit) ? 1 : 0;
  box.drawerPulses = 0;
  box.drawerLowMs = 0;
  box.drawerLowSinceMs = 0;
  for (uint32_t i = 0; i < kPortDrawerLogSize; ++i) {
    box.drawerLog[i].timeMs = 0;
    box.drawerLog[i].level = 0;
    box.drawerLog[i].pattern = 0;
  }
  box.drawerEventCount = 0;
}

PortRequestKind PortBoxClassify(uint32_t code, const uint8_t* command) {
  if (code == kPortRecoveryCode) return kPortRecovery;
  if (code != kPortRequestCode || command[3] != 0) return kPortUnknown;
  const uint8_t request = command[0];
  const uint8_t select = command[1];
  if (request == kPortRead && select == kPortSelectStatus) return kPortStatusRead;
  if (request == kPortRead && select == kPortSelectPins) return kPortPinSample;
  if (request == kPortDrawerWriteRequest && select == kPortSelectDrawer) return kPortDrawerWrite;
  if (request == kPortPinWriteRequest && select == kPortSelectPins) return kPortPinWrite;
  return kPortUnknown;
}

bool PortBoxRequest(PortBox& box, uint32_t code, const uint8_t* command, uint8_t* reply,
                    uint64_t nowUs, uint32_t* replyBytes) {
  const uint32_t nowMs = static_cast<uint32_t>(nowUs / 1000);
  const PortRequestKind kind = PortBoxClassify(code, command);
  if (kind == kPortUnknown) ++box.unknown;
  const bool injected = CountedFaultHits(box, nowMs);
  if (injected || !box.present || kind == kPortUnknown) {
    ++box.failed;
    return false;
  }
  EepromAdvance(box.eeprom, nowUs);
  const uint8_t pattern = command[2];
  uint32_t written = kPortReplyBytes;
  switch (kind) {
    case kPortStatusRead:
      FillReply(reply, command[0], PortBoxStatus(box));
      break;
    case kPortRecovery:
      if (box.validOnlyAfterRecovery) SetPort(box, box.recoveredStatus, nowMs);
      FillReply(reply, command[0], PortBoxStatus(box));
      break;
    case kPortPinSample:
      FillReply(reply, command[0], SamplePins(box));
      break;
    case kPortDrawerWrite:
      SetPort(box, pattern, nowMs);
      written = 0;
      break;
    default:  // kPortPinWrite
      box.pins = pattern;
      EepromStep(box.eeprom, (pattern & kPinChipSelect) != 0, (pattern & kPinClock) != 0,
                 (pattern & kPinDataIn) != 0, nowUs);
      written = 0;
      break;
  }
  ++box.served[kind];
  if (replyBytes != nullptr) *replyBytes = written;
  return true;
}

uint8_t PortBoxStatus(const PortBox& box) {
  return static_cast<uint8_t>(box.switchLow ? (box.port & ~kPortSwitchBit) : box.port);
}

bool PortStatusValid(uint8_t status) { return (status & kValidMask) == kValidBits; }

void PortBoxFailFrom(PortBox& box, uint32_t k) {
  box.failFrom = k;
  box.failSeen = 0;
}

void PortBoxPullOutBefore(PortBox& box, uint32_t k) {
  box.pullOutBefore = k;
  box.pullSeen = 0;
}

void PortBoxPullOut(PortBox& box, uint32_t nowMs) {
  box.present = false;
  SetDrawerLine(box, 1, box.port, nowMs);
  EepromPowerUp(box.eeprom);
}

const PortDrawerEvent* PortBoxDrawerEventAt(const PortBox& box, uint32_t n) {
  if (n >= box.drawerEventCount || box.drawerEventCount - n > kPortDrawerLogSize) return nullptr;
  return &box.drawerLog[n % kPortDrawerLogSize];
}

uint32_t PortBoxDrawerLowMs(const PortBox& box, uint32_t nowMs) {
  if (box.drawerLine != 0) return box.drawerLowMs;
  return box.drawerLowMs + (nowMs - box.drawerLowSinceMs);
}

}  // namespace sim
