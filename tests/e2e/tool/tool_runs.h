// Running tevro.exe from the checks under Wine: result lines, the real clock, and the tool
// started as its own process with its standard output and error caught in files.
#ifndef TESTS_E2E_TOOL_TOOL_RUNS_H
#define TESTS_E2E_TOOL_TOOL_RUNS_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace toolcheck {

// Prints "PASS name" or "FAIL name: detail" and counts the result; returns ok.
bool Check(bool ok, const std::string& name, const std::string& detail = "");

// Prints "N passed, M failed"; returns the exit status (0 when something passed and
// nothing failed).
int Summary();

// Milliseconds on the performance counter.
uint64_t NowMs();

// printf into a std::string.
std::string Format(const char* format, ...);

// What one run of the tool did.
struct ToolRun {
  bool ended = false;  // ended by itself within its time limit (else it was terminated)
  DWORD code = 0xFFFFFFFF;
  DWORD pid = 0;
  std::string out;  // standard output, carriage returns removed
  std::string err;  // standard error, carriage returns removed
  uint64_t elapsedMs = 0;
  std::string startFailure;  // why it could not be started, when it was not
};

// A run of the tool that has been started and not yet collected.
struct ToolProcess {
  HANDLE process = nullptr;
  DWORD pid = 0;
  HANDLE outFile = INVALID_HANDLE_VALUE;
  HANDLE errFile = INVALID_HANDLE_VALUE;
  std::string outPath;
  std::string errPath;
  uint64_t startMs = 0;
  std::string startFailure;  // the step that failed and its error, when not started
};

// Starts `program` with `args` (each quoted), trying again a few times when the output
// files or the process cannot be created. False when it could not be started.
bool StartTool(const std::string& program, const std::vector<std::string>& args,
               ToolProcess* process);

// Waits for the run at most timeoutMs (then terminates it) and collects its results.
ToolRun FinishTool(ToolProcess& process, DWORD timeoutMs);

// StartTool and FinishTool in one.
ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
                DWORD timeoutMs = 60000);

// "exit 1, out '...', err '...'" for a failure detail.
std::string Describe(const ToolRun& run);

// The command line as typed: "tevro kick 1 --wait" (an empty argument shown as '').
std::string Joined(const std::vector<std::string>& args);

bool Contains(const std::string& text, const std::string& part);

}  // namespace toolcheck

#endif  // TESTS_E2E_TOOL_TOOL_RUNS_H
