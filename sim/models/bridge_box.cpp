#include "models/bridge_box.h"

namespace sim {
namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kGs = 0x1D;

void QueueReply(BridgeBox& box, uint8_t byte) {
  if (box.faults.noReply || box.rxCount >= kBridgeRxMax) return;
  box.rx[box.rxCount++] = byte;
}

// Length of the command that starts with the bytes assembled so far, or 0 when those
// bytes cannot start a command the firmware knows.
uint32_t CommandLength(const BridgeBox& box) {
  if (box.cmd[0] == kEsc) {
    if (box.cmdLength < 2) return 2;
    if (box.cmd[1] == 'p') return 5;
    if (box.cmd[1] == 'v') return 3;
    return 0;
  }
  if (box.cmd[0] == kGs) {
    if (box.cmdLength < 2) return 2;
    if (box.cmd[1] == 'r') return 3;
    return 0;
  }
  return 0;
}

void Execute(BridgeBox& box) {
  if (box.cmd[0] == kEsc && box.cmd[1] == 'p') {
    ++box.kicks;
  } else if (box.cmd[0] == kEsc && box.cmd[1] == 'v') {
    ++box.queries;
    QueueReply(box, box.switchReply);
  } else if (box.cmd[0] == kGs && box.cmd[1] == 'r') {
    ++box.queries;
    QueueReply(box, box.versionReply);
  }
}

void Feed(BridgeBox& box, uint8_t byte) {
  box.cmd[box.cmdLength++] = byte;
  uint32_t need = CommandLength(box);
  if (need == 0) {
    box.unknownBytes += box.cmdLength;
    box.cmdLength = 0;
    return;
  }
  if (box.cmdLength == need) {
    Execute(box);
    box.cmdLength = 0;
  }
}

}  // namespace

void BridgeBoxInit(BridgeBox& box, uint32_t userAreaSize) {
  box.present = true;
  box.open = false;
  box.opens = 0;
  box.closes = 0;
  box.baud = 0;
  box.readTimeoutMs = 0;
  box.writeTimeoutMs = 0;
  box.wordLength = 0;
  box.stopBits = 0;
  box.parity = 0;
  box.flowControl = 0;
  box.xon = 0;
  box.xoff = 0;
  for (uint32_t i = 0; i < kBridgeUserAreaMax; ++i) box.userArea[i] = 0;
  box.userAreaSize = userAreaSize > kBridgeUserAreaMax ? kBridgeUserAreaMax : userAreaSize;
  box.userAreaWrites = 0;
  box.switchReply = kBridgeSwitchState0Reply;
  box.versionReply = kBridgeVersionNew;
  box.kicks = 0;
  box.queries = 0;
  box.unknownBytes = 0;
  for (uint32_t i = 0; i < sizeof box.cmd; ++i) box.cmd[i] = 0;
  box.cmdLength = 0;
  for (uint32_t i = 0; i < kBridgeRxMax; ++i) box.rx[i] = 0;
  box.rxCount = 0;
  box.faults.openFailures = 0;
  box.faults.writeLimit = -1;
  box.faults.writeFails = false;
  box.faults.uaSizeFails = false;
  box.faults.uaReadFails = false;
  box.faults.uaReadLimit = -1;
  box.faults.uaWriteFails = false;
  box.faults.noReply = false;
  box.faults.getStatusFails = false;
  box.faults.txQueueStuck = 0;
}

bool BridgeBoxOpen(BridgeBox& box) {
  if (!box.present || box.open) return false;
  if (box.faults.openFailures > 0) {
    --box.faults.openFailures;
    return false;
  }
  box.open = true;
  ++box.opens;
  box.cmdLength = 0;
  return true;
}

bool BridgeBoxClose(BridgeBox& box) {
  if (!box.open) return false;
  box.open = false;
  ++box.closes;
  return true;
}

bool BridgeBoxWrite(BridgeBox& box, const uint8_t* data, uint32_t length, uint32_t* taken) {
  *taken = 0;
  if (box.faults.writeFails) return false;
  uint32_t n = length;
  if (box.faults.writeLimit >= 0 && n > static_cast<uint32_t>(box.faults.writeLimit)) {
    n = static_cast<uint32_t>(box.faults.writeLimit);
  }
  for (uint32_t i = 0; i < n; ++i) Feed(box, data[i]);
  *taken = n;
  return true;
}

uint32_t BridgeBoxRead(BridgeBox& box, uint8_t* data, uint32_t length) {
  uint32_t n = length < box.rxCount ? length : box.rxCount;
  for (uint32_t i = 0; i < n; ++i) data[i] = box.rx[i];
  for (uint32_t i = n; i < box.rxCount; ++i) box.rx[i - n] = box.rx[i];
  box.rxCount -= n;
  return n;
}

void BridgeBoxPurgeRx(BridgeBox& box) { box.rxCount = 0; }

bool BridgeBoxUaRead(BridgeBox& box, uint8_t* data, uint32_t length, uint32_t* delivered) {
  *delivered = 0;
  if (box.faults.uaReadFails) return false;
  uint32_t n = length < box.userAreaSize ? length : box.userAreaSize;
  if (box.faults.uaReadLimit >= 0 && n > static_cast<uint32_t>(box.faults.uaReadLimit)) {
    n = static_cast<uint32_t>(box.faults.uaReadLimit);
  }
  for (uint32_t i = 0; i < n; ++i) data[i] = box.userArea[i];
  *delivered = n;
  return true;
}

bool BridgeBoxUaWrite(BridgeBox& box, const uint8_t* data, uint32_t length) {
  if (box.faults.uaWriteFails || length > box.userAreaSize) return false;
  for (uint32_t i = 0; i < length; ++i) box.userArea[i] = data[i];
  ++box.userAreaWrites;
  return true;
}

}  // namespace sim
