// The measured operations: every exported function on each kind of box, the pulse end, and
// the scan over a range of worlds, each with the requests the box protocol prescribes.
// Shared by the benchmarks, the callgrind runs and the request-count test.
#ifndef TESTS_PROTOCOL_CATALOGUE_H
#define TESTS_PROTOCOL_CATALOGUE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "loader.h"
#include "world.h"

enum class BoxKind { kNone, kBridge, kPort };

struct WorldSpec {
  bool d2xxFile;    // ftd2xx.dll stands in the system folder
  int bridgeBoxes;  // at D2XX device numbers 0 .. n-1
  int portBoxes;    // at driver indexes 0 .. n-1
};

// What one call makes the outside world do.
struct Figures {
  uint32_t transfers = 0;     // driver requests (DeviceIoControl)
  uint32_t deviceOpens = 0;   // CreateFileA, failed ones included
  uint32_t deviceCloses = 0;  // CloseHandle
  std::string ftCalls;        // D2XX calls in order, without "FT_": "Open Write Close"
  uint32_t virtualMs = 0;     // virtual time the call took (sleeps, read time-outs)
  uint32_t messageBoxes = 0;
  uint32_t environmentReads = 0;  // GetEnvironmentVariableA
  uint32_t fileTests = 0;         // FindFirstFileA
  int64_t result = -1;            // the export's result, where it is part of the figure; -1: not

  uint32_t FtCount() const;
  // Device requests: driver transfers plus D2XX calls.
  uint32_t Requests() const { return transfers + FtCount(); }
  bool operator==(const Figures& other) const;
  bool operator!=(const Figures& other) const { return !(*this == other); }
};

std::string Describe(const Figures& f);

struct Operation {
  std::string name;  // the export, with the case in parentheses where it has several
  BoxKind box;
  WorldSpec world;
  // Once after the load (opens the box where the call needs one).
  void (*prepare)(const TevroApi& api) = nullptr;
  // Before and after every call, not measured; null when the call can simply repeat.
  void (*before)(const TevroApi& api) = nullptr;
  void (*after)(const TevroApi& api) = nullptr;
  // The measured call; i counts the calls since the load (setters alternate their values).
  uint32_t (*call)(const TevroApi& api, uint32_t i) = nullptr;
  Figures protocol;  // what the box protocol needs for this call
  // Where the library knowingly makes other requests than the protocol needs: its
  // figures and the reason. The test holds the library to these, so any change shows.
  bool knownDifference = false;
  Figures library;
  std::string why;

  std::string Label() const;  // "KasseOpen [port]", "ScanForPos [D2XX, 5 bridge, 1 port]"
};

// Every exported function on a bridge box and on a driver-port box, plus the pulse end.
std::vector<Operation> FunctionOperations();
// ScanForPos with 0, 1, 5 and 10 boxes of each kind, with and without the D2XX file.
std::vector<Operation> ScanOperations();

// Sets up a fresh simulated world (trace on).
void BuildWorld(const WorldSpec& spec);

// One call observed with the trace on: its figures and every stand-in call it made.
struct Observation {
  Figures figures;
  uint32_t result = 0;
  std::vector<hostwin::TraceEntry> calls;
};

// Builds the world, loads the library afresh, prepares, and observes the first call.
// False (with *error) when the library does not load.
bool Observe(const Operation& op, Observation* out, std::string* error);

// The figures of an observed call; the result is filled in where 'protocol' has one.
Figures FiguresOf(const std::vector<hostwin::TraceEntry>& calls, uint32_t virtualMs,
                  uint32_t messageBoxes, uint32_t result, const Figures& protocol);

// Device requests (driver transfers and D2XX calls) counted by the stand-in so far.
uint64_t RequestCount();

// The serial-EEPROM instructions among the driver transfers of a call, in order.
struct EepromInstruction {
  std::string kind;  // "read", "write", "write enable", "write disable", "erase", ...
  uint32_t address;  // for read, write and erase
  uint32_t transfers;
};
std::vector<EepromInstruction> EepromInstructions(const std::vector<hostwin::TraceEntry>& calls);

// The steps of one driver-port session the request counts are held to as goals: each with
// the catalogue operation that measures it (empty for the whole session), the previous
// release's figure (fixed: that code is gone) and the most requests it may take now.
struct SessionStep {
  std::string name;
  std::string label;
  uint32_t previousRelease;
  uint32_t goal;
};
std::vector<SessionStep> SessionSteps();

// One whole session in one process, with the trace's counters: the load with one driver-port
// box (no D2XX library), OpenPosInterface, KasseOpen, the pulse's end by the library's timer,
// ClosePosInterface. Requests of each step.
struct SessionRequests {
  uint64_t load = 0, open = 0, kick = 0, release = 0, close = 0;
  // What the earlier figures count: the release, made by the timer, is not among them.
  uint64_t Session() const { return load + open + kick + close; }
};
bool ObserveSession(SessionRequests* out, std::string* error);

// A field write (SetSerialNumber) on a driver-port box whose EEPROM programs each byte for
// programUs, each request taking requestUs of the virtual clock: its requests and the time
// it took. False, with *error, when the library did not load or the write failed.
bool ObserveSlowPartWrite(uint32_t programUs, uint32_t requestUs, uint64_t* requests,
                          uint64_t* elapsedUs, std::string* error);

// Transfers per instruction as the protocol frames them.
constexpr uint32_t kByteTransfers = 56;         // read or write of one byte, no wait
constexpr uint32_t kWriteEnableTransfers = 33;  // with the extra deselect before it
constexpr uint32_t kWriteDisableTransfers = 32;
constexpr uint32_t kFieldReadTransfers = 4 * kByteTransfers;  // 224
constexpr uint32_t kFieldWriteTransfers =
    kWriteEnableTransfers + 4 * kByteTransfers + kWriteDisableTransfers;  // 289

// Transfers per instruction as the library frames them: two pin writes per bit out (the
// data with the clock going low, then the clock high), two pin writes and a sample per bit
// in, and one read instruction for consecutive bytes (the part's sequential read). Every
// operation's first instruction begins with a deselect; each byte written is followed by a
// wait for ready (a select and one look at a part ready at once), and the instruction after
// it begins without its select.
constexpr uint32_t kLibraryWordTransfers = 2 * 10;
constexpr uint32_t kLibraryReadyWaitTransfers = 2;
// An operation's first look at a part that may still be programming: the select and the look
// go before its first instruction, which then needs no select of its own.
constexpr uint32_t kLibraryFirstLook = kLibraryReadyWaitTransfers - 1;
constexpr uint32_t LibraryReadTransfers(uint32_t bytes) {
  return 1 + 1 + kLibraryWordTransfers + 24 * bytes + 1;  // deselect, select, word, bytes, deselect
}
constexpr uint32_t kLibraryByteWriteTransfers =
    1 + kLibraryWordTransfers + 2 * 8 + 1 + kLibraryReadyWaitTransfers;               // 40
constexpr uint32_t kLibraryWriteEnableTransfers = 1 + 1 + kLibraryWordTransfers + 1;  // 23
constexpr uint32_t kLibraryWriteDisableTransfers = 1 + kLibraryWordTransfers + 1;     // 22
constexpr uint32_t kLibraryFieldReadTransfers = LibraryReadTransfers(4);              // 119
constexpr uint32_t LibraryFieldWriteTransfers(uint32_t bytes) {
  // Each write after the first, and the write disable, save their select.
  return kLibraryWriteEnableTransfers + bytes * (kLibraryByteWriteTransfers - 1) +
         kLibraryWriteDisableTransfers;
}

#endif  // TESTS_PROTOCOL_CATALOGUE_H
