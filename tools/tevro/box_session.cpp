#include "box_session.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace tevro_tool {

namespace {

// GetFirmWareVersion writes at most 10 bytes; the rest of the buffer stays zero.
constexpr size_t kFirmwareBufferSize = 32;

}  // namespace

const char* VariantName(Variant variant) {
  switch (variant) {
    case Variant::kBridge:
      return "bridge";
    case Variant::kDriverPort:
      return "driver-port";
    case Variant::kUnknown:
      break;
  }
  return "unknown";
}

Variant VariantByNumber(uint8_t n, uint32_t packedCounts) {
  uint32_t bridges = (packedCounts >> 8) & 0xFF;
  return n < bridges ? Variant::kBridge : Variant::kDriverPort;
}

Firmware ReadFirmware(const TevroApi& api) {
  char buffer[kFirmwareBufferSize];
  memset(buffer, 0, sizeof buffer);
  api.GetFirmWareVersion(buffer);
  buffer[kFirmwareBufferSize - 1] = '\0';
  Firmware firmware{buffer[0] != '\0', buffer, Variant::kUnknown};
  if (firmware.text.compare(0, 4, "FTDI") == 0) firmware.variant = Variant::kBridge;
  if (firmware.text.compare(0, 2, "Cy") == 0) firmware.variant = Variant::kDriverPort;
  return firmware;
}

SwitchReading ReadSwitch(const TevroApi& api) {
  char readFlag = 0;
  TEVRO_BOOL state = api.GetSwitch(&readFlag);
  return SwitchReading{readFlag != 0, static_cast<uint8_t>(state != 0 ? 1 : 0)};
}

std::string SwitchText(const SwitchReading& reading, uint8_t closedState) {
  if (!reading.read) return "no reading";
  return Format("%u (drawer %s)", reading.state, reading.state == closedState ? "closed" : "open");
}

IdentityRecord ReadIdentity(const TevroApi& api) {
  IdentityRecord record{};
  record.serialNumber = api.GetSerialNumber();
  record.mfgDate = api.GetMfgDate();
  record.openCount = api.GetLastOpenCnt();
  const bool allNonZero = record.serialNumber != 0 && record.mfgDate != 0 && record.openCount != 0;
  record.confirmed = allNonZero || ReadSwitch(api).read;
  return record;
}

uint32_t GetField(const TevroApi& api, Field field) {
  switch (field) {
    case Field::kSerialNumber:
      return api.GetSerialNumber();
    case Field::kMfgDate:
      return api.GetMfgDate();
    case Field::kOpenCount:
      return api.GetLastOpenCnt();
  }
  return 0;
}

bool SetField(const TevroApi& api, Field field, uint32_t value) {
  switch (field) {
    case Field::kSerialNumber:
      return api.SetSerialNumber(value) != 0;
    case Field::kMfgDate:
      return api.SetMfgDate(value) != 0;
    case Field::kOpenCount:
      return api.SetLastOpenCnt(value) != 0;
  }
  return false;
}

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string DecimalAndHex(uint32_t value) { return Format("%u (0x%08X)", value, value); }

std::string Seconds(uint64_t ms) {
  return std::to_string(ms / 1000) + Format(".%03u s", static_cast<unsigned>(ms % 1000));
}

}  // namespace tevro_tool
