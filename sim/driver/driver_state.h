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

  LARGE_INTEGER counterFrequency;
};

extern DriverState g_driver;

void DriverLock();
void DriverUnlock();

// The driver's clock: the performance counter in microseconds (callable without the lock).
uint64_t NowUs();

// Appends one event (seq and timeUs filled in here) and returns it for the caller to fill.
Event& LogEvent(EventKind kind, uint32_t box, uint64_t timeUs);

// Oldest sequence number still held in the log.
uint32_t LogOldestSeq();

// Empties the log; sequence numbers go on from where they were.
void LogClear();

// Makes the link of box N match its presence: creates \DosDevices\Drelvan_N for a present
// box, removes it for an absent one; logs a kEventLink when it changes.
void SyncBoxLink(uint32_t box, uint64_t timeUs);

// A factory-fresh box: absent, status 0xF3, EEPROM all 0xFF, counters cleared.
void ResetBox(uint32_t box);

// IRP_MJ_DEVICE_CONTROL on box device `box`: the driver-port contract.
NTSTATUS BoxDeviceControl(uint32_t box, PIRP irp, PIO_STACK_LOCATION stack);

// IRP_MJ_DEVICE_CONTROL on the control device.
NTSTATUS ControlDeviceControl(PIRP irp, PIO_STACK_LOCATION stack);

// Fills `info` with the state of box N at timeUs.
void DescribeBox(uint32_t box, uint64_t timeUs, BoxInfo& info);

}  // namespace drelvansim

#endif  // SIM_DRIVER_DRIVER_STATE_H
