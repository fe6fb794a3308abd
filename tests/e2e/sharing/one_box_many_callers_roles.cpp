// The parts other processes play in one_box_many_callers_check. None takes a lock of its own:
// the library alone keeps their operations on the box apart.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sharing/one_box_many_callers.h"
#include "support/boxes.h"
#include "support/check_support.h"
#include "support/tevro_library.h"

namespace e2e {
namespace {

constexpr DWORD kGoWaitMs = 60000;
constexpr DWORD kTimerLimitMs = 1000;
constexpr DWORD kHangMs = 60000;
constexpr uint32_t kReportedViolations = 10;
constexpr uint32_t kKicksPerSession = 8;

const uint16_t kMasks[kSharedWriters][kSharedFields] = {{0xA55A, 0x6996}, {0x3CC3, 0xC33C}};
const char* const kFieldNames[kSharedFields] = {"serial", "date"};

uint32_t Number(const char* text) { return static_cast<uint32_t>(strtoul(text, nullptr, 0)); }

int Finish(int status) {
  printf("done\n");
  fflush(stdout);
  return status;
}

// Loads the library; the device number of driver-port box 0 (after the bridge boxes) into
// *device. False, with a line that says why, when the load or the count is not as set up.
bool Load(const char* path, Tevro& t, unsigned char* device) {
  int bound = 0;
  if (!TevroLoad(path, t, &bound) || bound != kTevroExportCount) {
    printf("load=failed bound=%d error=%lu\n", bound, GetLastError());
    return false;
  }
  const uint32_t counts = t.GetNumPos();
  if ((counts & 0xFF) != 1) {
    printf("load=unexpected counts 0x%x\n", counts);
    return false;
  }
  *device = static_cast<unsigned char>(counts >> 8);
  return true;
}

// Says the role is loaded and waits for the check's go.
bool Rendezvous(const std::string& prefix, uint32_t id) {
  HANDLE ready =
      OpenEventA(EVENT_MODIFY_STATE, FALSE, (prefix + "-ready-" + std::to_string(id)).c_str());
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, (prefix + "-go").c_str());
  const bool ok = ready != nullptr && go != nullptr && SetEvent(ready) &&
                  WaitForSingleObject(go, kGoWaitMs) == WAIT_OBJECT_0;
  if (ready != nullptr) CloseHandle(ready);
  if (go != nullptr) CloseHandle(go);
  return ok;
}

struct Role {
  uint32_t id;
  uint32_t random;
  uint32_t violations;
};

uint32_t Next(Role& r) {
  r.random = r.random * 1103515245u + 12345u;
  return r.random >> 8;
}

void Violation(Role& r, const char* format, ...) {
  if (++r.violations > kReportedViolations) return;
  va_list args;
  va_start(args, format);
  printf("violation=process %u: ", r.id);
  vprintf(format, args);
  printf("\n");
  va_end(args);
}

// --- record: reads and writes of one record by several processes ----------------------------

struct RecordRole : Role {
  uint32_t ops, reads, writes, kicks, refused, sessions;
  uint32_t written[kSharedFields];                   // this process's k per field
  uint32_t seen[kSharedFields][kSharedWriters + 1];  // highest k read, per writer
  uint32_t lastCount;
};

void CheckRead(RecordRole& r, uint32_t field, uint32_t value) {
  ++r.reads;
  const uint32_t start = field == kSerialField ? kStartSerial : kStartDate;
  uint32_t writer = 0, k = 0;
  if (value == start) return;
  if (value == 0) {
    Violation(r, "%s read failed", kFieldNames[field]);
  } else if (!DecodeShared(field, value, &writer, &k)) {
    Violation(r, "%s read 0x%08x: nobody wrote it", kFieldNames[field], value);
  } else if (writer == r.id && k > r.written[field]) {
    Violation(r, "%s read 0x%08x: this process's write %u, not made yet", kFieldNames[field], value,
              k);
  } else if (k > r.seen[field][writer]) {
    r.seen[field][writer] = k;
  }
}

void RecordStep(RecordRole& r, const Tevro& t) {
  ++r.ops;
  const uint32_t choice = Next(r) % 10;
  if (choice < 2) {
    CheckRead(r, kSerialField, t.GetSerialNumber());
  } else if (choice < 4) {
    CheckRead(r, kDateField, t.GetMfgDate());
  } else if (choice == 4) {
    ++r.reads;
    const uint32_t count = t.GetLastOpenCnt();
    if (count < kStartCount || count < r.lastCount) {
      Violation(r, "counter read %u after %u (start %u)", count, r.lastCount, kStartCount);
    }
    if (count > r.lastCount) r.lastCount = count;
  } else if (choice < 9) {
    const uint32_t field = choice < 7 ? kSerialField : kDateField;
    const uint32_t value = SharedValue(r.id, field, ++r.written[field]);
    ++r.writes;
    const uint8_t ok = field == kSerialField ? t.SetSerialNumber(value) : t.SetMfgDate(value);
    if (ok != 1) Violation(r, "writing %s 0x%08x failed", kFieldNames[field], value);
  } else if (t.KasseOpen() == 1) {
    // Another process's pulse may be running: then the kick is refused, rightly.
    ++r.kicks;
    PumpUntilReleased(0, kTimerLimitMs);
  } else {
    ++r.refused;
  }
}

int RecordRoleMain(uint32_t id, const char* dll, uint32_t seconds, const std::string& prefix) {
  RecordRole r;
  memset(&r, 0, sizeof r);
  r.id = id;
  r.random = 0x9E3779B9u * id;
  Tevro t;
  unsigned char device = 0;
  if (!Load(dll, t, &device)) return Finish(1);
  if (!Rendezvous(prefix, id)) return Finish(4);
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(seconds) * 1000000u;
  while (NowUs() < deadline) {
    ++r.ops;
    if (t.OpenPosInterface(device) == -1) {
      Violation(r, "OpenPosInterface(%u) failed", device);
      continue;
    }
    ++r.sessions;
    for (uint32_t steps = 1 + Next(r) % 6; steps > 0; --steps) RecordStep(r, t);
    ++r.ops;
    t.ClosePosInterface();
  }
  TevroUnload(t);
  printf("ops=%u\nreads=%u\nwrites=%u\nkicks=%u\nrefused=%u\nsessions=%u\nmax-count=%u\n", r.ops,
         r.reads, r.writes, r.kicks, r.refused, r.sessions, r.lastCount);
  for (uint32_t f = 0; f < kSharedFields; ++f) {
    printf("written-%s=%u\n", kFieldNames[f], r.written[f]);
    for (uint32_t w = 1; w <= kSharedWriters; ++w) {
      printf("seen-%s-%u=%u\n", kFieldNames[f], w, r.seen[f][w]);
    }
  }
  printf("violations=%u\n", r.violations);
  return Finish(0);
}

// --- kicker: drawer kicks of several processes on one box -----------------------------------

int KickerRoleMain(uint32_t id, const char* dll, uint32_t seconds, const std::string& prefix) {
  Role r = {id, 0x7F4A7C15u * id, 0};
  Tevro t;
  unsigned char device = 0;
  if (!Load(dll, t, &device)) return Finish(1);
  if (!Rendezvous(prefix, id)) return Finish(4);
  uint32_t kicks = 0, refused = 0, sessions = 0, local = 0;
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(seconds) * 1000000u;
  bool open = false;
  while (NowUs() < deadline) {
    if (!open) {
      open = t.OpenPosInterface(device) != -1;
      if (!open) Violation(r, "OpenPosInterface(%u) failed", device);
      sessions += open ? 1 : 0;
      local = 0;
    }
    if (t.KasseOpen() == 1) {
      ++kicks;
      ++local;
      PumpUntilReleased(0, kTimerLimitMs);
    } else {
      ++refused;
    }
    PumpFor(Next(r) % 25);
    if (open && (local == kKicksPerSession || NowUs() >= deadline)) {
      if (t.GetLocalOpenCnt() != local) {
        Violation(r, "GetLocalOpenCnt %u after %u kicks", t.GetLocalOpenCnt(), local);
      }
      t.ClosePosInterface();
      open = false;
    }
  }
  if (open) t.ClosePosInterface();
  TevroUnload(t);
  printf("kicks=%u\nrefused=%u\nsessions=%u\nviolations=%u\n", kicks, refused, sessions,
         r.violations);
  return Finish(0);
}

// --- processes that die on the box ---------------------------------------------------------

// victim DLL VALUE PREFIX: opens the box, sets PREFIX-ready, and at PREFIX-go writes the
// serial number, inside which the check kills it.
int VictimRoleMain(const char* dll, uint32_t value, const std::string& prefix) {
  Tevro t;
  unsigned char device = 0;
  if (!Load(dll, t, &device) || t.OpenPosInterface(device) == -1) return Finish(1);
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (prefix + "-ready").c_str());
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, (prefix + "-go").c_str());
  if (ready == nullptr || go == nullptr || !SetEvent(ready) ||
      WaitForSingleObject(go, kGoWaitMs) != WAIT_OBJECT_0) {
    return Finish(4);
  }
  printf("written=%u\n", t.SetSerialNumber(value));
  fflush(stdout);
  Sleep(kHangMs);  // not reached by the check's kill: nothing more on the box
  return Finish(5);
}

// kick-and-hang DLL PREFIX: opens the box, sets PREFIX-ready, and at PREFIX-go kicks; when
// the kick reached the box, sets PREFIX-kicked and waits without dispatching, to be killed
// with its pulse running.
int KickAndHangRoleMain(const char* dll, const std::string& prefix) {
  Tevro t;
  unsigned char device = 0;
  if (!Load(dll, t, &device) || t.OpenPosInterface(device) == -1) return Finish(1);
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (prefix + "-ready").c_str());
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, (prefix + "-go").c_str());
  HANDLE kicked = OpenEventA(EVENT_MODIFY_STATE, FALSE, (prefix + "-kicked").c_str());
  if (ready == nullptr || go == nullptr || kicked == nullptr || !SetEvent(ready) ||
      WaitForSingleObject(go, kGoWaitMs) != WAIT_OBJECT_0 || t.KasseOpen() != 1) {
    return Finish(3);
  }
  SetEvent(kicked);
  Sleep(kHangMs);
  return Finish(5);
}

// next DLL VALUE: the first process on the box after one died inside a write.
int NextRoleMain(const char* dll, uint32_t value) {
  Tevro t;
  unsigned char device = 0;
  if (!Load(dll, t, &device)) return Finish(1);
  const int32_t opened = t.OpenPosInterface(device);
  const uint32_t before = t.GetSerialNumber();
  const uint8_t written = t.SetSerialNumber(value);
  printf("opened=%d\nbefore=%u\nwritten=%u\nafter=%u\ndate=%u\ncount=%u\n", opened != -1, before,
         written, t.GetSerialNumber(), t.GetMfgDate(), t.GetLastOpenCnt());
  t.ClosePosInterface();
  TevroUnload(t);
  return Finish(opened != -1 ? 0 : 1);
}

}  // namespace

uint32_t SharedValue(uint32_t writer, uint32_t field, uint32_t k) {
  const uint32_t low = k & 0xFFFF;
  return low | (low ^ kMasks[writer - 1][field]) << 16;
}

bool DecodeShared(uint32_t field, uint32_t value, uint32_t* writer, uint32_t* k) {
  const uint32_t low = value & 0xFFFF;
  for (uint32_t w = 1; w <= kSharedWriters; ++w) {
    if (low != 0 && (value >> 16) == (low ^ kMasks[w - 1][field])) {
      *writer = w;
      *k = low;
      return true;
    }
  }
  return false;
}

uint8_t PaddingByte(uint32_t address) { return static_cast<uint8_t>(address * 29 + 7); }

int SharingRoleMain(int argc, char** argv) {
  if (argc < 1) return 2;
  int status = 2;
  const std::string role = argv[0];
  if ((role == "record" || role == "kicker") && argc == 5) {
    const uint32_t id = Number(argv[1]);
    if (id < 1 || id > kSharedWriters) return 2;
    return role == "record" ? RecordRoleMain(id, argv[2], Number(argv[3]), argv[4])
                            : KickerRoleMain(id, argv[2], Number(argv[3]), argv[4]);
  }
  if (role == "victim" && argc == 4) return VictimRoleMain(argv[1], Number(argv[2]), argv[3]);
  if (role == "kick-and-hang" && argc == 3) return KickAndHangRoleMain(argv[1], argv[2]);
  if (PulseRoleMain(role, argc, argv, &status)) return status;
  if (role == "next" && argc == 3) return NextRoleMain(argv[1], Number(argv[2]));
  return 2;
}

}  // namespace e2e
