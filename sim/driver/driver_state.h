/*
 * driver_state.h - the stand-in port driver's one instance of state, shared by all client
 * processes, and the helpers its dispatch routines are built from.
 *
 * Every routine here that touches DriverState expects the caller to hold DriverState::lock
 * (DriverLock / DriverUnlock), except where it says otherwise.
 */
#ifndef SIM_DRIVER_DRIVER_STATE_H
#define SIM_DRIVER_DRIVER_STATE_H

#include "driver/kernel_headers.h"

#include "driver/control_interface.h"
#include "models/port_box.h"

namespace drelvansim {

// What a device object stands for: a box (0..9) or the control device.
constexpr uint32_t kControlDevice = 0xFF;

struct DeviceTag {
  uint32_t box;  // 0..9, or kControlDevice
};

// The hold (control_interface.h): what is armed, and the request held pending.
struct Hold {
  HoldState state;
  uint32_t count;  // HoldCount
  bool counting;   // kHoldAfterPulse: the process's pulse has been seen
  PIRP irp;        // the held request while the phase is kHoldHeld
};

struct DriverState {
  KMUTEX lock;
  PDEVICE_OBJECT boxDevices[kBoxCount];
  PDEVICE_OBJECT controlDevice;
  bool controlLinked;
  bool linked[kBoxCount];  // \DosDevices\Drelvan_N exists
  uint32_t opens[kBoxCount];
  uint32_t closes[kBoxCount];
  sim::PortBox boxes[kBoxCount];

  Event log[kLogCapacity];  // ring: event n is at n % kLogCapacity
  uint32_t eventCount;      // events since the driver started: the next sequence number
  uint32_t logBase;         // sequence number of the first event after the last clear

  Hold hold;

  // EEPROM timing faults on every box since the driver started (SimInfo).
  uint32_t timingFaults;
  uint32_t firstFaultBox;
  sim::EepromTimingFault firstTimingFault;
  // Start bits sent into an EEPROM still programming, on every box (SimInfo).
  uint32_t busyStarts;
  uint32_t firstBusyStartBox;

  LARGE_INTEGER counterFrequency;
};

extern DriverState g_driver;

void DriverLock();
void DriverUnlock();

// The driver's clock: the performance counter in microseconds (callable without the lock).
uint64_t NowUs();

// The process a request comes from: under Wine the client's, as the dispatch sees it.
uint32_t RequestorPid();

// Appends one event (seq, timeUs and the requestor's pid filled in here) and returns it for
// the caller to fill.
Event& LogEvent(EventKind kind, uint32_t box, uint64_t timeUs);

// Oldest sequence number still held in the log.
uint32_t LogOldestSeq();

// Empties the log; sequence numbers go on from where they were.
void LogClear();

// Makes the link of box N match its presence: creates \DosDevices\Drelvan_N for a present
// box, removes it for an absent one; logs a kEventLink when it changes.
void SyncBoxLink(uint32_t box, uint64_t timeUs);

// A factory-fresh box: absent, status 0xF3, EEPROM all 0xFF and programming in
// kDefaultProgramUs, counters cleared.
void ResetBox(uint32_t box);

// IRP_MJ_DEVICE_CONTROL on box device `box` from process `pid`: the driver-port contract.
NTSTATUS BoxDeviceControl(uint32_t box, PIRP irp, PIO_STACK_LOCATION stack, uint32_t pid);

// A request on box `box` about to be carried out: true when the hold takes it, in which case
// it has been marked pending and must not be touched. Takes the lock itself.
bool HoldTakes(uint32_t box, PIRP irp, PIO_STACK_LOCATION stack);

// After a request on box `box` was carried out, with the drawer line before and after it:
// counts it for a hold that waits for the process's pulse. Expects the lock.
void HoldSawRequest(uint32_t box, uint32_t pid, uint8_t lineBefore, uint8_t lineAfter);

// The control requests of the hold: arm (or disarm), let go, state. Expect the lock; a
// request to complete outside it comes back in *complete (null when none), its outcome in
// *carryOut.
void HoldArm(const HoldRequest& request, uint64_t timeUs, PIRP* complete, bool* carryOut);
void HoldLetGo(bool carryOut, uint64_t timeUs, PIRP* complete);

// Completes a request the hold let go: carried out on box `box` as a request of process `pid`
// (the one that made it) and answered, or cancelled. Without the lock.
void HoldComplete(PIRP irp, uint32_t box, uint32_t pid, bool carryOut);

// IRP_MJ_DEVICE_CONTROL on the control device.
NTSTATUS ControlDeviceControl(PIRP irp, PIO_STACK_LOCATION stack);

// Fills `info` with the state of box N at timeUs.
void DescribeBox(uint32_t box, uint64_t timeUs, BoxInfo& info);

}  // namespace drelvansim

#endif  // SIM_DRIVER_DRIVER_STATE_H
