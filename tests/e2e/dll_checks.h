// The groups of dll_check, the end-to-end checks of TEVRO.DLL (x86 or x64) under Wine; each
// lives in the folder of what it looks at (loading/, numbering/, pulse/, identity/, sharing/),
// sets the simulated boxes up itself and loads the library afresh.
#ifndef TESTS_E2E_DLL_CHECKS_H
#define TESTS_E2E_DLL_CHECKS_H

#include <windows.h>

#include <stdint.h>

#include <string>

#include "support/tevro_library.h"

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

// The message boxes at load, at ScanForPos and at unload (loading/message_box_checks.cpp).
void LoadChecks(const DllContext& context);
void UnloadChecks(const DllContext& context);

// Numbering across both variants; every export on every variant (numbering/).
void NumberingChecks(const DllContext& context);

// The drawer pulse on a driver-port box: KasseOpen's return, the pulse widths
// (pulse/dispatched_pulse_checks.cpp).
void PulseChecks(const DllContext& context);

// An identity record written by one process, read back by another (identity/).
void IdentityAcrossProcessesChecks(const DllContext& context);

// Two sessions of two processes overlapping on one box, each kicking (sharing/).
void OverlappingSessionsChecks(const DllContext& context);

// A broken ftd2xx.dll in the system folder, a planted one beside the application
// (loading/d2xx_library_checks.cpp).
void D2xxFileChecks(const DllContext& context);

// The parts other processes play: dll_check --child ROLE ARGS (dll_check_children.cpp).
// Returns the exit status.
int DllChildMain(int argc, char** argv);

}  // namespace e2e

#endif  // TESTS_E2E_DLL_CHECKS_H
