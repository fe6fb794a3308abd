// One driver-port box, many callers, under Wine: the parts sharing_check plays in other
// processes, and what those processes and the check agree on.
#ifndef TESTS_E2E_SHARING_H
#define TESTS_E2E_SHARING_H

#include <windows.h>

#include <stdint.h>

#include <string>

namespace e2e {

// The identity fields two processes write at once, and the values they write: writer w's
// k-th value of a field carries k in its low half and k XOR a mask of its own in its high
// half, so a value that mixes the bytes of two writes, or of two writers, decodes as nobody's.
enum SharedField : uint32_t { kSerialField, kDateField, kSharedFields };
constexpr uint32_t kSharedWriters = 2;  // writers 1 and 2

uint32_t SharedValue(uint32_t writer, uint32_t field, uint32_t k);
// The writer (1 or 2) and k of a value, or false when no writer wrote it.
bool DecodeShared(uint32_t field, uint32_t value, uint32_t* writer, uint32_t* k);

// The record the runs start from; addresses 12-127 hold PaddingByte(address).
constexpr uint32_t kStartCount = 4000;
constexpr uint32_t kStartSerial = 0x5E000001;
constexpr uint32_t kStartDate = 0x20261208;
constexpr uint32_t kPaddingFrom = 12;
uint8_t PaddingByte(uint32_t address);

// The roles: sharing_check --role NAME ARGS... Each prints KEY=VALUE lines for the check to
// read and ends with "done"; the exit status is 0 when it ran as planned.
//   record ID DLL SECONDS PREFIX   reads and writes the record, kicks now and then
//   kicker ID DLL SECONDS PREFIX   kicks the drawer as often as it may
//   victim DLL VALUE PREFIX        opens the box; at PREFIX-go writes the serial number
//   kick-and-hang DLL PREFIX       kicks, sets PREFIX-kicked, and waits to be killed
//   next DLL VALUE                 reads the record, writes the serial number, reads it back
// A role with an ID waits after loading the library until the check sets PREFIX-go, so that
// the processes start their loops together (PREFIX-ready-ID says it is loaded).
int SharingRoleMain(int argc, char** argv);

}  // namespace e2e

#endif  // TESTS_E2E_SHARING_H
