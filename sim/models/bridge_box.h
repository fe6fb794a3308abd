// The simulated bridge box: a USB-serial bridge chip with an EEPROM user area, and the
// box firmware behind its serial line. Freestanding (no heap, no exceptions, no C
// library calls) so the host stand-in and the stand-in ftd2xx.dll share it.
#ifndef SIM_MODELS_BRIDGE_BOX_H
#define SIM_MODELS_BRIDGE_BOX_H

#include <stddef.h>
#include <stdint.h>

namespace sim {

constexpr uint32_t kBridgeUserAreaMax = 64;
constexpr uint32_t kBridgeRxMax = 32;

// Firmware replies and commands as the box's firmware understands them.
constexpr uint8_t kBridgeSwitchState1Reply = 0x00;  // any byte but 0x7D: switch state 1
constexpr uint8_t kBridgeSwitchState0Reply = 0x7D;  // '}': switch state 0
constexpr uint8_t kBridgeVersionNew = 0x50;         // 'P': firmware 1.6 or newer
constexpr uint8_t kBridgeVersionOld = 0x01;

struct BridgeBoxFaults {
  uint32_t openFailures;  // the next n opens fail
  int32_t writeLimit;     // < 0: writes complete; else at most this many bytes are taken
  bool writeFails;        // every write returns an error status
  bool uaSizeFails;       // user-area size query fails
  bool uaReadFails;       // user-area read returns an error status
  int32_t uaReadLimit;    // < 0: reads complete; else at most this many bytes are delivered
  bool uaWriteFails;      // user-area write returns an error status, nothing stored
  bool noReply;           // the firmware answers no query
  bool getStatusFails;    // queue status query returns an error status
  uint32_t txQueueStuck;  // reported transmit-queue count (0: the queue drains at once)
};

struct BridgeBox {
  bool present;
  bool open;
  uint32_t opens;   // successful opens
  uint32_t closes;  // closes of an open box

  // Line settings as last set.
  uint32_t baud;
  uint32_t readTimeoutMs;
  uint32_t writeTimeoutMs;
  uint8_t wordLength;
  uint8_t stopBits;
  uint8_t parity;
  uint16_t flowControl;
  uint8_t xon;
  uint8_t xoff;

  uint8_t userArea[kBridgeUserAreaMax];
  uint32_t userAreaSize;
  uint32_t userAreaWrites;

  // Firmware.
  uint8_t switchReply;    // answer to the switch query
  uint8_t versionReply;   // answer to the version query
  uint32_t kicks;         // complete kick commands received
  uint32_t queries;       // switch and version queries received
  uint32_t unknownBytes;  // bytes the firmware could not parse
  uint8_t cmd[8];         // command being assembled
  uint32_t cmdLength;
  uint8_t rx[kBridgeRxMax];  // bytes waiting for the host to read
  uint32_t rxCount;

  BridgeBoxFaults faults;
};

// Resets box to a present, closed box with a user area of 'userAreaSize' bytes (all zero),
// a closed drawer switch reply, the newer firmware and no faults.
void BridgeBoxInit(BridgeBox& box, uint32_t userAreaSize);

// Opens the box. False when absent, already open, or an open failure is scheduled.
bool BridgeBoxOpen(BridgeBox& box);
// Closes an open box; false when it was not open.
bool BridgeBoxClose(BridgeBox& box);

// Serial line: bytes from the host. Returns false on a write failure; *taken receives the
// number of bytes the box took (the firmware sees only those).
bool BridgeBoxWrite(BridgeBox& box, const uint8_t* data, uint32_t length, uint32_t* taken);
// Serial line: up to 'length' bytes towards the host; returns the count delivered.
uint32_t BridgeBoxRead(BridgeBox& box, uint8_t* data, uint32_t length);
// Drops bytes waiting for the host.
void BridgeBoxPurgeRx(BridgeBox& box);

// User area. Read delivers min(length, size, read limit) bytes into data; false on failure.
bool BridgeBoxUaRead(BridgeBox& box, uint8_t* data, uint32_t length, uint32_t* delivered);
// Stores length bytes at the start of the user area; false (nothing stored) on a failure
// or when length exceeds the user-area size.
bool BridgeBoxUaWrite(BridgeBox& box, const uint8_t* data, uint32_t length);

}  // namespace sim

#endif  // SIM_MODELS_BRIDGE_BOX_H
