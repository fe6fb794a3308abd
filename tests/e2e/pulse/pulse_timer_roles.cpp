// The parts other processes play in one_box_many_callers_check's pulse runs (listed in
// sharing/one_box_many_callers.h). Each prints KEY=VALUE lines and ends with "done"; the exit
// status is 0 when it ran as planned.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "sharing/one_box_many_callers.h"
#include "support/box_watch.h"
#include "support/boxes.h"
#include "support/check_support.h"
#include "support/tevro_library.h"

namespace e2e {
namespace {

constexpr DWORD kWaitMs = 60000;
constexpr DWORD kPumpAfterUnloadMs = 1000;  // a stale timer of the library would fire here
constexpr uint64_t kPulseUs = 60000;
const char kStillOpenCaption[] = "Warnung aus DLL";
constexpr DWORD kWarningHoldMs = 50;
const char kBoxMutexPrefix[] = "Global\\TEVRO.{7d3b5e2a-41c6-4f0e-9a8d-2c6b1f9e0a57}.port.";

int Finish(int status) {
  printf("done\n");
  fflush(stdout);
  return status;
}

HANDLE Named(const std::string& prefix, const char* what) {
  return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, (prefix + "-" + what).c_str());
}

bool Loaded(const char* dll, Tevro& t, unsigned char* device) {
  if (LoadSharedTevro(dll, t, device)) return true;
  printf("load=failed\n");
  return false;
}

// hold-mutex BOX PREFIX MS: takes the box's mutex as the library names it, without the
// library. SignalObjectAndWait sets PREFIX-waiting and queues this thread on the mutex in one
// step, so that when the check sees the event, the box goes to this process as soon as its
// holder gives it back.
int HoldMutexRole(const char* box, const std::string& prefix, DWORD holdMs) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, (std::string(kBoxMutexPrefix) + box).c_str());
  HANDLE take = Named(prefix, "take");
  HANDLE waiting = Named(prefix, "waiting");
  if (mutex == nullptr || take == nullptr || waiting == nullptr ||
      WaitForSingleObject(take, kWaitMs) != WAIT_OBJECT_0) {
    return Finish(3);
  }
  const DWORD got = SignalObjectAndWait(waiting, mutex, kWaitMs, FALSE);
  if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return Finish(4);
  printf("taken-us=%llu\n", static_cast<unsigned long long>(NowUs()));
  Sleep(holdMs);
  printf("let-go-us=%llu\n", static_cast<unsigned long long>(NowUs()));
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  return Finish(0);
}

// writer DLL PREFIX: writes serial numbers on the box until PREFIX-stop; reader: reads them.
int WriterRole(const char* dll, const std::string& prefix, bool reads) {
  Tevro t;
  unsigned char device = 0;
  if (!Loaded(dll, t, &device) || t.OpenPosInterface(device) == -1) return Finish(1);
  HANDLE ready = Named(prefix, "ready");
  HANDLE stop = Named(prefix, "stop");
  if (ready == nullptr || stop == nullptr || !SetEvent(ready)) return Finish(3);
  uint32_t calls = 0, failed = 0;
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    const bool ok = reads ? t.GetSerialNumber() != 0 : t.SetSerialNumber(0x3E000000u + calls) == 1;
    ++calls;
    failed += ok ? 0 : 1;
  }
  t.ClosePosInterface();
  TevroUnload(t);
  printf("%s=%u\nfailed=%u\n", reads ? "reads" : "writes", calls, failed);
  return Finish(failed == 0 ? 0 : 1);
}

struct Kicker {
  const Tevro* t;
  HANDLE kicked;  // set once KasseOpen has returned
  HANDLE freed;   // set once the library is unloaded
  uint8_t result;
  uint64_t returnedUs;
};

// Kicks; then neither dispatches nor calls until the library is gone, and then dispatches
// this thread's messages for a while.
DWORD WINAPI KickThenPump(LPVOID parameter) {
  Kicker& k = *static_cast<Kicker*>(parameter);
  k.result = k.t->KasseOpen();
  k.returnedUs = NowUs();
  SetEvent(k.kicked);
  WaitForSingleObject(k.freed, kWaitMs);
  PumpFor(kPumpAfterUnloadMs);
  return 0;
}

bool StartKicker(Kicker& k, const Tevro& t, HANDLE* thread) {
  k.t = &t;
  k.kicked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  k.freed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  k.result = 0;
  *thread = CreateThread(nullptr, 0, KickThenPump, &k, 0, nullptr);
  return *thread != nullptr && WaitForSingleObject(k.kicked, kWaitMs) == WAIT_OBJECT_0;
}

bool TevroUnloaded() { return GetModuleHandleA("TEVRO.DLL") == nullptr; }

// unload-pending DLL PREFIX: at PREFIX-go one thread kicks; this one then sets PREFIX-freeing
// and unloads the library, the pulse still pending.
int UnloadPendingRole(const char* dll, const std::string& prefix) {
  Tevro t;
  unsigned char device = 0;
  if (!Loaded(dll, t, &device) || t.OpenPosInterface(device) == -1) return Finish(1);
  HANDLE ready = Named(prefix, "ready");
  HANDLE go = Named(prefix, "go");
  HANDLE freeing = Named(prefix, "freeing");
  if (ready == nullptr || go == nullptr || freeing == nullptr || !SetEvent(ready) ||
      WaitForSingleObject(go, kWaitMs) != WAIT_OBJECT_0) {
    return Finish(3);
  }
  Kicker k;
  HANDLE thread = nullptr;
  const bool kicked = StartKicker(k, t, &thread);
  // The session is still open: the unload warns, and this process's watcher dismisses it.
  BoxWatch watch;
  WatchStart(watch, kStillOpenCaption, kWarningHoldMs);
  SetEvent(freeing);
  TevroUnload(t);
  WatchFinish(watch);
  const bool unloaded = TevroUnloaded();
  SetEvent(k.freed);
  WaitForSingleObject(thread, kWaitMs);
  printf("kicked=%u\nunloaded=%d\nwarnings=%d\n", k.result, unloaded, watch.seen);
  return Finish(kicked ? 0 : 1);
}

struct Reload {
  Tevro* t;
  const char* dll;
  HANDLE control;
  bool unloaded, reloaded;
  uint32_t opens, counts;
};

// Unloads the library, then loads it again: a fresh instance scans the boxes at its load,
// and the driver logs the opens of that scan under this process's id.
DWORD WINAPI UnloadAndReload(LPVOID parameter) {
  Reload& u = *static_cast<Reload*>(parameter);
  TevroUnload(*u.t);
  u.unloaded = TevroUnloaded();
  const uint32_t mark = PortLogMark(u.control);
  int bound = 0;
  u.reloaded = TevroLoad(u.dll, *u.t, &bound) && bound == kTevroExportCount;
  for (const drelvansim::Event& e : PortEventsSince(u.control, mark)) {
    if (e.kind == drelvansim::kEventOpen && e.box == 0 && e.pid == GetCurrentProcessId()) {
      ++u.opens;
    }
  }
  if (u.reloaded) u.counts = u.t->GetNumPos();
  return 0;
}

// unload-after-ended DLL: one thread kicks; another calls the library once the pulse's 60 ms
// are up (which ends it, if nothing did before); a third unloads the library and loads it
// again, counting the opens of box 0 its new scan makes.
int UnloadAfterEndedRole(const char* dll) {
  Tevro t;
  unsigned char device = 0;
  HANDLE control = drelvansim::ControlOpen();
  if (control == INVALID_HANDLE_VALUE || !Loaded(dll, t, &device) ||
      t.OpenPosInterface(device) == -1) {
    return Finish(1);
  }
  Kicker k;
  HANDLE thread = nullptr;
  const bool kicked = StartKicker(k, t, &thread);
  while (NowUs() < k.returnedUs + kPulseUs) Sleep(5);
  char flag = 0;
  t.GetSwitch(&flag);
  t.ClosePosInterface();
  Reload third = {&t, dll, control, false, false, 0, 0};
  HANDLE unloader = CreateThread(nullptr, 0, UnloadAndReload, &third, 0, nullptr);
  WaitForSingleObject(unloader, kWaitMs);
  SetEvent(k.freed);
  WaitForSingleObject(thread, kWaitMs);
  printf("kicked=%u\nunloaded=%d\nreloaded=%d\nrescan-opens=%u\nnumpos=%u\n", k.result,
         third.unloaded, third.reloaded, third.opens, third.counts);
  if (third.reloaded) TevroUnload(t);
  return Finish(kicked ? 0 : 1);
}

}  // namespace

bool PulseRoleMain(const std::string& role, int argc, char** argv, int* status) {
  if (role == "hold-mutex" && argc == 4) {
    *status = HoldMutexRole(argv[1], argv[2], static_cast<DWORD>(atoi(argv[3])));
  } else if ((role == "writer" || role == "reader") && argc == 3) {
    *status = WriterRole(argv[1], argv[2], role == "reader");
  } else if (role == "unload-pending" && argc == 3) {
    *status = UnloadPendingRole(argv[1], argv[2]);
  } else if (role == "unload-after-ended" && argc == 2) {
    *status = UnloadAfterEndedRole(argv[1]);
  } else {
    return false;
  }
  return true;
}

}  // namespace e2e
