/*
 * control_interface.h - what the stand-in port driver shows to user mode, besides the box
 * devices themselves: device names, the control device's request codes and their blocks.
 *
 * Box N (0..9) is the device \Device\DrelvanN; while the box is plugged in, the link
 * \DosDevices\Drelvan_N makes it reachable as \\.\Drelvan_N. It serves the driver-port
 * contract: control code 4 (buffered) and 0x222031 (in-direct), 4-byte command block in,
 * 6-byte reply block out, success exactly when the box carried the request out.
 *
 * The control device \\.\DrelvanSim configures the boxes and hands out the event log. All
 * its requests are buffered; each takes the input block named below and answers with the
 * output block named below, failing with an invalid-parameter status when a block is too
 * short or a box number is out of range.
 *
 * Included by the driver and by user-mode programs: fixed-width types only, same layout on
 * x86 and x64.
 */
#ifndef SIM_DRIVER_CONTROL_INTERFACE_H
#define SIM_DRIVER_CONTROL_INTERFACE_H

#include <stdint.h>

#include "models/eeprom93c46.h"

namespace drelvansim {

constexpr uint32_t kBoxCount = 10;
constexpr uint32_t kEepromBytes = 128;
constexpr uint32_t kInterfaceVersion = 4;
constexpr uint32_t kInfoMagic = 0x4D495344;  // "DSIM"

// User-mode paths.
constexpr const char kControlPath[] = "\\\\.\\DrelvanSim";
constexpr const char kBoxPathTemplate[] = "\\\\.\\Drelvan_0";  // last character = box number

// The service the runner installs the driver as.
constexpr const char kServiceName[] = "DrelvanSim";

// Control codes: device type 0x22 (unknown), functions 0x900 on, buffered, any access.
constexpr uint32_t ControlCode(uint32_t function) {
  return (0x22u << 16) | ((0x900u + function) << 2);
}

constexpr uint32_t kCtlInfo = ControlCode(0);         // in: none          out: SimInfo
constexpr uint32_t kCtlConfigure = ControlCode(1);    // in: BoxConfig     out: BoxInfo (after)
constexpr uint32_t kCtlQuery = ControlCode(2);        // in: BoxSelect     out: BoxInfo
constexpr uint32_t kCtlEepromRead = ControlCode(3);   // in: BoxSelect     out: 128 bytes
constexpr uint32_t kCtlEepromWrite = ControlCode(4);  // in: EepromWrite   out: none
constexpr uint32_t kCtlReadLog = ControlCode(5);      // in: LogRequest    out: LogReply + events
constexpr uint32_t kCtlClearLog = ControlCode(6);     // in: none          out: none
constexpr uint32_t kCtlResetAll = ControlCode(7);     // in: none          out: none
constexpr uint32_t kCtlHold = ControlCode(8);         // in: HoldRequest   out: HoldState
constexpr uint32_t kCtlLetGo = ControlCode(9);        // in: LetGo         out: HoldState
constexpr uint32_t kCtlHoldState = ControlCode(10);   // in: none          out: HoldState

struct SimInfo {
  uint32_t magic;       // kInfoMagic
  uint32_t version;     // kInterfaceVersion
  uint32_t boxCount;    // kBoxCount
  uint32_t eventCount;  // the next event's sequence number (events logged since the driver started)
  uint64_t nowUs;       // the driver's clock: the performance counter in microseconds
  // EEPROM timing faults (models/eeprom93c46.h) on every box since the driver started; box
  // resets and cleared counters keep them, so a check can look once at its end.
  uint32_t timingFaults;
  uint32_t firstFaultBox;                   // the box of the first one
  sim::EepromTimingFault firstTimingFault;  // the first one; zero while there is none
  // Start bits sent into an EEPROM that was still programming, on every box since the driver
  // started, kept as the timing faults are.
  uint32_t busyStarts;
  uint32_t firstBusyStartBox;  // the box of the first one
};

struct BoxSelect {
  uint32_t box;
};

// What BoxConfig::fields selects; applied in this order.
enum ConfigField : uint32_t {
  kConfigReset = 1u << 0,          // a factory-fresh box: absent, status 0xF3, EEPROM all 0xFF
  kConfigPresent = 1u << 1,        // plug in or pull out (creates or removes the link)
  kConfigStatus = 1u << 2,         // port register := status (drawer line follows bit 0)
  kConfigSwitch = 1u << 3,         // switch line pulled low (closed) or not
  kConfigRecovery = 1u << 4,       // status valid only after a recovery request
  kConfigFailFrom = 1u << 5,       // requests fail from the failFrom-th on (0 = off)
  kConfigPullOutBefore = 1u << 6,  // box pulled out before the pullOutBefore-th request (0 = off)
  kConfigClearCounters = 1u << 7,  // request counters, drawer statistics, the box's timing
                                   // faults and busy starts back to 0 (SimInfo's tally keeps them)
  kConfigProgramTime = 1u << 8,    // the EEPROM's programming time := programUs
  kConfigNeverReady = 1u << 9,     // the EEPROM's never-ready fault on or off
};

// A box's EEPROM programs each byte in this time unless configured otherwise: within the
// 2 to 6 ms the parts of this family take.
constexpr uint32_t kDefaultProgramUs = 4000;

struct BoxConfig {
  uint32_t box;
  uint32_t fields;  // ConfigField bits
  uint8_t present;
  uint8_t status;
  uint8_t switchClosed;
  uint8_t recoveryOnly;     // with kConfigRecovery: 1 = invalid until recovered
  uint8_t recoveredStatus;  // with kConfigRecovery: status a recovery request sets
  uint8_t reserved[3];
  uint32_t failFrom;
  uint32_t pullOutBefore;
  uint32_t programUs;  // with kConfigProgramTime
  uint8_t neverReady;  // with kConfigNeverReady: 1 = programming never finishes
  uint8_t reserved2[3];
};

// Request kinds, the index of BoxInfo::served (as the port-box model counts them).
enum RequestKind : uint32_t {
  kStatusRead,
  kDrawerWrite,
  kPinWrite,
  kPinSample,
  kRecovery,
  kRequestKindCount
};

struct BoxInfo {
  uint32_t box;
  uint8_t present;
  uint8_t linked;  // \DosDevices\Drelvan_N exists
  uint8_t port;    // status register
  uint8_t status;  // what a status read returns now (switch applied)
  uint8_t switchClosed;
  uint8_t recoveryOnly;
  uint8_t recoveredStatus;
  uint8_t drawerLine;      // 0 energised, 1 released
  uint8_t pins;            // pin port latch
  uint8_t eepromWritable;  // the EEPROM is between EWEN and EWDS
  uint8_t reserved[2];
  uint32_t failFrom;
  uint32_t pullOutBefore;
  uint32_t served[kRequestKindCount];
  uint32_t failed;                          // requests not carried out, for any reason
  uint32_t unknown;                         // requests with an unknown code or command block
  uint32_t opens;                           // creates of the device since reset
  uint32_t closes;                          // closes of the device since reset
  uint32_t drawerPulses;                    // changes of the drawer line from 1 to 0
  uint32_t drawerLowMs;                     // total time the line has been at 0 up to now
  uint32_t eepromPrograms;                  // cells programmed since reset
  uint32_t timingFaults;                    // EEPROM timing faults since reset or cleared counters
  sim::EepromTimingFault firstTimingFault;  // the first of them
  uint32_t programUs;                       // the EEPROM's programming time
  uint32_t busyStarts;  // start bits sent while it was programming, since reset or cleared counters
  uint8_t neverReady;   // the never-ready fault is on
  uint8_t eepromBusy;   // a programming cycle is under way
  uint8_t reserved3[2];
};

struct EepromWrite {
  uint32_t box;
  uint32_t offset;  // 0..127
  uint32_t length;  // offset + length <= 128
  uint8_t data[kEepromBytes];
};

// A request held pending, so that a check can stop a process at a chosen request whatever
// the machine's speed: the request-th request on box `box` of process `pid` (0: of the first
// process to make a request on the box once the hold is armed) is neither carried out nor
// answered until the hold is let go (kCtlLetGo) or the request is cancelled, as Wine cancels
// the requests of a process that is killed. Requests are counted from the arming, or with
// kHoldAfterPulse from that process's request that lowered the drawer line (request 1 is the
// first after it). One hold at a time; arming a new one lets a held request go as cancelled;
// request 0 disarms.
enum HoldCount : uint32_t { kHoldFromArming = 0, kHoldAfterPulse = 1 };

struct HoldRequest {
  uint32_t box;
  uint32_t pid;
  uint32_t request;
  uint32_t count;  // HoldCount
};

enum HoldPhase : uint32_t {
  kHoldOff,        // nothing armed
  kHoldArmed,      // waiting for the request
  kHoldHeld,       // the request is pending in the driver
  kHoldCancelled,  // it was cancelled (its process ended): not carried out
  kHoldCarriedOut  // it was let go: carried out and answered
};

struct HoldState {
  uint32_t phase;  // HoldPhase
  uint32_t box;
  uint32_t pid;      // the process whose requests count (latched when armed with 0)
  uint32_t request;  // the request held, or to be held
  uint32_t counted;  // that process's requests counted so far on the box
  uint32_t heldSeq;  // the kEventHold event that held it (phases held and after)
};

struct LetGo {
  uint32_t carryOut;  // 1: the held request is carried out and answered; 0: cancelled
};

enum EventKind : uint8_t {
  kEventRequest = 1,  // a request on a box device (code, command, ok, reply)
  kEventDrawer = 2,   // the drawer line changed (level; code = the request's code, 0 for config)
  kEventOpen = 3,     // a box device was opened
  kEventClose = 4,    // a box device handle was closed
  kEventConfig = 5,   // the control device changed a box (code = BoxConfig::fields)
  kEventLink = 6,     // the link appeared (level 1) or disappeared (level 0)
  kEventHold = 7,  // a request held (level 1; code, command) or its end (level 0; ok: carried out)
  // The pin write just logged broke the EEPROM's timing rule: code = the box's timing faults
  // so far, command = the request's, reply = the fault (TimingFaultOfEvent).
  kEventTimingFault = 8,
};

struct Event {
  uint32_t seq;
  uint8_t kind;  // EventKind
  uint8_t box;
  uint8_t ok;     // request: carried out
  uint8_t level;  // drawer line after the event; link: 1 present
  uint64_t timeUs;
  uint32_t code;
  uint8_t command[4];
  uint8_t reply[6];  // reply block as handed back (zero when no reply bytes)
  uint8_t status;    // status register after the event
  uint8_t replyBytes;
  uint32_t pid;  // the process that made the request, opened or closed the device (0: unknown)
  uint32_t reserved;
};

struct LogRequest {
  uint32_t fromSeq;    // first sequence number wanted
  uint32_t maxEvents;  // at most this many (also bounded by the output size)
};

struct LogReply {
  uint32_t eventCount;  // the next event's sequence number
  uint32_t oldestSeq;   // oldest event still held (events before it were overwritten or cleared)
  uint32_t returned;    // events that follow this header
  uint32_t reserved;
  // Event events[returned];
};

constexpr uint32_t kLogCapacity = 16384;

// A timing fault event's reply bytes: phase, instruction, address, bits, pins before, after.
inline sim::EepromTimingFault TimingFaultOfEvent(const Event& event) {
  sim::EepromTimingFault fault = {event.reply[0], event.reply[1], event.reply[2], event.reply[3],
                                  event.reply[4], event.reply[5], {0, 0}};
  return fault;
}

static_assert(sizeof(sim::EepromTimingFault) == 8, "EepromTimingFault layout");
static_assert(sizeof(SimInfo) == 48, "SimInfo layout");
static_assert(sizeof(BoxConfig) == 32, "BoxConfig layout");
static_assert(sizeof(BoxInfo) == 96, "BoxInfo layout");
static_assert(sizeof(Event) == 40, "Event layout");
static_assert(sizeof(HoldRequest) == 16, "HoldRequest layout");
static_assert(sizeof(HoldState) == 24, "HoldState layout");
static_assert(sizeof(LogReply) == 16, "LogReply layout");

}  // namespace drelvansim

#endif  // SIM_DRIVER_CONTROL_INTERFACE_H
