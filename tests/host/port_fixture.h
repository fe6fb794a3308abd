// Helpers for tests against simulated driver-port boxes.
#ifndef TESTS_HOST_PORT_FIXTURE_H
#define TESTS_HOST_PORT_FIXTURE_H

#include <string>
#include <vector>

#include "library.h"

// The machine's record of driver-port box n, as every process maps it: past the file's
// 8-byte header (its kind and layout). Null while no process has made it.
inline std::string RecordFile(int n) {
  return "C:\\ProgramData\\TEVRO\\port." + std::to_string(n) + ".record";
}
inline uint8_t* MachineRecord(int n) {
  uint8_t* file = hostwin::MappedFile(RecordFile(n));
  return file != nullptr ? file + 8 : nullptr;
}
// The count of counter writes begun on driver-port box n, as every process's library reads
// it from the box's record: bits 8-31 of the record's second word.
inline uint32_t CounterWrites(int n) {
  const uint8_t* record = MachineRecord(n);
  if (record == nullptr) {
    ADD_FAILURE() << "no record of port box " << n;
    return 0;
  }
  return reinterpret_cast<const uint32_t*>(record)[1] >> 8;
}

class PortTest : public WorldTest {
 protected:
  sim::PortBox& Box(int index) { return hostwin::PortBoxAt(index); }

  // The command blocks of the driver requests with this control code, as "14 14 00 00".
  static std::vector<std::string> Commands(const std::string& code = "0x4") {
    std::vector<std::string> out;
    for (const hostwin::TraceEntry& e : hostwin::Trace()) {
      if (e.call != "DeviceIoControl") continue;
      size_t first = e.args.find(',');
      size_t second = e.args.find(',', first + 1);
      if (e.args.substr(first + 1, second - first - 1) == code) {
        out.push_back(e.args.substr(second + 1));
      }
    }
    return out;
  }

  // Drawer-port writes only ("17 2f pp 00").
  static std::vector<std::string> DrawerWrites() {
    std::vector<std::string> out;
    for (const std::string& c : Commands()) {
      if (c.compare(0, 5, "17 2f") == 0) out.push_back(c);
    }
    return out;
  }

  static size_t Requests() { return hostwin::CountCalls("DeviceIoControl"); }

  void PutEeprom(int index, uint8_t address, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) Box(index).eeprom.memory[address++] = b;
  }
  uint32_t EepromField(int index, uint8_t address) {
    const uint8_t* m = Box(index).eeprom.memory + address;
    return m[0] | m[1] << 8 | m[2] << 16 | static_cast<uint32_t>(m[3]) << 24;
  }
};

#endif  // TESTS_HOST_PORT_FIXTURE_H
