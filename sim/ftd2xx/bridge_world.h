/*
 * bridge_world.h - the simulated bridge boxes as every process on the machine sees them:
 * one record in a file mapped into each process that uses it (the stand-in ftd2xx.dll, the
 * control tool, tests), guarded by a named mutex, so several processes and successive runs
 * see the same boxes, user areas, replies and faults.
 *
 * The file is the one named by the environment variable TEVRO_SIM_BRIDGES, or
 * "tevro-sim-bridges.dat" in the temporary folder. A file that is new, too short or of
 * another layout is set up afresh: no box plugged in, empty call log.
 *
 * The record is plain data of fixed-width types with the same layout on x86 and x64, so a
 * 32-bit and a 64-bit process can share it.
 */
#ifndef SIM_FTD2XX_BRIDGE_WORLD_H
#define SIM_FTD2XX_BRIDGE_WORLD_H

#include <windows.h>

#include <stdint.h>

#include "models/bridge_box.h"

namespace bridgesim {

constexpr uint32_t kBoxCount = 10;  // D2XX device numbers 0..9
constexpr uint32_t kHandleSlots = 64;
constexpr uint32_t kLogCapacity = 4096;
constexpr uint32_t kWorldMagic = 0x4D495342;  // "BSIM"
constexpr uint32_t kWorldVersion = 2;
constexpr uint32_t kCallDataBytes = 16;
constexpr const char kStateVariable[] = "TEVRO_SIM_BRIDGES";
constexpr const char kDefaultStateFile[] = "tevro-sim-bridges.dat";

// D2XX status values the stand-in returns.
constexpr uint32_t kFtOk = 0;
constexpr uint32_t kFtInvalidHandle = 1;
constexpr uint32_t kFtDeviceNotFound = 2;
constexpr uint32_t kFtDeviceNotOpened = 3;
constexpr uint32_t kFtIoError = 4;
constexpr uint32_t kFtInsufficientResources = 5;
constexpr uint32_t kFtInvalidParameter = 6;
constexpr uint32_t kFtEepromReadFailed = 11;
constexpr uint32_t kFtEepromWriteFailed = 12;

// What a log entry records: one D2XX call, or a change made by the control tool.
enum CallKind : uint8_t {
  kCallOpen = 1,
  kCallClose,
  kCallSetBaudRate,
  kCallSetTimeouts,
  kCallSetDataCharacteristics,
  kCallSetFlowControl,
  kCallUaSize,
  kCallUaRead,
  kCallUaWrite,
  kCallWrite,
  kCallRead,
  kCallPurge,
  kCallGetStatus,
  kCallConfig,  // the control tool changed box `box` (args[0]: what, see the tool)
  kCallKindEnd
};

// Short name of a call kind ("FT_Open", ... "config").
const char* CallName(uint8_t kind);

struct HandleSlot {
  uint32_t inUse;
  uint32_t box;
  uint32_t pid;     // the process that opened it; a handle is valid only there
  uint32_t serial;  // distinguishes successive uses of the slot
};

struct Call {
  uint32_t seq;
  uint32_t pid;
  uint64_t timeUs;  // the performance counter in microseconds
  uint8_t kind;     // CallKind
  int8_t box;       // the box the call reached, -1 for none (bad handle or device number)
  uint8_t dataLength;
  uint8_t reserved;
  uint32_t status;   // D2XX status returned
  uint32_t args[3];  // numeric arguments and results, by kind (see CallArgs in the tool)
  uint8_t data[kCallDataBytes];  // the first bytes written or read
  uint32_t reserved2;
};

struct World {
  uint32_t magic;
  uint32_t version;
  uint32_t size;
  uint32_t handleSerial;
  uint32_t known[kBoxCount];  // 1: the box has been set up since the world was
  sim::BridgeBox boxes[kBoxCount];
  HandleSlot handles[kHandleSlots];
  uint32_t callsArrived;  // D2XX calls made, by every process, since the world was set up
  uint32_t faultAt;       // callsArrived value of the call that meets faultKind; 0 none
  uint32_t faultKind;     // CallFault
  uint32_t reserved;
  uint32_t callCount;  // the next call's sequence number
  uint32_t logBase;    // sequence number of the first call after the last clear
  Call calls[kLogCapacity];
};

// 32-bit and 64-bit processes map the same file: the layout must not depend on the target.
// When the box model's layout changes, update the sizes here and raise kWorldVersion, so
// that files of the old layout are set up afresh.
static_assert(sizeof(Call) == 56, "Call layout");
static_assert(sizeof(sim::BridgeBox) == 192, "BridgeBox layout");
static_assert(sizeof(World) == 3024 + kLogCapacity * sizeof(Call), "World layout");

// A fault armed for one D2XX call (World::faultAt), as the control tool sets it.
enum CallFault : uint32_t {
  kFaultError = 1,   // the call fails with an I/O error and does nothing
  kFaultShort = 2,   // a write takes one byte less; a read or user-area read delivers less
  kFaultUnplug = 3,  // every box is pulled out just before the call
};

// A process's view of the world.
struct WorldView {
  World* world;
  HANDLE file;
  HANDLE mapping;
  HANDLE mutex;
  char path[MAX_PATH];
};

// The state file's path (environment variable or default) into path; false when it does
// not fit.
bool WorldStatePath(char* path, DWORD size);

// Maps the world of `path` (null: WorldStatePath), setting it up when the file is new or
// of another layout. False, with the view empty, when the file or mutex cannot be had.
bool WorldOpen(WorldView& view, const char* path = nullptr);

// Unmaps the world; the file keeps its contents.
void WorldClose(WorldView& view);

// Takes the world's mutex (waiting at most timeoutMs); false on time-out or error. A
// mutex left by a process that died counts as taken.
bool WorldLock(WorldView& view, DWORD timeoutMs = 10000);
void WorldUnlock(WorldView& view);

// Sets the world up afresh: no box known or present, no handle, empty log.
void WorldReset(World& world);

// Box `box` as a freshly made box of user-area size `userAreaSize`: plugged in, closed,
// user area zero, switch closed, newer firmware, no faults.
void WorldMakeBox(World& world, uint32_t box, uint32_t userAreaSize);

// Appends a log entry (seq, pid, time filled in) and returns it for the caller to fill.
Call& WorldLogCall(World& world, CallKind kind, int box);

// Oldest sequence number still held; empties the log.
uint32_t WorldOldestCall(const World& world);
void WorldClearLog(World& world);

// Microseconds on the performance counter (the clock the port driver logs with too).
uint64_t WorldNowUs();

}  // namespace bridgesim

#endif  // SIM_FTD2XX_BRIDGE_WORLD_H
