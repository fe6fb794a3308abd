// simctl bridge ...: the bridge boxes of the stand-in ftd2xx.dll, in their shared state file.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "ftd2xx/bridge_world.h"
#include "simctl.h"

using namespace bridgesim;

namespace simctl {
namespace {

constexpr uint32_t kDefaultUserAreaSize = 16;
// The firmware's answers to the switch query: '}' for switch state 0, any other byte for 1.
constexpr uint8_t kReplyForSwitchState0 = sim::kBridgeSwitchState0Reply;
constexpr uint8_t kReplyForSwitchState1 = sim::kBridgeSwitchState1Reply;

// What a config log entry's args[0] says was changed.
enum ConfigChange : uint32_t {
  kChangeAdd = 1,
  kChangeRemove,
  kChangeReset,
  kChangeSet,
  kChangeUserArea,
  kChangeResetAll,
  kChangeFaultAt,
};

bool ParseBox(const char* text, uint32_t* box) { return ParseNumber(text, kBoxCount - 1, box); }

bool ParseFlag(const char* text, bool* flag) {
  uint32_t n = 0;
  if (!ParseNumber(text, 1, &n)) return false;
  *flag = n != 0;
  return true;
}

// "off" or a count, as the model's limits take them (-1 = off).
bool ParseLimit(const char* text, int32_t* limit) {
  uint32_t n = 0;
  if (strcmp(text, "off") == 0) {
    *limit = -1;
    return true;
  }
  if (!ParseNumber(text, 0x7FFFFFFF, &n)) return false;
  *limit = static_cast<int32_t>(n);
  return true;
}

void LogConfig(World& world, uint32_t box, ConfigChange change) {
  Call& call = WorldLogCall(world, kCallConfig, static_cast<int>(box));
  call.args[0] = change;
}

void PrintBox(const World& world, uint32_t box) {
  const sim::BridgeBox& b = world.boxes[box];
  const sim::BridgeBoxFaults& f = b.faults;
  printf("bridge %u known=%u present=%u open=%u opens=%u closes=%u baud=%u timeouts=%u,%u", box,
         world.known[box], b.present ? 1 : 0, b.open ? 1 : 0, b.opens, b.closes, b.baud,
         b.readTimeoutMs, b.writeTimeoutMs);
  printf(" data=%u,%u,%u flow=%u,%u,%u ua-size=%u ua-writes=%u", b.wordLength, b.stopBits, b.parity,
         b.flowControl, b.xon, b.xoff, b.userAreaSize, b.userAreaWrites);
  printf(" switch-reply=0x%02x version-reply=0x%02x kicks=%u queries=%u unknown-bytes=%u rx=%u",
         b.switchReply, b.versionReply, b.kicks, b.queries, b.unknownBytes, b.rxCount);
  printf(" open-failures=%u write-limit=%d write-fails=%u ua-size-fails=%u ua-read-fails=%u",
         f.openFailures, f.writeLimit, f.writeFails ? 1 : 0, f.uaSizeFails ? 1 : 0,
         f.uaReadFails ? 1 : 0);
  printf(" ua-read-limit=%d ua-write-fails=%u no-reply=%u get-status-fails=%u tx-queue=%u\n",
         f.uaReadLimit, f.uaWriteFails ? 1 : 0, f.noReply ? 1 : 0, f.getStatusFails ? 1 : 0,
         f.txQueueStuck);
}

void PrintCall(const Call& c) {
  printf("#%u t=", c.seq);
  PrintMs(c.timeUs);
  printf(" pid=%u box=%d %s status=%u args=%u,%u,%u", c.pid, c.box, CallName(c.kind), c.status,
         c.args[0], c.args[1], c.args[2]);
  if (c.dataLength > 0) {
    printf(" data=");
    PrintHex(c.data, c.dataLength);
  }
  printf("\n");
}

bool ApplySetting(sim::BridgeBox& b, const char* key, const char* value) {
  sim::BridgeBoxFaults& f = b.faults;
  uint32_t n = 0;
  if (strcmp(key, "switch") == 0) {
    // The words name the switch contact, as on a port box and as GetSwitch reports it:
    // closed is switch state 1 (with the usual wiring, the drawer open), open is state 0.
    if (strcmp(value, "closed") == 0) {
      b.switchReply = kReplyForSwitchState1;
    } else if (strcmp(value, "open") == 0) {
      b.switchReply = kReplyForSwitchState0;
    } else if (ParseNumber(value, 0xFF, &n)) {
      b.switchReply = static_cast<uint8_t>(n);
    } else {
      return false;
    }
    return true;
  }
  if (strcmp(key, "version") == 0 && ParseNumber(value, 0xFF, &n)) {
    b.versionReply = static_cast<uint8_t>(n);
    return true;
  }
  if (strcmp(key, "open-failures") == 0) return ParseNumber(value, 0xFFFFFFFFu, &f.openFailures);
  if (strcmp(key, "write-limit") == 0) return ParseLimit(value, &f.writeLimit);
  if (strcmp(key, "write-fails") == 0) return ParseFlag(value, &f.writeFails);
  if (strcmp(key, "ua-size-fails") == 0) return ParseFlag(value, &f.uaSizeFails);
  if (strcmp(key, "ua-read-fails") == 0) return ParseFlag(value, &f.uaReadFails);
  if (strcmp(key, "ua-read-limit") == 0) return ParseLimit(value, &f.uaReadLimit);
  if (strcmp(key, "ua-write-fails") == 0) return ParseFlag(value, &f.uaWriteFails);
  if (strcmp(key, "no-reply") == 0) return ParseFlag(value, &f.noReply);
  if (strcmp(key, "get-status-fails") == 0) return ParseFlag(value, &f.getStatusFails);
  if (strcmp(key, "tx-queue") == 0) return ParseNumber(value, 0xFFFFFFFFu, &f.txQueueStuck);
  if (strcmp(key, "faults") == 0 && strcmp(value, "clear") == 0) {
    f.openFailures = 0;
    f.writeLimit = -1;
    f.writeFails = false;
    f.uaSizeFails = false;
    f.uaReadFails = false;
    f.uaReadLimit = -1;
    f.uaWriteFails = false;
    f.noReply = false;
    f.getStatusFails = false;
    f.txQueueStuck = 0;
    return true;
  }
  return false;
}

// Closes box `box` and makes every handle of it invalid (a box pulled out or forgotten).
void DropHandles(World& world, uint32_t box) {
  for (HandleSlot& slot : world.handles) {
    if (slot.inUse && slot.box == box) slot.inUse = 0;
  }
  sim::BridgeBoxClose(world.boxes[box]);
}

int Add(World& world, uint32_t box, int argc, char** argv) {
  uint32_t size = kDefaultUserAreaSize;
  bool sizeGiven = false;
  for (int i = 0; i < argc; ++i) {
    char key[16];
    const char* value = nullptr;
    if (!SplitSetting(argv[i], key, sizeof key, &value) || strcmp(key, "ua-size") != 0 ||
        !ParseNumber(value, sim::kBridgeUserAreaMax, &size)) {
      return Usage("bridge add N [ua-size=S]");
    }
    sizeGiven = true;
  }
  if (!world.known[box] || (sizeGiven && world.boxes[box].userAreaSize != size)) {
    WorldMakeBox(world, box, size);
  } else if (!world.boxes[box].present) {
    DropHandles(world, box);  // handles from before it was pulled out are gone
  }
  world.boxes[box].present = true;
  LogConfig(world, box, kChangeAdd);
  PrintBox(world, box);
  return kExitOk;
}

const char* FaultName(uint32_t kind) {
  switch (kind) {
    case kFaultError:
      return "error";
    case kFaultShort:
      return "short";
    case kFaultUnplug:
      return "unplug";
    default:
      return "?";
  }
}

void PrintWorld(const World& world) {
  printf("bridge world calls=%u", world.callsArrived);
  if (world.faultAt != 0) {
    printf(" fault=%s in=%u", FaultName(world.faultKind), world.faultAt - world.callsArrived);
  } else {
    printf(" fault=none");
  }
  printf("\n");
}

// fault-at K error|short|unplug: the K-th D2XX call from now on (1 = the next) meets it.
int ArmFault(World& world, int argc, char** argv) {
  uint32_t k = 0;
  if (argc < 2 || !ParseNumber(argv[1], 0xFFFF, &k)) return Usage("bridge fault-at K KIND");
  uint32_t kind = 0;
  if (k != 0) {
    if (argc != 3) return Usage("bridge fault-at K error|short|unplug");
    if (strcmp(argv[2], "error") == 0) kind = kFaultError;
    if (strcmp(argv[2], "short") == 0) kind = kFaultShort;
    if (strcmp(argv[2], "unplug") == 0) kind = kFaultUnplug;
    if (kind == 0) return Usage("bridge fault-at: KIND is error, short or unplug");
  }
  world.faultAt = k == 0 ? 0 : world.callsArrived + k;
  world.faultKind = kind;
  LogConfig(world, 0, kChangeFaultAt);
  PrintWorld(world);
  return kExitOk;
}

int Run(WorldView& view, int argc, char** argv) {
  World& world = *view.world;
  const char* command = argv[0];
  uint32_t box = 0;
  const bool hasBox = argc > 1 && ParseBox(argv[1], &box);
  if (strcmp(command, "path") == 0) {
    printf("%s\n", view.path);
    return kExitOk;
  }
  if (strcmp(command, "add") == 0) {
    if (!hasBox) return Usage("bridge add: bad box number");
    return Add(world, box, argc - 2, argv + 2);
  }
  if (strcmp(command, "remove") == 0) {
    if (!hasBox || argc != 2) return Usage("bridge remove N");
    DropHandles(world, box);
    world.boxes[box].present = false;
    LogConfig(world, box, kChangeRemove);
    PrintBox(world, box);
    return kExitOk;
  }
  if (strcmp(command, "reset") == 0) {
    if (!hasBox || argc != 2) return Usage("bridge reset N");
    DropHandles(world, box);
    sim::BridgeBoxInit(world.boxes[box], 0);
    world.boxes[box].present = false;
    world.known[box] = 0;
    LogConfig(world, box, kChangeReset);
    return kExitOk;
  }
  if (strcmp(command, "reset-all") == 0) {
    WorldReset(world);
    LogConfig(world, 0, kChangeResetAll);
    return kExitOk;
  }
  if (strcmp(command, "set") == 0) {
    if (!hasBox) return Usage("bridge set: bad box number");
    if (!world.known[box]) return Usage("bridge set: box not added yet");
    for (int i = 2; i < argc; ++i) {
      char key[32];
      const char* value = nullptr;
      if (!SplitSetting(argv[i], key, sizeof key, &value) ||
          !ApplySetting(world.boxes[box], key, value)) {
        fprintf(stderr, "simctl: bridge: bad setting '%s'\n", argv[i]);
        return kExitUsage;
      }
    }
    LogConfig(world, box, kChangeSet);
    PrintBox(world, box);
    return kExitOk;
  }
  if (strcmp(command, "show") == 0) {
    if (argc > 1) {
      if (!hasBox) return Usage("bridge show: bad box number");
      PrintBox(world, box);
      return kExitOk;
    }
    PrintWorld(world);
    for (uint32_t b = 0; b < kBoxCount; ++b) {
      if (world.known[b]) PrintBox(world, b);
    }
    return kExitOk;
  }
  if (strcmp(command, "ua") == 0) {
    if (!hasBox || argc != 2) return Usage("bridge ua N");
    PrintHex(world.boxes[box].userArea, world.boxes[box].userAreaSize);
    printf("\n");
    return kExitOk;
  }
  if (strcmp(command, "ua-write") == 0) {
    uint32_t offset = 0;
    if (argc < 4 || !hasBox || !ParseNumber(argv[2], sim::kBridgeUserAreaMax, &offset)) {
      return Usage("bridge ua-write N OFFSET HH...");
    }
    sim::BridgeBox& b = world.boxes[box];
    const uint32_t count = static_cast<uint32_t>(argc - 3);
    if (offset > b.userAreaSize || count > b.userAreaSize - offset) {
      return Usage("bridge ua-write: past the end of the user area");
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (!ParseHexByte(argv[3 + i], &b.userArea[offset + i])) {
        return Usage("bridge ua-write: bad byte");
      }
    }
    LogConfig(world, box, kChangeUserArea);
    return kExitOk;
  }
  if (strcmp(command, "log") == 0) {
    uint32_t from = 0;
    uint32_t only = kBoxCount;
    for (int i = 1; i < argc; ++i) {
      char key[16];
      const char* value = nullptr;
      if (!SplitSetting(argv[i], key, sizeof key, &value)) return Usage("bridge log: bad option");
      if (strcmp(key, "from") == 0 && ParseNumber(value, 0xFFFFFFFFu, &from)) continue;
      if (strcmp(key, "box") == 0 && ParseBox(value, &only)) continue;
      return Usage("bridge log: bad option");
    }
    const uint32_t oldest = WorldOldestCall(world);
    if (from > world.callCount) from = world.callCount;
    if (from < oldest) {
      // Calls before the last clear are gone on purpose; older ones were overwritten.
      if (oldest != world.logBase) printf("# calls %u..%u are no longer held\n", from, oldest - 1);
      from = oldest;
    }
    for (uint32_t seq = from; seq != world.callCount; ++seq) {
      const Call& call = world.calls[seq % kLogCapacity];
      if (only == kBoxCount || call.box == static_cast<int>(only)) PrintCall(call);
    }
    printf("next=%u\n", world.callCount);
    return kExitOk;
  }
  if (strcmp(command, "fault-at") == 0) return ArmFault(world, argc, argv);
  if (strcmp(command, "clear-log") == 0) {
    WorldClearLog(world);
    return kExitOk;
  }
  return Usage("bridge: unknown command");
}

}  // namespace

int BridgeCommand(int argc, char** argv) {
  WorldView view;
  if (!WorldOpen(view)) {
    char path[MAX_PATH] = "?";
    WorldStatePath(path, sizeof path);
    fprintf(stderr, "simctl: cannot map the bridge state file %s (error %lu)\n", path,
            GetLastError());
    return kExitFailed;
  }
  int status = kExitFailed;
  if (WorldLock(view)) {
    status = Run(view, argc, argv);
    WorldUnlock(view);
  } else {
    fprintf(stderr, "simctl: the bridge state is held by another process\n");
  }
  WorldClose(view);
  return status;
}

}  // namespace simctl
