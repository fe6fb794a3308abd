// Runs the service tool's core against the simulated world, as tevro.exe runs against
// TEVRO.DLL: the library is loaded afresh when the tool asks for it (bound by its
// decorated export names) and unloaded, with the detach notification, when the run ends.
// Messages are dispatched on the virtual clock; actions can be scheduled on it.
#ifndef TESTS_TOOL_TOOL_HARNESS_H
#define TESTS_TOOL_TOOL_HARNESS_H

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "library.h"
#include "tool.h"

// One line of src/tevro.def.
struct DefExport {
  int ordinal;
  std::string exportName;  // "@KasseOpen$qv"
  std::string plainName;   // "KasseOpen"
};
// The exports src/tevro.def lists, in the order of the file.
std::vector<DefExport> ReadDefExports();

class ToolRun {
 public:
  ToolRun();
  ~ToolRun();

  // Runs the tool with args (without the program name); the library is unloaded again
  // before this returns.
  int Run(const std::vector<std::string>& args);

  // Runs 'action' once the virtual clock is 'ms' past the moment the tool first
  // dispatched messages (0: at that moment, before any time passes).
  void After(uint32_t ms, std::function<void()> action);
  // Ctrl+C 'ms' after the tool first dispatched messages.
  void InterruptAfter(uint32_t ms);
  // Ctrl+C now (for hooks that run inside a library call).
  void Interrupt() { interrupted_ = true; }
  // Runs right after the library was loaded (its scan done), before the command.
  void AfterLoad(std::function<void()> action) { afterLoad_ = std::move(action); }
  // Replaces the export lookup (default: the .def's plain name in the loaded library).
  void LookupWith(std::function<void*(const char*)> lookup) { lookup_ = std::move(lookup); }
  // The machine-wide trace value cannot be changed, as for a user who is no administrator.
  void DenyMachineChanges() { denyMachine_ = true; }
  // The tool (and the library it loads) runs elevated, with user account control on.
  void RunElevated() {
    elevated_ = true;
    hostwin::SetElevated(true);
  }

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  int loads() const { return loads_; }
  // Calls of the trace's registry and file functions of the host.
  int traceHostCalls() const { return traceHostCalls_; }
  // Virtual time the tool spent dispatching messages.
  uint32_t pumpedMs() const { return pumpedMs_; }
  // Virtual time when the tool first dispatched messages.
  uint32_t firstPumpAt() const { return firstPumpAt_; }
  // The unload found a box still selected (the library's "call ClosePosInterface before!").
  static bool UnloadWarned();

 private:
  struct Scheduled {
    uint32_t atMs;
    std::function<void()> action;
    bool done;
  };
  bool Load(tevro_tool::TevroApi* api, std::string* why);
  void Pump(uint32_t ms);
  void RunDue();

  tevro_tool::ToolHost host_;
  std::atomic<bool> interrupted_{false};
  std::unique_ptr<Library> library_;
  std::function<void()> afterLoad_;
  std::function<void*(const char*)> lookup_;
  std::vector<Scheduled> scheduled_;
  bool pumping_ = false;
  uint32_t firstPumpAt_ = 0;
  uint32_t pumpedMs_ = 0;
  std::string out_;
  std::string err_;
  int loads_ = 0;
  bool denyMachine_ = false;
  bool elevated_ = false;
  int traceHostCalls_ = 0;
};

// Where the harness's host puts what the trace commands make: relative names are taken in
// kWorkFolder; the default trace folders of the user and of the machine. The world has
// kWorkFolder; the trace folders are made when the tool asks for them.
extern const char kWorkFolder[];
extern const char kUserTraceFolder[];
extern const char kMachineTraceFolder[];

// The TraceFile value of the user or of the machine as the library reads it; "" for none.
std::string TraceValueOf(bool machine);

#endif  // TESTS_TOOL_TOOL_HARNESS_H
