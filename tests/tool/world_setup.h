// Simulated worlds for the tool's tests: boxes with identity records, and what the boxes
// hold afterwards.
#ifndef TESTS_TOOL_WORLD_SETUP_H
#define TESTS_TOOL_WORLD_SETUP_H

#include <stdint.h>

#include <gtest/gtest.h>

#include "world.h"

struct IdentityValues {
  uint32_t openCount;
  uint32_t serialNumber;
  uint32_t mfgDate;
};

// A bridge box at D2XX device 'n' holding 'record' in its user area (count at 0, serial
// at 4, date bits 0-15 at 8, bits 16-31 at 12; little-endian). Installs the D2XX library.
sim::BridgeBox& AddBridgeWithRecord(int n, const IdentityValues& record);
IdentityValues BridgeRecord(int n);

// A driver-port box at index 'index' holding 'record' in EEPROM bytes 0-11 (count,
// serial, date; little-endian).
sim::PortBox& AddPortWithRecord(int index, const IdentityValues& record);
IdentityValues PortRecord(int index);

// The drawer as the tool reads it with the default --closed-state 0: open = switch state 1.
void SetBridgeDrawerOpen(int n, bool open);
void SetPortDrawerOpen(int index, bool open);

// Device calls of any kind the library made (driver requests, opens, D2XX calls).
size_t DeviceCalls();

// Base fixture: a fresh world per test.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { hostwin::Reset(); }
};

// The world most tests use: device 0 is a bridge box, 1 and 2 are driver-port boxes 0, 1.
constexpr IdentityValues kBridgeRecord = {41, 12345, 20240115};
constexpr IdentityValues kPort0Record = {7, 777001, 20230301};
constexpr IdentityValues kPort1Record = {0, 777002, 0x01020304};
void AddStandardBoxes();

#endif  // TESTS_TOOL_WORLD_SETUP_H
