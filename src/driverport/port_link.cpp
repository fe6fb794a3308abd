// Port transfers, device open and close, and the probe.
#include "driverport/port_link.h"

#include "front/session.h"

DriverPortLink gPortLink;

namespace {

const char kDeviceTemplate[] = "\\\\.\\Drelvan_0";

constexpr uint8_t kRequestRead = 0x14;
constexpr uint8_t kRequestPinWrite = 0x15;
constexpr uint8_t kRequestDrawerWrite = 0x17;
constexpr uint8_t kSelectStatus = 0x14;
constexpr uint8_t kSelectDrawer = 0x2F;
constexpr uint8_t kSelectPins = 0x00;

bool Request(DWORD code) {
  BOOL ok = DeviceIoControl(gPortLink.handle, code, gPortLink.command.bytes,
                            sizeof gPortLink.command.bytes, gPortLink.reply.bytes,
                            sizeof gPortLink.reply.bytes, &gPortLink.bytesReturned, nullptr);
  if (!ok) gPortLink.transferFailed = true;
  return ok != FALSE;
}

}  // namespace

bool IsValidStatus(uint8_t status) { return (status & 0x08) == 0 && (status & 0xF0) == 0xF0; }

HANDLE PortOpenDevice(uint8_t index) {
  if (index > kPortMaxIndex) return INVALID_HANDLE_VALUE;
  char path[64];
  DWORD length = 0;
  for (; kDeviceTemplate[length] != '\0'; ++length) path[length] = kDeviceTemplate[length];
  path[length - 1] = static_cast<char>('0' + index);
  path[length] = '\0';
  gPortLink.handle =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (gPortLink.handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  bool ok = PortReadStatus();
  // A failed read leaves the reply as the previous transfer left it: only a status that
  // is not valid there asks for recovery.
  if (!IsValidStatus(gPortLink.reply.bytes[1])) ok = Request(kPortRecoveryCode);
  if (ok && IsValidStatus(gPortLink.reply.bytes[1])) return gPortLink.handle;
  PortCloseDevice(index);
  return INVALID_HANDLE_VALUE;
}

void PortCloseDevice(uint8_t index) {
  if (index > kPortMaxIndex) return;
  CloseHandle(gPortLink.handle);
  gPortLink.handle = INVALID_HANDLE_VALUE;
}

bool PortTransfer() { return Request(kPortRequestCode); }

bool PortReadStatus() {
  gPortLink.command.bytes[0] = kRequestRead;
  gPortLink.command.bytes[1] = kSelectStatus;
  return PortTransfer();
}

bool PortWriteDrawer(uint8_t pattern) {
  gPortLink.command.bytes[0] = kRequestDrawerWrite;
  gPortLink.command.bytes[1] = kSelectDrawer;
  gPortLink.command.bytes[2] = pattern;
  return PortTransfer();
}

bool PortWritePins(uint8_t pattern) {
  gPortLink.command.bytes[0] = kRequestPinWrite;
  gPortLink.command.bytes[1] = kSelectPins;
  gPortLink.command.bytes[2] = pattern;
  return PortTransfer();
}

bool PortSamplePins() {
  gPortLink.command.bytes[0] = kRequestRead;
  return PortTransfer();
}

int32_t PortProbe(uint8_t index) {
  HANDLE handle = PortOpenDevice(index);
  bool ok = false;
  uint8_t status = 0;
  if (handle != INVALID_HANDLE_VALUE) {
    PortReadStatus();
    status = gPortLink.reply.bytes[1];
    ok = PortWriteDrawer(status | kStatusSwitch);
    PortCloseDevice(index);
  }
  gPortLink.deviceIndex = index;
  if (handle == INVALID_HANDLE_VALUE || !ok || !IsValidStatus(status)) return -1;
  return OpenResultFromHandle(handle);
}
