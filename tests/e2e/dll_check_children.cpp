// The parts other processes play in the library checks (dll_check --child ROLE ARGS). Each
// prints KEY=VALUE lines for the parent to read and ends with "done"; the exit status is 0
// when the role went as planned.
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dll_checks.h"
#include "support/boxes.h"

namespace e2e {
namespace {

constexpr DWORD kStepWaitMs = 60000;
constexpr DWORD kTimerLimitMs = 2000;

uint32_t Number(const char* text) { return static_cast<uint32_t>(strtoul(text, nullptr, 0)); }

// Prints "module=PATH" for every ftd2xx.dll in this process.
void PrintD2xxModules() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
  if (snapshot == INVALID_HANDLE_VALUE) {
    printf("modules=unknown\n");
    return;
  }
  MODULEENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szModule, "ftd2xx.dll") == 0) printf("module=%s\n", entry.szExePath);
  }
  CloseHandle(snapshot);
  printf("modules=listed\n");
}

bool Load(const char* path, Tevro& t) {
  int bound = 0;
  if (!TevroLoad(path, t, &bound)) {
    printf("load=failed error=%lu\n", GetLastError());
    return false;
  }
  if (bound != kTevroExportCount) {
    printf("load=incomplete bound=%d\n", bound);
    TevroUnload(t);
    return false;
  }
  return true;
}

int Finish(int status) {
  printf("done\n");
  fflush(stdout);
  return status;
}

// count TEVRO: the counts the load found, what device 0 is, the D2XX modules afterwards.
int CountRole(const char* tevro) {
  printf("pid=%lu\n", GetCurrentProcessId());
  Tevro t;
  if (!Load(tevro, t)) return Finish(1);
  printf("numpos=0x%x\n", t.GetNumPos());
  char text[16] = "none";
  if (t.OpenPosInterface(0) != -1) t.GetFirmWareVersion(text);
  printf("device0=%s\n", text);
  t.ClosePosInterface();
  PrintD2xxModules();
  TevroUnload(t);
  return Finish(0);
}

// load-by-name: what the plain name FTD2XX.DLL loads in this process.
int LoadByNameRole() {
  HMODULE module = LoadLibraryA("FTD2XX.DLL");
  char path[MAX_PATH] = "none";
  if (module != nullptr) GetModuleFileNameA(module, path, sizeof path);
  printf("loaded=%s\n", path);
  return Finish(module != nullptr ? 0 : 1);
}

// identity-write TEVRO DEV SERIAL DATE COUNT
int IdentityWriteRole(const char* tevro, uint8_t device, uint32_t serial, uint32_t date,
                      uint32_t count) {
  Tevro t;
  if (!Load(tevro, t)) return Finish(1);
  const int32_t opened = t.OpenPosInterface(device);
  const uint8_t a = t.SetSerialNumber(serial);
  const uint8_t b = t.SetMfgDate(date);
  const uint8_t c = t.SetLastOpenCnt(count);
  t.ClosePosInterface();
  TevroUnload(t);
  printf("opened=%d set=%u%u%u\n", opened != -1 ? 1 : 0, a, b, c);
  return Finish(opened != -1 && a == 1 && b == 1 && c == 1 ? 0 : 1);
}

// identity-read TEVRO DEV
int IdentityReadRole(const char* tevro, uint8_t device) {
  Tevro t;
  if (!Load(tevro, t)) return Finish(1);
  const int32_t opened = t.OpenPosInterface(device);
  printf("serial=%u\ndate=%u\ncount=%u\n", t.GetSerialNumber(), t.GetMfgDate(), t.GetLastOpenCnt());
  t.ClosePosInterface();
  TevroUnload(t);
  return Finish(opened != -1 ? 0 : 1);
}

// overlap TEVRO DEV port|bridge PREFIX KICKS: opens the box, then for each "go" from the
// parent makes one step (KICKS kicks, then the close), answering each with "ready".
int OverlapRole(const char* tevro, uint8_t device, bool port, const char* prefix, int kicks) {
  const std::string base = prefix;
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (base + "-ready").c_str());
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, (base + "-go").c_str());
  if (ready == nullptr || go == nullptr) return Finish(4);
  Tevro t;
  if (!Load(tevro, t)) return Finish(1);
  const int32_t opened = t.OpenPosInterface(device);
  printf("opened=%d\n", opened != -1 ? 1 : 0);
  SetEvent(ready);
  int kicked = 0;
  bool lost = false;
  for (int step = 0; step <= kicks; ++step) {
    if (WaitForSingleObject(go, kStepWaitMs) != WAIT_OBJECT_0) {
      lost = true;
      break;
    }
    if (step < kicks) {
      kicked += t.KasseOpen();
      if (port) PumpUntilReleased(0, kTimerLimitMs);
    } else {
      t.ClosePosInterface();
    }
    SetEvent(ready);
  }
  printf("kicked=%d\n", kicked);
  TevroUnload(t);
  CloseHandle(ready);
  CloseHandle(go);
  return Finish(opened != -1 && !lost && kicked == kicks ? 0 : 1);
}

}  // namespace

int DllChildMain(int argc, char** argv) {
  if (argc < 1) return 2;
  const char* role = argv[0];
  if (strcmp(role, "count") == 0 && argc == 2) return CountRole(argv[1]);
  if (strcmp(role, "load-by-name") == 0) return LoadByNameRole();
  if (strcmp(role, "identity-write") == 0 && argc == 6) {
    return IdentityWriteRole(argv[1], static_cast<uint8_t>(Number(argv[2])), Number(argv[3]),
                             Number(argv[4]), Number(argv[5]));
  }
  if (strcmp(role, "identity-read") == 0 && argc == 3) {
    return IdentityReadRole(argv[1], static_cast<uint8_t>(Number(argv[2])));
  }
  if (strcmp(role, "overlap") == 0 && argc == 6) {
    return OverlapRole(argv[1], static_cast<uint8_t>(Number(argv[2])), strcmp(argv[3], "port") == 0,
                       argv[4], static_cast<int>(Number(argv[5])));
  }
  return 2;
}

}  // namespace e2e
