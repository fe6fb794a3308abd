// Which ftd2xx.dll the library uses: a broken one in the system folder counts as none (bridge
// count 0, no crash), and one planted beside the application is never loaded. Each case runs
// in a process of its own, with the system folder's ftd2xx.dll swapped for the case and put
// back afterwards. On x64, a D2XX library whose handles are wider than 32 bits still serves.
#include <stdio.h>
#include <string.h>

#include "dll_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

namespace e2e {
namespace {

constexpr DWORD kChildTimeoutMs = 60000;
constexpr char kLackingFixture[] = "ftd2xx_lacking_getstatus.dll";
constexpr char kPlantedFixture[] = "planted_ftd2xx.dll";
constexpr char kWideHandleFixture[] = "wide_handle_ftd2xx.dll";
constexpr char kNotADll[] = "This file is named ftd2xx.dll but is no library.\r\n";

std::string SystemD2xx() {
  char path[MAX_PATH];
  UINT n = GetSystemDirectoryA(path, sizeof path);
  return std::string(path, n) + "\\ftd2xx.dll";
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return Lower(text).compare(0, prefix.size(), Lower(prefix)) == 0;
}

// The stand-in moved aside while a case puts something else in its place.
struct SystemD2xxSwap {
  std::string path;
  std::string saved;
  bool moved;
};

bool MoveAside(SystemD2xxSwap& swap) {
  swap.path = SystemD2xx();
  swap.saved = swap.path + ".e2e-saved";
  DeleteFileA(swap.saved.c_str());
  swap.moved = MoveFileExA(swap.path.c_str(), swap.saved.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  return swap.moved;
}

bool PutBack(SystemD2xxSwap& swap) {
  if (!swap.moved) return true;
  DeleteFileA(swap.path.c_str());
  RemoveDirectoryA(swap.path.c_str());
  swap.moved = !MoveFileExA(swap.saved.c_str(), swap.path.c_str(), MOVEFILE_REPLACE_EXISTING);
  return !swap.moved;
}

bool WriteFileText(const std::string& path, const char* text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
  CloseHandle(file);
  return ok && written == strlen(text);
}

struct CountResult {
  bool ended;
  DWORD exitCode;
  bool finished;  // printed "done": the child ran to its end
  std::string numpos;
  std::string device0;
  std::vector<std::string> modules;
  uint32_t pid;
  uint32_t d2xxCalls;  // D2XX calls the child made into the simulated world
};

// Runs `exe --child count TEVRO` and reads what it found.
CountResult RunCount(const std::string& exe, const std::string& tevro) {
  CountResult r{};
  uint32_t mark = 0;
  sim::BridgeBox unused;
  BridgeSnapshot(0, &unused, &mark);
  std::string output;
  r.exitCode = 1;
  r.ended = RunProcess(Quote(exe) + " --child count " + Quote(tevro), kChildTimeoutMs, &r.exitCode,
                       &output);
  r.finished = HasLine(output, "done");
  r.numpos = ValueOf(output, "numpos");
  r.device0 = ValueOf(output, "device0");
  r.modules = ValuesOf(output, "module");
  r.pid = static_cast<uint32_t>(strtoul(ValueOf(output, "pid").c_str(), nullptr, 10));
  r.d2xxCalls = r.pid != 0 ? BridgeCallsBy(r.pid, mark) : 0;
  return r;
}

std::string Describe(const CountResult& r) {
  std::string modules;
  for (const std::string& m : r.modules) modules += " " + m;
  char text[512];
  snprintf(text, sizeof text,
           "ended=%d exit=0x%lx done=%d numpos=%s device0=%s d2xx-calls=%u "
           "modules:%s",
           r.ended, r.exitCode, r.finished, r.numpos.c_str(), r.device0.c_str(), r.d2xxCalls,
           modules.empty() ? " none" : modules.c_str());
  return text;
}

bool RanClean(const CountResult& r) { return r.ended && r.exitCode == 0 && r.finished; }

void BrokenCase(const DllContext& context, const char* what,
                bool (*plant)(const DllContext&, const std::string&)) {
  SystemD2xxSwap swap;
  char name[200];
  snprintf(name, sizeof name, "broken ftd2xx.dll (%s) put in the system folder", what);
  const bool planted = MoveAside(swap) && plant(context, swap.path);
  CountResult r{};
  if (planted) r = RunCount(SelfPath(), context.tevroPath);
  const bool restored = PutBack(swap);
  if (!Check(planted, name, "error %lu", GetLastError())) return;
  snprintf(name, sizeof name,
           "broken ftd2xx.dll (%s): the load runs to its end, bridge count 0, device 0 is the "
           "driver-port box",
           what);
  Check(RanClean(r) && r.numpos == "0x1" && r.device0 == "Cy", name, "%s", Describe(r).c_str());
  snprintf(name, sizeof name,
           "broken ftd2xx.dll (%s): no D2XX call made, and the library holds no ftd2xx.dll", what);
  Check(RanClean(r) && r.d2xxCalls == 0 && r.modules.empty(), name, "%s", Describe(r).c_str());
  Check(restored, "the stand-in ftd2xx.dll is back in the system folder");
}

bool PlantLacking(const DllContext& context, const std::string& path) {
  return CopyFileA((context.folder + kLackingFixture).c_str(), path.c_str(), FALSE) != 0;
}

bool PlantText(const DllContext&, const std::string& path) { return WriteFileText(path, kNotADll); }

bool PlantFolder(const DllContext&, const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

// --- planted beside the application -------------------------------------------------------

struct AppFolder {
  std::string folder;  // ends in '\'
  std::string exe;
  std::string tevro;
  std::string planted;
  std::string marker;  // the planted library leaves this file when it is loaded
};

bool MakeAppFolder(const DllContext& context, AppFolder& app) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  char folder[MAX_PATH + 64];
  snprintf(folder, sizeof folder, "%stevro-e2e-app-%lu\\", temp, GetCurrentProcessId());
  app.folder = folder;
  app.exe = app.folder + "pos_app.exe";
  app.tevro = app.folder + "TEVRO.DLL";
  app.planted = app.folder + "ftd2xx.dll";
  app.marker = app.planted + ".loaded";
  CreateDirectoryA(app.folder.c_str(), nullptr);
  const std::string self = SelfPath();
  DeleteFileA(app.marker.c_str());
  return CopyFileA(self.c_str(), app.exe.c_str(), FALSE) &&
         CopyFileA(context.tevroPath.c_str(), app.tevro.c_str(), FALSE) &&
         CopyFileA((context.folder + kPlantedFixture).c_str(), app.planted.c_str(), FALSE);
}

void RemoveAppFolder(const AppFolder& app) {
  DeleteFileA(app.marker.c_str());
  DeleteFileA(app.planted.c_str());
  DeleteFileA(app.tevro.c_str());
  DeleteFileA(app.exe.c_str());
  RemoveDirectoryA(app.folder.c_str());
}

bool MarkerLeft(const AppFolder& app) {
  return GetFileAttributesA(app.marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool AnyModuleIn(const CountResult& r, const std::string& folder) {
  for (const std::string& m : r.modules) {
    if (StartsWith(m, folder)) return true;
  }
  return false;
}

void PlantedChecks(const DllContext& context) {
  AppFolder app;
  if (!Check(MakeAppFolder(context, app),
             "planted: an application folder with TEVRO.DLL and a planted ftd2xx.dll")) {
    RemoveAppFolder(app);
    return;
  }
  // The planted library is what the application's own search finds by name, and it leaves
  // its marker when loaded: the two observations below can see a load.
  DWORD code = 1;
  std::string output;
  RunProcess(Quote(app.exe) + " --child load-by-name", kChildTimeoutMs, &code, &output);
  const std::string byName = ValueOf(output, "loaded");
  Check(StartsWith(byName, app.folder) && MarkerLeft(app),
        "planted: LoadLibraryA(\"FTD2XX.DLL\") from that application finds the planted copy, "
        "which leaves its marker",
        "loaded '%s', marker %d", byName.c_str(), MarkerLeft(app));
  DeleteFileA(app.marker.c_str());

  CountResult r = RunCount(app.exe, app.tevro);
  Check(RanClean(r) && r.numpos == "0x101" && !r.modules.empty() && !AnyModuleIn(r, app.folder) &&
            !MarkerLeft(app),
        "planted beside the application, stand-in in the system folder: the system folder's "
        "library is used (1 bridge box), the planted one is not loaded",
        "%s marker=%d", Describe(r).c_str(), MarkerLeft(app));

  SystemD2xxSwap swap;
  const bool moved = MoveAside(swap);
  if (moved) r = RunCount(app.exe, app.tevro);
  const bool restored = PutBack(swap);
  Check(moved && RanClean(r) && r.numpos == "0x1" && r.modules.empty() && !MarkerLeft(app),
        "planted beside the application, none in the system folder: bridge count 0, no "
        "ftd2xx.dll loaded",
        "%s marker=%d", Describe(r).c_str(), MarkerLeft(app));
  Check(restored, "the stand-in ftd2xx.dll is back in the system folder");
  RemoveAppFolder(app);
}

// A D2XX handle is a pointer: on x64 one whose low 32 bits are all ones must open the session
// (OpenPosInterface not -1) and reach the box in every later call, so the library must keep
// the whole handle. Runs in this process, with the fixture in the system folder's place.
void WideHandleCase(const DllContext& context) {
  if (sizeof(void*) == 4) {
    printf(
        "DOES NOT APPLY d2xx: a D2XX handle wider than 32 bits: a 32-bit process has 32-bit "
        "handles\n");
    return;
  }
  ResetBoxes(context);
  const Identity record = {900, 0x71DE0001, 0x20250505};
  SystemD2xxSwap swap;
  const bool planted =
      BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew) &&
      BridgeWriteIdentity(0, record, 0, 0) && MoveAside(swap) &&
      CopyFileA((context.folder + kWideHandleFixture).c_str(), swap.path.c_str(), FALSE) &&
      SetEnvironmentVariableA("TEVRO_E2E_FTD2XX", swap.saved.c_str());
  Tevro t;
  int32_t opened = -1;
  uint32_t serial = 0, kicked = 0;
  LONG issued = 0;
  if (planted && LoadQuietly(context, t, "bridge box behind wide handles")) {
    opened = t.OpenPosInterface(0);
    serial = t.GetSerialNumber();
    kicked = t.KasseOpen();
    t.ClosePosInterface();
    typedef LONG (*IssuedFn)();
    HMODULE fixture = GetModuleHandleA("ftd2xx.dll");
    IssuedFn wideIssued = fixture != nullptr ? reinterpret_cast<IssuedFn>(reinterpret_cast<void*>(
                                                   GetProcAddress(fixture, "WideHandlesIssued")))
                                             : nullptr;
    issued = wideIssued != nullptr ? wideIssued() : 0;
    TevroUnload(t);
  }
  SetEnvironmentVariableA("TEVRO_E2E_FTD2XX", nullptr);
  const bool restored = PutBack(swap);
  Identity after = {0, 0, 0};
  BridgeReadIdentity(0, &after);
  Check(planted && opened != -1 && serial == record.serial && kicked == 1 &&
            after.count == record.count + 1 && issued > 0,
        "d2xx: with handles wider than 32 bits (low 32 bits all ones) the bridge box opens, its "
        "serial number is read, the kick reaches it and the close writes it back",
        "set up %d, open %d, serial 0x%08x, kick %u, counter %u, wide handles handed out %ld",
        planted, opened, serial, kicked, after.count, issued);
  Check(restored, "the stand-in ftd2xx.dll is back in the system folder");
}

}  // namespace

void D2xxFileChecks(const DllContext& context) {
  ResetBoxes(context);
  // One box of each kind: a working D2XX library finds the bridge box as device 0.
  if (!Check(BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew) &&
                 PortPlugIn(context.control, 0),
             "d2xx: one bridge box and one driver-port box set up")) {
    return;
  }
  const CountResult baseline = RunCount(SelfPath(), context.tevroPath);
  Check(RanClean(baseline) && baseline.numpos == "0x101" && baseline.device0 == "FTDI>=1.6",
        "d2xx: with the stand-in in the system folder the bridge box is device 0 (counts 0x101)",
        "%s", Describe(baseline).c_str());
  Check(GetModuleHandleA("ftd2xx.dll") == nullptr,
        "d2xx: this process holds no ftd2xx.dll while the system folder's is swapped");
  BrokenCase(context, "lacking FT_GetStatus", PlantLacking);
  BrokenCase(context, "not a library", PlantText);
  BrokenCase(context, "a folder of that name", PlantFolder);
  PlantedChecks(context);
  WideHandleCase(context);
}

}  // namespace e2e
