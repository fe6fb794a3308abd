// Running tevro.exe from the checks: processes, output files, result lines.
#include "tool_runs.h"

#include <stdarg.h>
#include <stdio.h>

#include "support/check_support.h"

namespace toolcheck {
namespace {

// An inheritable, empty file in the temporary folder for a child's output. Files rather
// than pipes: a child that uses windows may start Wine's desktop process, which inherits
// the child's standard handles and would keep a pipe from ending.
HANDLE OutputFile(std::string* path) {
  char folder[MAX_PATH];
  char name[MAX_PATH];
  if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "tvo", 0, name) == 0) {
    return INVALID_HANDLE_VALUE;
  }
  *path = name;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
}

// Everything written to the file, without carriage returns; closes and deletes it.
std::string TakeOutput(HANDLE file, const std::string& path) {
  std::string text;
  if (file == INVALID_HANDLE_VALUE) return text;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    for (DWORD i = 0; i < got; ++i) {
      if (chunk[i] != '\r') text.push_back(chunk[i]);
    }
  }
  CloseHandle(file);
  DeleteFileA(path.c_str());
  return text;
}

}  // namespace

bool Check(bool ok, const std::string& name, const std::string& detail) {
  if (detail.empty()) return e2e::Check(ok, name.c_str());
  return e2e::Check(ok, name.c_str(), "%s", detail.c_str());
}

int Summary() { return e2e::Summary(); }

uint64_t NowMs() { return e2e::NowUs() / 1000u; }

std::string Format(const char* format, ...) {
  char buffer[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

namespace {

void DiscardOutput(HANDLE* file, std::string* path) {
  if (*file != INVALID_HANDLE_VALUE) CloseHandle(*file);
  if (!path->empty()) DeleteFileA(path->c_str());
  *file = INVALID_HANDLE_VALUE;
  path->clear();
}

bool StartOnce(std::string line, ToolProcess* process) {
  process->outFile = OutputFile(&process->outPath);
  if (process->outFile == INVALID_HANDLE_VALUE) {
    process->startFailure = Format("output file: error %lu", GetLastError());
    return false;
  }
  process->errFile = OutputFile(&process->errPath);
  if (process->errFile == INVALID_HANDLE_VALUE) {
    process->startFailure = Format("error file: error %lu", GetLastError());
    DiscardOutput(&process->outFile, &process->outPath);
    return false;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = process->outFile;
  startup.hStdError = process->errFile;
  PROCESS_INFORMATION info = {};
  process->startMs = NowMs();
  const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &info);
  const DWORD error = GetLastError();
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (!started) {
    process->startFailure = Format("CreateProcessA: error %lu", error);
    DiscardOutput(&process->outFile, &process->outPath);
    DiscardOutput(&process->errFile, &process->errPath);
    return false;
  }
  CloseHandle(info.hThread);
  process->process = info.hProcess;
  process->pid = info.dwProcessId;
  process->startFailure.clear();
  return true;
}

}  // namespace

bool StartTool(const std::string& program, const std::vector<std::string>& args,
               ToolProcess* process) {
  std::string line = "\"" + program + "\"";
  for (const std::string& arg : args) line += " \"" + arg + "\"";
  // A failure to start is the machine's, not the tool's: Wine has been seen to refuse
  // one start now and then under load. Nothing was started, so trying again is safe.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(250);
    if (StartOnce(line, process)) return true;
  }
  return false;
}

ToolRun FinishTool(ToolProcess& process, DWORD timeoutMs) {
  ToolRun run;
  run.pid = process.pid;
  run.startFailure = process.startFailure;
  if (process.process != nullptr) {
    run.ended = WaitForSingleObject(process.process, timeoutMs) == WAIT_OBJECT_0;
    if (!run.ended) {
      TerminateProcess(process.process, 0xDEAD);
      WaitForSingleObject(process.process, 5000);
    }
    run.elapsedMs = NowMs() - process.startMs;
    GetExitCodeProcess(process.process, &run.code);
    CloseHandle(process.process);
    process.process = nullptr;
  }
  run.out = TakeOutput(process.outFile, process.outPath);
  run.err = TakeOutput(process.errFile, process.errPath);
  process.outFile = INVALID_HANDLE_VALUE;
  process.errFile = INVALID_HANDLE_VALUE;
  return run;
}

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args, DWORD timeoutMs) {
  ToolProcess process;
  if (!StartTool(program, args, &process)) return FinishTool(process, 0);
  return FinishTool(process, timeoutMs);
}

std::string Describe(const ToolRun& run) {
  if (!run.startFailure.empty()) return "not started (" + run.startFailure + ")";
  return Format("%sexit %lu after %llu ms", run.ended ? "" : "(terminated) ", run.code,
                static_cast<unsigned long long>(run.elapsedMs)) +
         ", out '" + run.out + "', err '" + run.err + "'";
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text = "tevro";
  for (const std::string& arg : args) text += " " + (arg.empty() ? std::string("''") : arg);
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace toolcheck
