/*
 * driver_entry.cpp - the stand-in port driver's entry: devices, links, open and close,
 * routing of device-control requests, the lock and the clock.
 *
 * Ten box devices exist from the start; a box is reachable only while its link exists,
 * because a refused create is not reliably reported back to CreateFileA by every host
 * (Wine hands the caller a handle regardless), whereas a missing link always fails it.
 */
#include "driver/driver_state.h"

namespace drelvansim {

DriverState g_driver;

namespace {

constexpr uint32_t kNameChars = 32;

// "\Device\DrelvanN" or "\DosDevices\Drelvan_N" for box N, or the control device's names.
void MakeName(WCHAR* buffer, const WCHAR* prefix, uint32_t box, UNICODE_STRING& name) {
  uint32_t n = 0;
  for (; prefix[n] != 0 && n + 2 < kNameChars; ++n) buffer[n] = prefix[n];
  if (box != kControlDevice) buffer[n++] = static_cast<WCHAR>(L'0' + box);
  buffer[n] = 0;
  name.Buffer = buffer;
  name.Length = static_cast<USHORT>(n * sizeof(WCHAR));
  name.MaximumLength = static_cast<USHORT>(kNameChars * sizeof(WCHAR));
}

void DeviceName(uint32_t box, WCHAR* buffer, UNICODE_STRING& name) {
  MakeName(buffer, box == kControlDevice ? L"\\Device\\DrelvanSim" : L"\\Device\\Drelvan", box,
           name);
}

void LinkName(uint32_t box, WCHAR* buffer, UNICODE_STRING& name) {
  MakeName(buffer, box == kControlDevice ? L"\\DosDevices\\DrelvanSim" : L"\\DosDevices\\Drelvan_",
           box, name);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

uint32_t TagOf(PDEVICE_OBJECT device) {
  return static_cast<DeviceTag*>(device->DeviceExtension)->box;
}

NTSTATUS CreateDevice(PDRIVER_OBJECT driver, uint32_t box, PDEVICE_OBJECT* device) {
  WCHAR buffer[kNameChars];
  UNICODE_STRING name;
  DeviceName(box, buffer, name);
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(DeviceTag), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<DeviceTag*>((*device)->DeviceExtension)->box = box;
  (*device)->Flags |= DO_BUFFERED_IO;
  (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

bool CreateLink(uint32_t box) {
  WCHAR linkBuffer[kNameChars];
  WCHAR deviceBuffer[kNameChars];
  UNICODE_STRING link;
  UNICODE_STRING device;
  LinkName(box, linkBuffer, link);
  DeviceName(box, deviceBuffer, device);
  return NT_SUCCESS(IoCreateSymbolicLink(&link, &device));
}

void DeleteLink(uint32_t box) {
  WCHAR buffer[kNameChars];
  UNICODE_STRING link;
  LinkName(box, buffer, link);
  IoDeleteSymbolicLink(&link);
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  const uint32_t box = TagOf(device);
  if (box == kControlDevice) return Complete(irp, STATUS_SUCCESS, 0);
  const uint64_t now = NowUs();
  DriverLock();
  const bool present = g_driver.boxes[box].present;
  if (present) ++g_driver.opens[box];
  Event& event = LogEvent(kEventOpen, box, now);
  event.ok = present ? 1 : 0;
  event.level = g_driver.boxes[box].drawerLine;
  event.status = g_driver.boxes[box].port;
  DriverUnlock();
  return Complete(irp, present ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  const uint32_t box = TagOf(device);
  if (box != kControlDevice) {
    const uint64_t now = NowUs();
    DriverLock();
    ++g_driver.closes[box];
    Event& event = LogEvent(kEventClose, box, now);
    event.ok = 1;
    event.level = g_driver.boxes[box].drawerLine;
    event.status = g_driver.boxes[box].port;
    DriverUnlock();
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const uint32_t box = TagOf(device);
  if (box != kControlDevice && HoldTakes(box, irp, stack)) return STATUS_PENDING;
  // Both routines fill irp->IoStatus; completion happens here.
  NTSTATUS status = box == kControlDevice ? ControlDeviceControl(irp, stack)
                                          : BoxDeviceControl(box, irp, stack, RequestorPid());
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void Unload(PDRIVER_OBJECT) {
  PIRP held = nullptr;
  bool carryOut = false;
  const HoldRequest off = {0, 0, 0, kHoldFromArming};
  DriverLock();
  HoldArm(off, NowUs(), &held, &carryOut);
  DriverUnlock();
  if (held != nullptr) HoldComplete(held, 0, 0, false);
  for (uint32_t box = 0; box < kBoxCount; ++box) {
    if (g_driver.linked[box]) DeleteLink(box);
    g_driver.linked[box] = false;
    if (g_driver.boxDevices[box] != nullptr) IoDeleteDevice(g_driver.boxDevices[box]);
    g_driver.boxDevices[box] = nullptr;
  }
  if (g_driver.controlLinked) DeleteLink(kControlDevice);
  g_driver.controlLinked = false;
  if (g_driver.controlDevice != nullptr) IoDeleteDevice(g_driver.controlDevice);
  g_driver.controlDevice = nullptr;
}

}  // namespace

void DriverLock() { KeWaitForSingleObject(&g_driver.lock, Executive, KernelMode, FALSE, nullptr); }

void DriverUnlock() { KeReleaseMutex(&g_driver.lock, FALSE); }

uint64_t NowUs() {
  const LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
  const uint64_t frequency = static_cast<uint64_t>(g_driver.counterFrequency.QuadPart);
  const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
  // Split so that the product cannot overflow however long the system has run.
  return ticks / frequency * 1000000u + ticks % frequency * 1000000u / frequency;
}

void SyncBoxLink(uint32_t box, uint64_t timeUs) {
  const bool want = g_driver.boxes[box].present;
  if (want == g_driver.linked[box]) return;
  if (want) {
    g_driver.linked[box] = CreateLink(box);
  } else {
    DeleteLink(box);
    g_driver.linked[box] = false;
  }
  Event& event = LogEvent(kEventLink, box, timeUs);
  event.ok = g_driver.linked[box] == want ? 1 : 0;
  event.level = g_driver.linked[box] ? 1 : 0;
  event.status = g_driver.boxes[box].port;
}

void ResetBox(uint32_t box) {
  sim::PortBoxInit(g_driver.boxes[box], 0xF3);
  g_driver.boxes[box].present = false;
  g_driver.boxes[box].eeprom.programUs = kDefaultProgramUs;
  g_driver.opens[box] = 0;
  g_driver.closes[box] = 0;
}

}  // namespace drelvansim

using namespace drelvansim;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  KeInitializeMutex(&g_driver.lock, 0);
  KeQueryPerformanceCounter(&g_driver.counterFrequency);
  if (g_driver.counterFrequency.QuadPart <= 0) return STATUS_UNSUCCESSFUL;

  for (uint32_t box = 0; box < kBoxCount; ++box) ResetBox(box);

  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;

  NTSTATUS status = CreateDevice(driver, kControlDevice, &g_driver.controlDevice);
  if (!NT_SUCCESS(status)) return status;
  g_driver.controlLinked = CreateLink(kControlDevice);
  if (!g_driver.controlLinked) {
    Unload(driver);
    return STATUS_UNSUCCESSFUL;
  }
  for (uint32_t box = 0; box < kBoxCount; ++box) {
    status = CreateDevice(driver, box, &g_driver.boxDevices[box]);
    if (!NT_SUCCESS(status)) {
      Unload(driver);
      return status;
    }
  }
  return STATUS_SUCCESS;
}
