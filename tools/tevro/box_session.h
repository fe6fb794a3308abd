// What the commands share: the host and the library for one run, the box held open for
// one command, and the readings taken from it.
#ifndef TOOLS_TEVRO_BOX_SESSION_H
#define TOOLS_TEVRO_BOX_SESSION_H

#include <stdint.h>

#include <string>

#include "command_line.h"
#include "tool.h"

namespace tevro_tool {

// Time to wait after a kick, dispatching messages as a program's thread would: the
// library's own timer ends a driver-port drawer pulse 60 ms after the kick.
constexpr uint32_t kPulseDispatchMs = 100;

// The host and the bound library, for the commands of one run.
class Context {
 public:
  Context(const ToolHost& host, const TevroApi& api) : host_(host), api_(api) {}

  const TevroApi& api() const { return api_; }
  const ToolHost& host() const { return host_; }
  void Out(const std::string& text) const { host_.out(text); }
  void Err(const std::string& text) const { host_.err(text); }
  uint64_t NowMs() const { return host_.nowMs(); }
  void Pump(uint32_t ms) const { host_.pumpMessages(ms); }
  bool Interrupted() const { return host_.interrupted != nullptr && host_.interrupted->load(); }

 private:
  const ToolHost& host_;
  const TevroApi& api_;
};

// Box n selected with OpenPosInterface for the lifetime of the object. ClosePosInterface
// runs at Close() or at the end of the scope, on every path, also after a failed open.
class OpenBox {
 public:
  OpenBox(const TevroApi& api, uint8_t n) : api_(api), result_(api.OpenPosInterface(n)) {}
  ~OpenBox() { Close(); }
  OpenBox(const OpenBox&) = delete;
  OpenBox& operator=(const OpenBox&) = delete;

  bool opened() const { return result_ != -1; }
  // ClosePosInterface's result; 1 when it already ran.
  bool Close() {
    if (closed_) return true;
    closed_ = true;
    return api_.ClosePosInterface() != 0;
  }

 private:
  const TevroApi& api_;
  int32_t result_;
  bool closed_ = false;
};

enum class Variant { kUnknown, kBridge, kDriverPort };

const char* VariantName(Variant variant);  // "bridge", "driver-port", "unknown"

// The variant the library routes device number n to, after the counts of its last scan.
Variant VariantByNumber(uint8_t n, uint32_t packedCounts);

struct Firmware {
  bool read;         // the library wrote a text
  std::string text;  // "" when not read
  Variant variant;   // by the text: "FTDI..." bridge, "Cy" driver port
};
Firmware ReadFirmware(const TevroApi& api);

struct SwitchReading {
  bool read;      // the state was read from the box in this call
  uint8_t state;  // 0 or 1; meaningful only when read
};
SwitchReading ReadSwitch(const TevroApi& api);
// "0 (drawer closed)", "1 (drawer open)" or "no reading".
std::string SwitchText(const SwitchReading& reading, uint8_t closedState);

struct IdentityRecord {
  uint32_t serialNumber;
  uint32_t mfgDate;
  uint32_t openCount;
  // The values are real readings: the library returns 0 for a field it cannot read, so
  // either every field is non-zero, or the box answered a switch read right after them.
  bool confirmed;
};
IdentityRecord ReadIdentity(const TevroApi& api);

uint32_t GetField(const TevroApi& api, Field field);
bool SetField(const TevroApi& api, Field field, uint32_t value);

// printf into a string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "12345 (0x00003039)".
std::string DecimalAndHex(uint32_t value);
// Milliseconds as seconds with three decimals: "1.520 s".
std::string Seconds(uint64_t ms);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_BOX_SESSION_H
