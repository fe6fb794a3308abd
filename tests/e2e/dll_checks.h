// The end-to-end checks of TEVRO.DLL (x86 or x64) under Wine, grouped by what they look at.
// Each group sets the simulated boxes up itself and loads the library afresh.
#ifndef TESTS_E2E_DLL_CHECKS_H
#define TESTS_E2E_DLL_CHECKS_H

#include <windows.h>

#include <stdint.h>

#include <string>

#include "tevro_library.h"

namespace e2e {

struct DllContext {
  std::string tevroPath;  // the TEVRO.DLL under test
  std::string folder;     // this program's folder, with the fixture DLLs, ending in '\'
  HANDLE control;         // the stand-in port driver's control device
};

// Texts and captions of the library's message boxes.
extern const char kNoBoxText[];
extern const char kNoBoxCaption[];
extern const char kStillOpenText[];
extern const char kStillOpenCaption[];

// Every port box out and factory-fresh, every bridge box forgotten.
bool ResetBoxes(const DllContext& context);

// Loads the library with a watch for the "no box" message box, which must not appear;
// false (after a failed check) when the load or the binding fails.
bool LoadQuietly(const DllContext& context, Tevro& tevro, const char* what);

// The message boxes at load, at ScanForPos and at unload.
void LoadChecks(const DllContext& context);
void UnloadChecks(const DllContext& context);

// Numbering across both variants; every export on every variant.
void NumberingChecks(const DllContext& context);

// The drawer pulse on a driver-port box: KasseOpen's return, the pulse widths.
void PulseChecks(const DllContext& context);

// Several processes: identity records, overlapping sessions on one box.
void ProcessChecks(const DllContext& context);

// A broken ftd2xx.dll in the system folder, a planted one beside the application.
void D2xxFileChecks(const DllContext& context);

// The parts other processes play: dll_check --child ROLE ARGS. Returns the exit status.
int DllChildMain(int argc, char** argv);

}  // namespace e2e

#endif  // TESTS_E2E_DLL_CHECKS_H
