// simctl port ...: the port boxes of the stand-in driver, through its control device.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <vector>

#include "driver/control_client.h"
#include "models/eeprom_fault_text.h"
#include "simctl.h"

using namespace drelvansim;

namespace simctl {
namespace {

constexpr uint32_t kLogReadMax = kLogCapacity;
constexpr char kSaveTag[] = "drelvan-eeprom";

bool ParseBox(const char* text, uint32_t* box) { return ParseNumber(text, kBoxCount - 1, box); }

const char* KindName(uint8_t kind) {
  switch (kind) {
    case kEventRequest:
      return "request";
    case kEventDrawer:
      return "drawer";
    case kEventOpen:
      return "open";
    case kEventClose:
      return "close";
    case kEventConfig:
      return "config";
    case kEventLink:
      return "link";
    case kEventHold:
      return "hold";
    case kEventTimingFault:
      return "timing-fault";
    default:
      return "?";
  }
}

// A timing fault as `name`="phase ...: pins -> pins" (eeprom_fault_text.h).
void PrintFault(const char* name, const sim::EepromTimingFault& fault) {
  char text[sim::kEepromFaultTextSize];
  sim::EepromTimingFaultText(fault, text, sizeof text);
  printf(" %s=\"%s\"", name, text);
}

// One line per box; scripts pick fields out of it by name, so new fields go at the end.
void PrintBox(const BoxInfo& info) {
  printf("port %u present=%u linked=%u port=0x%02x status=0x%02x switch=%s drawer=%u", info.box,
         info.present, info.linked, info.port, info.status, info.switchClosed ? "closed" : "open",
         info.drawerLine);
  if (info.recoveryOnly) {
    printf(" recovery=0x%02x", info.recoveredStatus);
  } else {
    printf(" recovery=off");
  }
  printf(" fail-from=%u pull-out-before=%u pulses=%u low-ms=%u opens=%u closes=%u", info.failFrom,
         info.pullOutBefore, info.drawerPulses, info.drawerLowMs, info.opens, info.closes);
  printf(" status-reads=%u drawer-writes=%u pin-writes=%u pin-samples=%u recoveries=%u",
         info.served[kStatusRead], info.served[kDrawerWrite], info.served[kPinWrite],
         info.served[kPinSample], info.served[kRecovery]);
  printf(" failed=%u unknown=%u pins=0x%02x eeprom-writable=%u programmed=%u", info.failed,
         info.unknown, info.pins, info.eepromWritable, info.eepromPrograms);
  printf(" timing-faults=%u", info.timingFaults);
  if (info.timingFaults > 0) PrintFault("first-fault", info.firstTimingFault);
  printf(" program-us=%u never-ready=%s busy-starts=%u eeprom-busy=%u", info.programUs,
         info.neverReady ? "on" : "off", info.busyStarts, info.eepromBusy);
  printf("\n");
}

void PrintEvent(const Event& e) {
  printf("#%u t=", e.seq);
  PrintMs(e.timeUs);
  printf(" box=%u pid=%u %s", e.box, e.pid, KindName(e.kind));
  switch (e.kind) {
    case kEventRequest:
      printf(" code=0x%x cmd=", e.code);
      PrintHex(e.command, sizeof e.command);
      printf(" %s", e.ok ? "ok" : "failed");
      if (e.replyBytes > 0) {
        printf(" reply=");
        PrintHex(e.reply, e.replyBytes);
      }
      break;
    case kEventDrawer:
      printf(" line=%u", e.level);
      if (e.code != 0) {
        printf(" by=");
        PrintHex(e.command, sizeof e.command);
      } else {
        printf(" by=config");
      }
      break;
    case kEventOpen:
      printf(" %s", e.ok ? "ok" : "refused");
      break;
    case kEventConfig:
      printf(" fields=0x%x", e.code);
      break;
    case kEventLink:
      // level is the link's state here, not the drawer line's.
      printf(" %s status=0x%02x\n", e.level ? "up" : "down", e.status);
      return;
    case kEventHold:
      if (e.level) {
        printf(" held code=0x%x cmd=", e.code);
        PrintHex(e.command, sizeof e.command);
      } else {
        printf(" %s", e.ok ? "let go: carried out" : "cancelled: not carried out");
      }
      printf(" status=0x%02x\n", e.status);
      return;
    case kEventTimingFault:
      // The pin write logged just before broke the rule; code counts the box's faults.
      printf(" count=%u cmd=", e.code);
      PrintHex(e.command, sizeof e.command);
      PrintFault("fault", TimingFaultOfEvent(e));
      break;
    default:
      break;
  }
  printf(" status=0x%02x line=%u\n", e.status, e.level);
}

// Applies KEY=VALUE settings to `config`; false (after a message) on a bad one.
bool ParseSettings(int argc, char** argv, BoxConfig& config) {
  for (int i = 0; i < argc; ++i) {
    char key[32];
    const char* value = nullptr;
    uint32_t n = 0;
    if (!SplitSetting(argv[i], key, sizeof key, &value)) {
      Usage("port: settings are KEY=VALUE");
      return false;
    }
    if (strcmp(key, "status") == 0 && ParseNumber(value, 0xFF, &n)) {
      config.fields |= kConfigStatus;
      config.status = static_cast<uint8_t>(n);
    } else if (strcmp(key, "switch") == 0 &&
               (strcmp(value, "open") == 0 || strcmp(value, "closed") == 0)) {
      config.fields |= kConfigSwitch;
      config.switchClosed = strcmp(value, "closed") == 0 ? 1 : 0;
    } else if (strcmp(key, "recovery") == 0 && strcmp(value, "off") == 0) {
      config.fields |= kConfigRecovery;
      config.recoveryOnly = 0;
      config.recoveredStatus = 0xF3;
    } else if (strcmp(key, "recovery") == 0 && ParseNumber(value, 0xFF, &n)) {
      config.fields |= kConfigRecovery;
      config.recoveryOnly = 1;
      config.recoveredStatus = static_cast<uint8_t>(n);
    } else if (strcmp(key, "fail-from") == 0 && ParseNumber(value, 0xFFFFFFFFu, &n)) {
      config.fields |= kConfigFailFrom;
      config.failFrom = n;
    } else if (strcmp(key, "pull-out-before") == 0 && ParseNumber(value, 0xFFFFFFFFu, &n)) {
      config.fields |= kConfigPullOutBefore;
      config.pullOutBefore = n;
    } else if (strcmp(key, "counters") == 0 && strcmp(value, "clear") == 0) {
      config.fields |= kConfigClearCounters;
    } else if (strcmp(key, "program-us") == 0 && ParseNumber(value, 10000000u, &n)) {
      config.fields |= kConfigProgramTime;
      config.programUs = n;
    } else if (strcmp(key, "never-ready") == 0 &&
               (strcmp(value, "on") == 0 || strcmp(value, "off") == 0)) {
      config.fields |= kConfigNeverReady;
      config.neverReady = strcmp(value, "on") == 0 ? 1 : 0;
    } else {
      fprintf(stderr, "simctl: port: bad setting '%s'\n", argv[i]);
      return false;
    }
  }
  return true;
}

int Configure(HANDLE control, const BoxConfig& config) {
  BoxInfo after;
  if (!ControlConfigure(control, config, &after)) {
    fprintf(stderr, "simctl: the driver refused the configuration of box %u\n", config.box);
    return kExitFailed;
  }
  PrintBox(after);
  return kExitOk;
}

int Show(HANDLE control, int argc, char** argv) {
  uint32_t first = 0;
  uint32_t last = kBoxCount - 1;
  if (argc > 1) {
    if (!ParseBox(argv[1], &first)) return Usage("port show: bad box number");
    last = first;
  }
  for (uint32_t box = first; box <= last; ++box) {
    BoxInfo info;
    if (!ControlQuery(control, box, info)) return kExitFailed;
    PrintBox(info);
  }
  return kExitOk;
}

int ShowEeprom(HANDLE control, int argc, char** argv) {
  uint32_t box = 0;
  uint32_t address = 0;
  uint32_t count = kEepromBytes;
  if (argc < 2 || !ParseBox(argv[1], &box)) return Usage("port eeprom: bad box number");
  if (argc > 2 && !ParseNumber(argv[2], kEepromBytes - 1, &address)) {
    return Usage("port eeprom: bad address");
  }
  if (argc > 3 && !ParseNumber(argv[3], kEepromBytes - address, &count)) {
    return Usage("port eeprom: bad count");
  }
  if (argc <= 3) count = kEepromBytes - address;
  uint8_t memory[kEepromBytes];
  if (!ControlEepromRead(control, box, memory)) return kExitFailed;
  PrintHex(memory + address, count);
  printf("\n");
  return kExitOk;
}

int WriteEeprom(HANDLE control, int argc, char** argv) {
  uint32_t box = 0;
  uint32_t address = 0;
  if (argc < 4 || !ParseBox(argv[1], &box) || !ParseNumber(argv[2], kEepromBytes - 1, &address)) {
    return Usage("port eeprom-write N ADDR HH...");
  }
  uint8_t data[kEepromBytes];
  const uint32_t count = static_cast<uint32_t>(argc - 3);
  if (count > kEepromBytes - address) return Usage("port eeprom-write: past the end");
  for (uint32_t i = 0; i < count; ++i) {
    if (!ParseHexByte(argv[3 + i], &data[i])) return Usage("port eeprom-write: bad byte");
  }
  return ControlEepromWrite(control, box, address, data, count) ? kExitOk : kExitFailed;
}

int Save(HANDLE control, const char* path) {
  FILE* file = fopen(path, "w");
  if (file == nullptr) {
    fprintf(stderr, "simctl: cannot write %s\n", path);
    return kExitFailed;
  }
  bool ok = true;
  for (uint32_t box = 0; box < kBoxCount && ok; ++box) {
    uint8_t memory[kEepromBytes];
    ok = ControlEepromRead(control, box, memory);
    if (!ok) break;
    fprintf(file, "%s %u ", kSaveTag, box);
    for (uint32_t i = 0; i < kEepromBytes; ++i) fprintf(file, "%02x", memory[i]);
    fprintf(file, "\n");
  }
  if (fclose(file) != 0) ok = false;
  return ok ? kExitOk : kExitFailed;
}

int Load(HANDLE control, const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    fprintf(stderr, "simctl: cannot read %s\n", path);
    return kExitFailed;
  }
  char line[512];
  int status = kExitOk;
  uint32_t loaded = 0;
  while (status == kExitOk && fgets(line, sizeof line, file) != nullptr) {
    char tag[32];
    unsigned box = 0;
    char hex[2 * kEepromBytes + 2];
    if (line[0] == '\n' || line[0] == '#') continue;
    if (sscanf(line, "%31s %u %257s", tag, &box, hex) != 3 || strcmp(tag, kSaveTag) != 0 ||
        box >= kBoxCount || strlen(hex) != 2 * kEepromBytes) {
      fprintf(stderr, "simctl: %s: not a saved EEPROM line: %s", path, line);
      status = kExitUsage;
      break;
    }
    uint8_t memory[kEepromBytes];
    for (uint32_t i = 0; i < kEepromBytes && status == kExitOk; ++i) {
      char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
      if (!ParseHexByte(pair, &memory[i])) status = kExitUsage;
    }
    if (status == kExitOk && !ControlEepromWrite(control, box, 0, memory, kEepromBytes)) {
      status = kExitFailed;
    }
    ++loaded;
  }
  fclose(file);
  if (status == kExitOk) printf("loaded %u EEPROMs\n", loaded);
  return status;
}

int Log(HANDLE control, int argc, char** argv) {
  uint32_t from = 0;
  uint32_t box = kBoxCount;
  for (int i = 1; i < argc; ++i) {
    char key[16];
    const char* value = nullptr;
    if (!SplitSetting(argv[i], key, sizeof key, &value)) return Usage("port log: bad option");
    if (strcmp(key, "from") == 0 && ParseNumber(value, 0xFFFFFFFFu, &from)) continue;
    if (strcmp(key, "box") == 0 && ParseBox(value, &box)) continue;
    return Usage("port log: bad option");
  }
  std::vector<Event> events(kLogReadMax);
  uint32_t returned = 0;
  uint32_t next = 0;
  uint32_t oldest = 0;
  if (!ControlReadLog(control, from, events.data(), kLogReadMax, &returned, &next, &oldest)) {
    return kExitFailed;
  }
  if (oldest > from) printf("# events %u..%u are no longer held\n", from, oldest - 1);
  for (uint32_t i = 0; i < returned; ++i) {
    if (box == kBoxCount || events[i].box == box) PrintEvent(events[i]);
  }
  printf("next=%u\n", next);
  return kExitOk;
}

void PrintHold(const HoldState& state) {
  static const char* const kPhases[] = {"off", "armed", "held", "cancelled", "carried-out"};
  printf("hold %s box=%u pid=%u request=%u counted=%u held-event=%u\n",
         state.phase <= kHoldCarriedOut ? kPhases[state.phase] : "?", state.box, state.pid,
         state.request, state.counted, state.heldSeq);
}

// port hold N K [pid=P] [after-pulse]: holds the K-th request on box N of process P (of the
// first process to make one, without pid=), counted from now or after its pulse.
int ArmHold(HANDLE control, int argc, char** argv) {
  HoldRequest request = {0, 0, 0, kHoldFromArming};
  if (argc < 3 || !ParseBox(argv[1], &request.box) ||
      !ParseNumber(argv[2], 0xFFFFFFFFu, &request.request)) {
    return Usage("port hold N K [pid=P] [after-pulse]");
  }
  for (int i = 3; i < argc; ++i) {
    char key[16];
    const char* value = nullptr;
    if (strcmp(argv[i], "after-pulse") == 0) {
      request.count = kHoldAfterPulse;
    } else if (!SplitSetting(argv[i], key, sizeof key, &value) || strcmp(key, "pid") != 0 ||
               !ParseNumber(value, 0xFFFFFFFFu, &request.pid)) {
      return Usage("port hold: bad option");
    }
  }
  HoldState state;
  if (!ControlHold(control, request, &state)) return kExitFailed;
  PrintHold(state);
  return kExitOk;
}

int LetGoHeld(HANDLE control, int argc, char** argv) {
  const bool carryOut = argc > 1 && strcmp(argv[1], "carry-out") == 0;
  if (argc > 2 || (argc == 2 && !carryOut && strcmp(argv[1], "cancel") != 0)) {
    return Usage("port let-go [carry-out|cancel]");
  }
  HoldState state;
  if (!ControlLetGo(control, carryOut, &state)) return kExitFailed;
  PrintHold(state);
  return kExitOk;
}

int ShowHold(HANDLE control) {
  HoldState state;
  if (!ControlHoldState(control, state)) return kExitFailed;
  PrintHold(state);
  return kExitOk;
}

int Time(HANDLE control) {
  SimInfo info;
  if (!ControlInfo(control, info)) return kExitFailed;
  LARGE_INTEGER counter;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  const unsigned long long hz = static_cast<unsigned long long>(frequency.QuadPart);
  const unsigned long long ticks = static_cast<unsigned long long>(counter.QuadPart);
  printf("driver-us=%llu local-us=%llu\n", static_cast<unsigned long long>(info.nowUs),
         ticks / hz * 1000000ull + ticks % hz * 1000000ull / hz);
  return kExitOk;
}

int Run(HANDLE control, int argc, char** argv) {
  const char* command = argv[0];
  uint32_t box = 0;
  const bool hasBox = argc > 1 && ParseBox(argv[1], &box);
  if (strcmp(command, "ping") == 0) {
    SimInfo info;
    if (!ControlInfo(control, info)) return kExitFailed;
    printf("driver version=%u boxes=%u events=%u timing-faults=%u", info.version, info.boxCount,
           info.eventCount, info.timingFaults);
    if (info.timingFaults > 0) {
      printf(" first-fault-box=%u", info.firstFaultBox);
      PrintFault("first-fault", info.firstTimingFault);
    }
    printf(" busy-starts=%u", info.busyStarts);
    if (info.busyStarts > 0) printf(" first-busy-start-box=%u", info.firstBusyStartBox);
    printf("\n");
    return kExitOk;
  }
  if (strcmp(command, "add") == 0) {
    if (!hasBox) return Usage("port add: bad box number");
    BoxConfig config = NoChange(box);
    config.fields = kConfigPresent;
    config.present = 1;
    if (!ParseSettings(argc - 2, argv + 2, config)) return kExitUsage;
    return Configure(control, config);
  }
  if (strcmp(command, "remove") == 0 || strcmp(command, "reset") == 0) {
    if (!hasBox || argc != 2) return Usage("port remove|reset N");
    BoxConfig config = NoChange(box);
    config.fields = strcmp(command, "reset") == 0 ? kConfigReset : kConfigPresent;
    return Configure(control, config);
  }
  if (strcmp(command, "set") == 0) {
    if (!hasBox) return Usage("port set: bad box number");
    BoxConfig config = NoChange(box);
    if (!ParseSettings(argc - 2, argv + 2, config)) return kExitUsage;
    return Configure(control, config);
  }
  if (strcmp(command, "show") == 0) return Show(control, argc, argv);
  if (strcmp(command, "eeprom") == 0) return ShowEeprom(control, argc, argv);
  if (strcmp(command, "eeprom-write") == 0) return WriteEeprom(control, argc, argv);
  if (strcmp(command, "save") == 0 && argc == 2) return Save(control, argv[1]);
  if (strcmp(command, "load") == 0 && argc == 2) return Load(control, argv[1]);
  if (strcmp(command, "log") == 0) return Log(control, argc, argv);
  if (strcmp(command, "clear-log") == 0) return ControlClearLog(control) ? kExitOk : kExitFailed;
  if (strcmp(command, "reset-all") == 0) return ControlResetAll(control) ? kExitOk : kExitFailed;
  if (strcmp(command, "time") == 0) return Time(control);
  if (strcmp(command, "hold") == 0) return ArmHold(control, argc, argv);
  if (strcmp(command, "let-go") == 0) return LetGoHeld(control, argc, argv);
  if (strcmp(command, "hold-state") == 0) return ShowHold(control);
  return Usage("port: unknown command");
}

}  // namespace

int PortCommand(int argc, char** argv) {
  HANDLE control = ControlOpen();
  if (control == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "simctl: the stand-in port driver is not running (%s: error %lu)\n",
            kControlPath, GetLastError());
    return kExitFailed;
  }
  const int status = Run(control, argc, argv);
  ControlClose(control);
  return status;
}

}  // namespace simctl
