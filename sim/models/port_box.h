/*
 * port_box.h - the driver-port box as its kernel driver serves it: one I/O port with the
 * drawer line and the switch line, and a pin port that carries a 93C46 serial EEPROM.
 *
 * A request is a control code with a 4-byte command block and a 6-byte reply block:
 *   code 4, port request:      14 14 pp 00  status read   reply byte 1 = port status
 *                              17 2F pp 00  drawer-port write of pattern pp
 *                              15 00 pp 00  pin write of pattern pp (EEPROM pins)
 *                              14 00 pp 00  pin sample    reply byte 1 bit 6 = EEPROM DO
 *   code 0x222031, recovery:   any block    reply as a status read
 * Reads and the recovery fill all six reply bytes (0: command byte 0, 1: the value, 2-5: 0);
 * writes return no reply bytes and leave the block as it was. A failing request changes
 * nothing, the reply block included.
 *
 * Port status: bit 0 drawer line (0 = solenoid energised), bit 2 switch line (written 1 by
 * every drawer write; the closed switch pulls it to 0), valid statuses 0xF0..0xF7 (bit 3
 * clear, bits 4-7 set). The status register holds the last drawer-port write, or the
 * initial status until the first one.
 * Pin port: chip select 0x08, clock 0x10, data in 0x20; data out is read on 0x40, which
 * must be written 1 to be read (a 0 in the latch pulls the line low).
 *
 * Freestanding: plain data without pointers, no heap, no C library.
 */
#ifndef SIM_MODELS_PORT_BOX_H
#define SIM_MODELS_PORT_BOX_H

#include <stddef.h>
#include <stdint.h>

#include "models/eeprom93c46.h"

namespace sim {

constexpr uint32_t kPortRequestCode = 4;
constexpr uint32_t kPortRecoveryCode = 0x222031;
constexpr uint32_t kPortCommandBytes = 4;
constexpr uint32_t kPortReplyBytes = 6;
constexpr uint32_t kPortDrawerLogSize = 32;

constexpr uint8_t kPortRead = 0x14;
constexpr uint8_t kPortPinWriteRequest = 0x15;
constexpr uint8_t kPortDrawerWriteRequest = 0x17;
constexpr uint8_t kPortSelectStatus = 0x14;
constexpr uint8_t kPortSelectDrawer = 0x2F;
constexpr uint8_t kPortSelectPins = 0x00;

constexpr uint8_t kPortDrawerBit = 0x01;
constexpr uint8_t kPortSwitchBit = 0x04;
constexpr uint8_t kPinChipSelect = 0x08;
constexpr uint8_t kPinClock = 0x10;
constexpr uint8_t kPinDataIn = 0x20;
constexpr uint8_t kPinDataOut = 0x40;

// Request kinds, the index of PortBox::served.
enum PortRequestKind : uint8_t {
  kPortStatusRead,
  kPortDrawerWrite,
  kPortPinWrite,
  kPortPinSample,
  kPortRecovery,
  kPortRequestKindCount,
  kPortUnknown = kPortRequestKindCount
};

// A change of the drawer line.
struct PortDrawerEvent {
  uint32_t timeMs;  // the caller's time of the request that changed it
  uint8_t level;    // the new level: 0 energised, 1 released
  uint8_t pattern;  // the drawer-port pattern written (the status, for a pull-out or recovery)
};

struct PortBox {
  // Configuration; PortBoxInit sets the defaults, the two counted faults have setters.
  bool present;                 // box plugged in; the host's CreateFileA consults it
  bool switchLow;               // the drawer switch pulls the switch line to 0
  bool validOnlyAfterRecovery;  // a recovery request sets the status to recoveredStatus
  uint8_t recoveredStatus;
  uint32_t failFrom;       // 0 off; else requests fail from the failFrom-th since configured
  uint32_t failSeen;       // requests since PortBoxFailFrom
  uint32_t pullOutBefore;  // 0 off; else the box is pulled out before that request
  uint32_t pullSeen;       // requests since PortBoxPullOutBefore

  uint8_t port;  // status register: the last drawer-port write or the initial status
  uint8_t pins;  // pin port latch: the last pin write
  Eeprom93c46 eeprom;

  // Record for tests.
  uint32_t served[kPortRequestKindCount];         // requests carried out, by kind
  uint32_t failed;                                // requests that failed, for any reason
  uint32_t unknown;                               // requests with an unknown code or command block
  uint8_t drawerLine;                             // current level of the drawer line
  uint32_t drawerPulses;                          // changes of the line from 1 to 0
  uint32_t drawerLowMs;                           // time at 0, up to drawerLowSinceMs
  uint32_t drawerLowSinceMs;                      // when the line last went to 0
  PortDrawerEvent drawerLog[kPortDrawerLogSize];  // the last changes of the drawer line
  uint32_t drawerEventCount;                      // changes since PortBoxInit
};

// A present box with port status `status` (drawer line = its bit 0, at 0 from time 0),
// switch released, no faults, recoveredStatus 0xF3, EEPROM all 0xFF and write-disabled,
// counters and logs cleared.
void PortBoxInit(PortBox& box, uint8_t status);

// Serves one driver request at the caller's time nowUs (microseconds, never going back; the
// drawer log keeps it in milliseconds). True when carried out; then *replyBytes (if given)
// = bytes written to reply (6 for reads and recovery, 0 for writes). False for an absent
// box, an injected failure or an unknown code/command; reply untouched. The EEPROM's own
// time runs to nowUs first, whatever the request.
bool PortBoxRequest(PortBox& box, uint32_t code, const uint8_t* command, uint8_t* reply,
                    uint64_t nowUs, uint32_t* replyBytes = nullptr);

// The kind of a request (kPortUnknown when the code or command block is not one above).
PortRequestKind PortBoxClassify(uint32_t code, const uint8_t* command);

// The value a status read returns now: port, with bit 2 cleared while the switch is low.
uint8_t PortBoxStatus(const PortBox& box);

// True for the statuses a caller accepts: bit 3 clear and bits 4-7 set (0xF0..0xF7).
bool PortStatusValid(uint8_t status);

// From the k-th request after this call on (1 = the next), every request fails; 0 = off.
void PortBoxFailFrom(PortBox& box, uint32_t k);

// The box is pulled out just before the k-th request after this call (1 = the next);
// 0 = off. From then on it is absent until a test sets present again.
void PortBoxPullOutBefore(PortBox& box, uint32_t k);

// Pulls the box out now: absent, drawer line released, EEPROM powered down mid-instruction.
void PortBoxPullOut(PortBox& box, uint32_t nowMs);

// The n-th drawer-line change since PortBoxInit (0 = first); null when not yet recorded or
// already overwritten.
const PortDrawerEvent* PortBoxDrawerEventAt(const PortBox& box, uint32_t n);

// Total time the drawer line has been at 0 up to nowMs, the current low period included.
uint32_t PortBoxDrawerLowMs(const PortBox& box, uint32_t nowMs);

}  // namespace sim

#endif  // SIM_MODELS_PORT_BOX_H
