// Identity writes through tevro.exe: the tool reports old and new value, the box's memory
// holds the new value in the field's bytes and nothing else changed, and a second run of
// the tool (another process) reads the new value back.
#include <string.h>

#include "tool_checks.h"

using namespace drelvansim;

namespace toolcheck {
namespace {

struct Memories {
  uint8_t port[2][kEepromBytes];
  uint8_t bridge[kUserAreaBytes];
};

bool ReadMemories(SimWorld& world, Memories& m) {
  sim::BridgeBox copy;
  if (!ReadPortEeprom(world, 0, m.port[0]) || !ReadPortEeprom(world, 1, m.port[1]) ||
      !ReadBridge(world, 0, copy)) {
    return false;
  }
  memcpy(m.bridge, copy.userArea, sizeof m.bridge);
  return true;
}

// The bytes that differ between two memories, as "port1[4] 2a->31 ...".
std::string Differences(const Memories& a, const Memories& b) {
  std::string text;
  for (int box = 0; box < 2; ++box) {
    for (uint32_t i = 0; i < kEepromBytes; ++i) {
      if (a.port[box][i] != b.port[box][i]) {
        text += Format("port%d[%u] %02x->%02x ", box, i, a.port[box][i], b.port[box][i]);
      }
    }
  }
  for (uint32_t i = 0; i < kUserAreaBytes; ++i) {
    if (a.bridge[i] != b.bridge[i]) {
      text += Format("bridge[%u] %02x->%02x ", i, a.bridge[i], b.bridge[i]);
    }
  }
  return text;
}

std::string DecimalAndHex(uint32_t value) { return Format("%u (0x%08X)", value, value); }

struct FieldWrite {
  uint32_t device;
  const char* field;      // as the tool takes it
  const char* valueText;  // as typed
  uint32_t value;
  uint32_t before;
  const char* title;         // as the tool prints it
  const char* readBackLine;  // label of the field in 'tevro identity'
};

// Writes one field, then checks the memories against `expected` and reads it back.
void WriteAndReadBack(SimWorld& world, const FieldWrite& write, const Memories& expected) {
  const std::string name =
      Format("identity: write %u %s %s", write.device, write.field, write.valueText);
  const ToolRun run = Tevro({"write", std::to_string(write.device), write.field, write.valueText});
  const std::string report = Format("box %u %s: ", write.device, write.title) +
                             DecimalAndHex(write.before) + " -> " + DecimalAndHex(write.value);
  Check(run.ended && run.code == 0 && Contains(run.out, report),
        name + ": exit 0, reports '" + report + "'", Describe(run));

  Memories now;
  const bool read = ReadMemories(world, now);
  Check(read && memcmp(&now, &expected, sizeof now) == 0,
        name + ": the box holds the value in the field's bytes, no other byte changed",
        read ? Differences(expected, now) : "memories not readable");

  const ToolRun second = Tevro({"identity", std::to_string(write.device)});
  const std::string line = std::string(write.readBackLine) + DecimalAndHex(write.value);
  Check(second.ended && second.code == 0 && Contains(second.out, line),
        name + ": a second process reads '" + line + "'", Describe(second));
}

void PutLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

void IdentityChecks(SimWorld& world) {
  if (!SetUp(world, "identity")) return;
  Memories expected;
  if (!Check(ReadMemories(world, expected), "identity: the boxes' memories can be read")) return;

  const ToolRun first = Tevro({"identity", "0"});
  Check(first.ended && first.code == 0 &&
            Contains(first.out,
                     "serial number         " + DecimalAndHex(kBridgeRecord.serialNumber)) &&
            Contains(first.out, "manufacturing date    " + DecimalAndHex(kBridgeRecord.mfgDate)) &&
            Contains(first.out, "stored opening count  " + DecimalAndHex(kBridgeRecord.openCount)),
        "identity: 'tevro identity 0' shows the bridge box's record as set up", Describe(first));

  // Driver-port device 2 (port box 1): serial number at EEPROM addresses 4-7.
  PutLe32(expected.port[1] + 4, 0xD431);
  WriteAndReadBack(world,
                   {2, "serial", "0xD431", 0xD431, kPort1Record.serialNumber, "serial number",
                    "serial number         "},
                   expected);

  // Driver-port device 1 (port box 0): stored opening count at addresses 0-3.
  PutLe32(expected.port[0] + 0, 305419896);
  WriteAndReadBack(world,
                   {1, "count", "305419896", 305419896, kPort0Record.openCount,
                    "stored opening count", "stored opening count  "},
                   expected);

  // Bridge device 0: date bits 0-15 in bytes 8-9, bits 16-31 in the word at 12.
  const uint32_t date = 20251231;
  expected.bridge[8] = static_cast<uint8_t>(date);
  expected.bridge[9] = static_cast<uint8_t>(date >> 8);
  PutLe32(expected.bridge + 12, date >> 16);
  WriteAndReadBack(world,
                   {0, "date", "20251231", date, kBridgeRecord.mfgDate, "manufacturing date",
                    "manufacturing date    "},
                   expected);

  // The largest value, on the bridge box's serial number.
  PutLe32(expected.bridge + 4, 0xFFFFFFFFu);
  WriteAndReadBack(world,
                   {0, "serial", "0xFFFFFFFF", 0xFFFFFFFFu, kBridgeRecord.serialNumber,
                    "serial number", "serial number         "},
                   expected);

  Check(PortHandlesClosed(world, 0) && PortHandlesClosed(world, 1) && BridgeHandlesClosed(world, 0),
        "identity: every box device opened by the writes was closed again");
}

}  // namespace toolcheck
