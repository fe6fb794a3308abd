/*
 * bridge_world.cpp - mapping, locking and setting up the shared bridge world.
 */
#include "ftd2xx/bridge_world.h"

#include <stdio.h>
#include <string.h>

#include "d2xx_functions.h"

namespace bridgesim {
namespace {

constexpr DWORD kWorldSize = sizeof(World);

// The mutex guards one state file: its name carries a hash of the file's full path, so
// worlds in different files do not hold each other up.
void MutexName(const char* path, char* name, size_t size) {
  uint32_t hash = 2166136261u;  // FNV-1a over the upper-cased path
  for (const char* p = path; *p != 0; ++p) {
    char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c == '/') c = '\\';
    hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  }
  snprintf(name, size, "TevroSimBridges-%08x", hash);
}

bool LayoutMatches(const World& world) {
  return world.magic == kWorldMagic && world.version == kWorldVersion && world.size == kWorldSize;
}

}  // namespace

const char* CallName(uint8_t kind) {
  // The D2XX call kinds follow the order of the list, from kCallOpen = 1 on.
  static_assert(kCallOpen == 1 && kCallConfig == kCallOpen + kD2xxFunctionCount,
                "a call kind per D2XX function");
  static const char* const kNames[] = {"?", D2XX_FUNCTIONS(D2XX_NAME_ENTRY) "config"};
  static_assert(sizeof kNames / sizeof kNames[0] == kCallKindEnd, "a name per call kind");
  return kind < kCallKindEnd ? kNames[kind] : "?";
}

bool WorldStatePath(char* path, DWORD size) {
  DWORD n = GetEnvironmentVariableA(kStateVariable, path, size);
  if (n > 0 && n < size) return true;
  if (n >= size) return false;
  n = GetTempPathA(size, path);
  if (n == 0 || n + sizeof kDefaultStateFile > size) return false;
  strcat(path, kDefaultStateFile);
  return true;
}

bool WorldOpen(WorldView& view, const char* path) {
  memset(&view, 0, sizeof view);
  char given[MAX_PATH];
  if (path == nullptr) {
    if (!WorldStatePath(given, sizeof given)) return false;
    path = given;
  }
  DWORD n = GetFullPathNameA(path, sizeof view.path, view.path, nullptr);
  if (n == 0 || n >= sizeof view.path) return false;

  char mutexName[64];
  MutexName(view.path, mutexName, sizeof mutexName);
  view.mutex = CreateMutexA(nullptr, FALSE, mutexName);
  if (view.mutex == nullptr) return false;
  if (!WorldLock(view)) {
    WorldClose(view);
    return false;
  }
  bool ok = false;
  view.file = CreateFileA(view.path, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (view.file != INVALID_HANDLE_VALUE) {
    // A new or short file grows to the world's size, zero-filled: its layout then does not
    // match and it is set up.
    view.mapping = CreateFileMappingA(view.file, nullptr, PAGE_READWRITE, 0, kWorldSize, nullptr);
    if (view.mapping != nullptr) {
      view.world = static_cast<World*>(
          MapViewOfFile(view.mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kWorldSize));
    }
    if (view.world != nullptr) {
      if (!LayoutMatches(*view.world)) WorldReset(*view.world);
      ok = true;
    }
  } else {
    view.file = nullptr;
  }
  WorldUnlock(view);
  if (!ok) WorldClose(view);
  return ok;
}

void WorldClose(WorldView& view) {
  if (view.world != nullptr) UnmapViewOfFile(view.world);
  if (view.mapping != nullptr) CloseHandle(view.mapping);
  if (view.file != nullptr) CloseHandle(view.file);
  if (view.mutex != nullptr) CloseHandle(view.mutex);
  view.world = nullptr;
  view.mapping = nullptr;
  view.file = nullptr;
  view.mutex = nullptr;
}

bool WorldLock(WorldView& view, DWORD timeoutMs) {
  if (view.mutex == nullptr) return false;
  DWORD r = WaitForSingleObject(view.mutex, timeoutMs);
  return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void WorldUnlock(WorldView& view) {
  if (view.mutex != nullptr) ReleaseMutex(view.mutex);
}

void WorldReset(World& world) {
  memset(&world, 0, sizeof world);
  world.magic = kWorldMagic;
  world.version = kWorldVersion;
  world.size = kWorldSize;
  for (uint32_t box = 0; box < kBoxCount; ++box) {
    sim::BridgeBoxInit(world.boxes[box], 0);
    world.boxes[box].present = false;
  }
}

void WorldMakeBox(World& world, uint32_t box, uint32_t userAreaSize) {
  sim::BridgeBoxInit(world.boxes[box], userAreaSize);
  world.known[box] = 1;
  for (HandleSlot& slot : world.handles) {
    if (slot.inUse && slot.box == box) slot.inUse = 0;
  }
}

Call& WorldLogCall(World& world, CallKind kind, int box) {
  Call& call = world.calls[world.callCount % kLogCapacity];
  memset(&call, 0, sizeof call);
  call.seq = world.callCount++;
  call.pid = GetCurrentProcessId();
  call.timeUs = WorldNowUs();
  call.kind = kind;
  call.box = static_cast<int8_t>(box);
  return call;
}

uint32_t WorldOldestCall(const World& world) {
  const uint32_t held = world.callCount - world.logBase;
  if (held <= kLogCapacity) return world.logBase;
  return world.callCount - kLogCapacity;
}

void WorldClearLog(World& world) { world.logBase = world.callCount; }

uint64_t WorldNowUs() {
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
  const uint64_t hz = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / hz * 1000000u + ticks % hz * 1000000u / hz;
}

}  // namespace bridgesim
