// What the backends' operations take and give: the same types for both, so that the front
// handles every box alike (front/backends.h).
#ifndef TEVRO_COMMON_CONTRACT_H
#define TEVRO_COMMON_CONTRACT_H

#include <stdint.h>

// The two kinds of box: the bridge box (D2XX) and the driver-port box.
enum class BoxKind : uint8_t { kBridge, kPort };

// A box's number on its backend: N of \\.\Drelvan_N, or the D2XX device number; 0 to
// kBoxes - 1 on either.
constexpr uint8_t kBoxes = 10;
// The box number that stands for none.
constexpr uint8_t kNoBox = 255;

// The three fields of a box's identity record.
enum class IdentityField : uint8_t { kLastOpenCnt, kSerialNumber, kMfgDate };

// The box's stored counter as an operation left it known: 'known' when the operation read
// the counter from the box or wrote it (a bridge box's record is read and written whole, so
// any of its fields does), 'value' what the box is taken to hold from then on. A driver-port
// box also tells how many writes of its counter any process had begun by then
// ('writesKnown', 'writes'): while that has not moved, 'value' is still the box's. It is
// told on a failed read as well, so that a stale copy is known for one.
struct CounterSeen {
  bool known;
  uint32_t value;
  bool writesKnown;
  uint32_t writes;
};

// Whether the scanned backend holds the open session. One that does not is left addressing
// the first box number its probes found empty, as the scan has always left it.
enum class ScanMode : uint8_t { kSessionOnThisBackend, kNoSessionOnThisBackend };

// How the library is being unloaded.
enum class UnloadKind : uint8_t {
  kLibrary,      // FreeLibrary: the process goes on; everything of the library is given back
  kProcessExit,  // the process ends: its other threads are gone, and the system frees the rest
};

#endif  // TEVRO_COMMON_CONTRACT_H
