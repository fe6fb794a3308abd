// World configuration, the virtual clock and the trace.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "models/eeprom_fault_text.h"
#include "state.h"

namespace hostwin {

State& S() {
  static State state;
  return state;
}

void Record(const std::string& call, const std::string& args) {
  S().trace.push_back(TraceEntry{call, args});
}

std::string Hex(const void* data, size_t length) {
  std::string out;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    char text[4];
    snprintf(text, sizeof text, "%02x", bytes[i]);
    if (i != 0) out += ' ';
    out += text;
  }
  return out;
}

std::string HexValue(uint64_t value) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void Reset() {
  FreeDescriptors();
  S() = State{};
  S().env["windir"] = "C:\\WINDOWS";
  // The machine-wide folder for programs' data, which every user may add files to.
  S().env["ProgramData"] = "C:\\ProgramData";
  S().folders.push_back("c:\\programdata");
  // A test run can switch the library's trace on for every test from outside, to show that
  // tracing changes no result and no request.
  if (const char* trace = getenv("TEVRO_TRACE")) S().env["TEVRO_TRACE"] = trace;
}

void SetEnv(const std::string& name, const std::string& value) { S().env[name] = value; }
void UnsetEnv(const std::string& name) { S().env.erase(name); }

std::string SystemD2xxPath() {
  auto it = S().env.find("windir");
  return (it == S().env.end() ? std::string() : it->second) + "\\system32\\ftd2xx.dll";
}

void SetD2xxFile(D2xxFile file) { S().d2xxFile = file; }
void SetD2xxMissingFunction(const std::string& name) { S().missingFunction = name; }
void SetPlantedD2xx(bool planted) { S().planted = planted; }
bool D2xxLoaded() { return S().d2xxLoaded; }
bool PlantedD2xxLoaded() { return S().plantedLoaded; }
void SetNextBridgeHandle(uint64_t value) {
  S().nextHandle = value;
  S().nextHandleSet = true;
}

sim::BridgeBox& AddBridgeBox(int deviceNumber, uint32_t userAreaSize) {
  S().bridgePresent[deviceNumber] = true;
  sim::BridgeBoxInit(S().bridges[deviceNumber], userAreaSize);
  return S().bridges[deviceNumber];
}

void ReplugBridgeBox(int deviceNumber) {
  S().bridgePresent[deviceNumber] = true;
  S().bridges[deviceNumber].present = true;
}

sim::BridgeBox& BridgeBoxAt(int deviceNumber) { return S().bridges[deviceNumber]; }

void RemoveBridgeBox(int deviceNumber) {
  S().bridgePresent[deviceNumber] = false;
  S().bridges[deviceNumber].present = false;
}

void FailFtCall(uint32_t k, FtFault fault) {
  S().ftFaultAt = k == 0 ? 0 : S().ftCalls + k;
  S().ftFault = fault;
}

size_t FtCalls() { return S().ftCalls; }

int OpenBridgeHandles() { return static_cast<int>(S().ftHandles.size()); }

sim::PortBox& AddPortBox(int index, uint8_t status) {
  S().portPresent[index] = true;
  sim::PortBoxInit(S().ports[index], status);
  return S().ports[index];
}

sim::PortBox& PortBoxAt(int index) { return S().ports[index]; }

void RemovePortBox(int index) {
  if (S().portPresent[index]) sim::PortBoxPullOut(S().ports[index], NowMs());
  S().portPresent[index] = false;
}

void OnDeviceRequest(std::function<bool(int, uint32_t, const uint8_t*)> hook) {
  S().deviceHook = std::move(hook);
}

void ReplugPortBox(int index) {
  S().portPresent[index] = true;
  S().ports[index].present = true;
  S().ports[index].pullOutBefore = 0;
}

int OpenDeviceHandles() { return static_cast<int>(S().deviceHandles.size()); }

std::vector<std::string> PortEepromFaults() {
  std::vector<std::string> lines;
  for (int index = 0; index < kMaxPortBoxes; ++index) {
    const sim::Eeprom93c46& eeprom = S().ports[index].eeprom;
    if (eeprom.ignoredWhileBusy != 0) {
      lines.push_back("port box " + std::to_string(index) + ": " +
                      std::to_string(eeprom.ignoredWhileBusy) +
                      " start bit(s) sent into the EEPROM while it was still programming");
    }
    if (eeprom.timingFaults == 0) continue;
    char fault[sim::kEepromFaultTextSize];
    sim::EepromTimingFaultText(eeprom.firstTimingFault, fault, sizeof fault);
    char line[sizeof fault + 80];
    snprintf(line, sizeof line, "port box %d: %u EEPROM timing fault%s, the first: %s", index,
             eeprom.timingFaults, eeprom.timingFaults == 1 ? "" : "s", fault);
    lines.push_back(line);
  }
  return lines;
}

uint32_t NowMs() { return static_cast<uint32_t>(S().nowUs / 1000); }
uint64_t NowUs() { return S().nowUs; }
void AdvanceMs(uint32_t ms) { AdvanceToUs(S().nowUs + 1000 * static_cast<uint64_t>(ms)); }
void AdvanceUs(uint64_t us) { AdvanceToUs(S().nowUs + us); }
void SetCoarseTicks(bool coarse) { S().coarseTicks = coarse; }

uint64_t TickAtOrBefore(uint64_t us) { return S().coarseTicks ? us - us % kCoarseTickUs : us; }

uint64_t DueAfterUs(uint64_t us) {
  uint64_t due = TickAtOrBefore(S().nowUs) + us;
  if (S().coarseTicks && due % kCoarseTickUs != 0) due += kCoarseTickUs - due % kCoarseTickUs;
  return due > S().nowUs ? due : S().nowUs;
}

uint64_t WaitEndUs(uint32_t ms) { return DueAfterUs(1000 * static_cast<uint64_t>(ms)); }

int Pump() {
  int ran = 0;
  // A callback may set or kill timers: look the timer up afresh after each one.
  std::vector<UINT_PTR> due;
  for (const Timer& t : S().timers) {
    if (t.thread == S().thread && S().nowUs >= t.dueUs) due.push_back(t.id);
  }
  for (UINT_PTR id : due) {
    for (Timer& t : S().timers) {
      if (t.id != id) continue;
      t.dueUs = WaitEndUs(t.elapseMs);
      TIMERPROC proc = t.proc;
      TRACE_CALL("WM_TIMER", HexValue(id));
      Callout inLibrary;
      proc(nullptr, WM_TIMER, id, GetTickCount());
      ++ran;
      break;
    }
  }
  return ran;
}

void RunFor(uint32_t ms) {
  for (uint32_t i = 0; i < ms; ++i) {
    AdvanceMs(1);
    Pump();
  }
}

void FailTimerCreation(int count) { S().failSetTimer = count; }
size_t ActiveTimers() { return S().timers.size() + PoolTimersArmed(); }

const std::vector<MessageBoxRecord>& MessageBoxes() { return S().messageBoxes; }
const std::vector<BeepRecord>& Beeps() { return S().beeps; }
void OnMessageBox(std::function<void(const MessageBoxRecord&)> hook) {
  S().messageBoxHook = std::move(hook);
}

const std::vector<TraceEntry>& Trace() { return S().trace; }

std::vector<std::string> TraceTexts(const std::string& callPrefix) {
  std::vector<std::string> out;
  for (const TraceEntry& e : S().trace) {
    if (e.call.compare(0, callPrefix.size(), callPrefix) == 0) out.push_back(e.Text());
  }
  return out;
}

namespace {

// Call names by counter slot; slots outlive Reset(), their counts do not.
const char* gCallNames[kMaxCallKinds];
int gCallKinds = 0;

int FindCallSlot(const char* call) {
  for (int slot = 0; slot < gCallKinds; ++slot) {
    if (strcmp(gCallNames[slot], call) == 0) return slot;
  }
  return -1;
}

}  // namespace

int CallSlot(const char* call) {
  int slot = FindCallSlot(call);
  if (slot >= 0) return slot;
  if (gCallKinds == kMaxCallKinds) {
    fprintf(stderr, "hostwin: more than %d call names to count\n", kMaxCallKinds);
    abort();
  }
  gCallNames[gCallKinds] = call;
  return gCallKinds++;
}

size_t CountCalls(const std::string& call) {
  int slot = FindCallSlot(call.c_str());
  return slot < 0 ? 0 : S().callCounts[slot];
}

void ClearTrace() {
  S().trace.clear();
  for (size_t& count : S().callCounts) count = 0;
}

void SetTraceEnabled(bool enabled) { S().traceEnabled = enabled; }
bool TraceEnabled() { return S().traceEnabled; }

}  // namespace hostwin
