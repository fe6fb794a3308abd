// Support for the end-to-end checks run under Wine: result lines, child processes, the
// D2XX library bound at run time, the real clock.
#ifndef TESTS_E2E_SUPPORT_CHECK_SUPPORT_H
#define TESTS_E2E_SUPPORT_CHECK_SUPPORT_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "d2xx_functions.h"

namespace e2e {

// Prints "PASS name" or "FAIL name: detail" and counts the result; returns ok.
bool Check(bool ok, const char* name, const char* detailFormat = "", ...);

// Checks that no driver-port box's EEPROM counted a timing fault (a data-in change while
// selected with the clock high) during this run, its child processes' requests included,
// beyond those a check caused on purpose; then prints "N passed, M failed" and returns the
// process exit status (0 when nothing failed). The stand-in driver's tally is read when the
// program starts and here, so every check program keeps the library to the part's rule.
int Summary();

// A check made `count` timing faults on purpose (to see the driver show them): Summary's
// check allows exactly these on top of the library's none.
void TimingFaultsCausedOnPurpose(uint32_t count);

// Microseconds on the performance counter, the clock the simulated boxes log with.
uint64_t NowUs();

// Runs a command line, waiting at most timeoutMs; false when it could not be started or
// did not end in time (it is then terminated). *output receives its standard output.
bool RunProcess(const std::string& commandLine, DWORD timeoutMs, DWORD* exitCode,
                std::string* output = nullptr);

// Runs a tool (quoted path plus arguments) for at most 30 s; true when it ended with exit
// status 0. Its output goes to *output, or is dropped.
bool RunTool(const std::string& tool, const std::string& arguments, std::string* output = nullptr);

// A process run by RunProcess on a thread of its own, so that the caller can go on meanwhile.
struct BackgroundRun {
  std::string commandLine;
  DWORD timeoutMs;
  DWORD exitCode;
  std::string output;
  bool ended;
  HANDLE thread;
};
void StartBackground(BackgroundRun& run, const std::string& commandLine, DWORD timeoutMs);
// Waits for the run to end (at most its time-out and a little more).
void JoinBackground(BackgroundRun& run);

// Values of the lines "KEY=VALUE" in a child's output (carriage returns ignored).
std::vector<std::string> ValuesOf(const std::string& output, const char* key);
// The first such value, or "" when there is none.
std::string ValueOf(const std::string& output, const char* key);
// True when the output has a line that is exactly `line`.
bool HasLine(const std::string& output, const char* line);

// This program's own path, plain and quoted (for starting copies of itself).
std::string SelfPath();
std::string SelfCommand();

// Quotes an argument for a command line.
std::string Quote(const std::string& argument);

// The D2XX functions, bound by name from a loaded library.
typedef FT_STATUS FtStatus;
typedef FT_HANDLE FtHandle;
struct D2xx {
  HMODULE module;
  D2XX_FUNCTIONS(D2XX_POINTER_MEMBER)
};

// Loads `name` by the normal search and binds every function; the number bound is in
// *bound (kD2xxFunctionCount for a complete library). False when the library does not load.
bool BindD2xx(const char* name, D2xx& d2xx, int* bound);

}  // namespace e2e

#endif  // TESTS_E2E_SUPPORT_CHECK_SUPPORT_H
