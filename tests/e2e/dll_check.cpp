// dll_check: TEVRO.DLL end to end under Wine, built for the architecture of the DLL it
// checks, against the stand-in port driver and the stand-in ftd2xx.dll in the system folder
// as this process sees it (scripts/wine-run --ftd2xx, or --ftd2xx32 for a 32-bit process):
// the message boxes at load and unload and the D2XX library it takes (loading/), numbering
// and every export on every variant (numbering/), the pulse while the caller dispatches
// (pulse/), identity records across processes (identity/), overlapping sessions (sharing/).
//   dll_check TEVRO_DLL              runs every check; PASS/FAIL lines and a summary
//   dll_check --child ROLE ARGS...   a part played in another process (dll_check_children.cpp)
#include <stdio.h>
#include <string.h>

#include "dll_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

using namespace e2e;

namespace {

std::string OwnFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of('\\') + 1);
}

bool SystemD2xxPresent() {
  char path[MAX_PATH];
  UINT n = GetSystemDirectoryA(path, sizeof path);
  std::string file = std::string(path, n) + "\\ftd2xx.dll";
  return GetFileAttributesA(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int main(int argc, char** argv) {
  // A process that crashes (this one or a child, which inherits the mode) ends at once with
  // its exception code, instead of waiting behind a crash dialog.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  if (argc >= 2 && strcmp(argv[1], "--child") == 0) return DllChildMain(argc - 2, argv + 2);
  if (argc != 2) {
    fprintf(stderr, "usage: dll_check TEVRO_DLL\n");
    return 2;
  }
  DllContext context;
  context.tevroPath = argv[1];
  context.folder = OwnFolder();
  context.control = drelvansim::ControlOpen();
  const bool ready =
      Check(context.control != INVALID_HANDLE_VALUE, "setup: the stand-in port driver answers",
            "error %lu (is the driver service running?)", GetLastError()) &
      Check(SystemD2xxPresent(), "setup: the stand-in ftd2xx.dll is in the system folder") &
      Check(GetFileAttributesA(context.tevroPath.c_str()) != INVALID_FILE_ATTRIBUTES,
            "setup: TEVRO.DLL is there", "%s", context.tevroPath.c_str()) &
      Check(ResetBoxes(context), "setup: the simulated boxes reset");
  if (ready) {
    LoadChecks(context);
    NumberingChecks(context);
    PulseChecks(context);
    IdentityAcrossProcessesChecks(context);
    OverlappingSessionsChecks(context);
    UnloadChecks(context);
    D2xxFileChecks(context);
  }
  drelvansim::ControlClose(context.control);
  return Summary();
}
