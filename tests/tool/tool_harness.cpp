#include "tool_harness.h"

#include <windows.h>

#include <dlfcn.h>

#include <fstream>
#include <regex>

#include "world.h"

std::vector<DefExport> ReadDefExports() {
  std::vector<DefExport> exports;
  std::ifstream def(TEVRO_DEF_FILE);
  EXPECT_TRUE(def.good()) << "cannot read " << TEVRO_DEF_FILE;
  const std::regex entry(R"re(^\s*"([^"]+)"\s*=\s*([A-Za-z_]\w*)\s+@(\d+)\s*$)re");
  std::string line;
  while (std::getline(def, line)) {
    std::smatch m;
    if (std::regex_match(line, m, entry)) {
      exports.push_back(DefExport{std::stoi(m[3]), m[1], m[2]});
    }
  }
  return exports;
}

const char kWorkFolder[] = "C:\\work";
const char kUserTraceFolder[] = "C:\\Users\\tester\\AppData\\Local\\TEVRO";
const char kMachineTraceFolder[] = "C:\\ProgramData\\TEVRO";

namespace {

using tevro_tool::HostStatus;
using tevro_tool::TraceScope;

// The TraceFile value as the library reads it, through the stand-in's registry.
HostStatus ReadTraceValue(TraceScope scope, std::string* value) {
  HKEY key = nullptr;
  HKEY root = scope == TraceScope::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  if (RegOpenKeyExA(root, "Software\\TEVRO", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return HostStatus::kAbsent;
  }
  char text[MAX_PATH] = "";
  DWORD type = 0;
  DWORD size = sizeof text - 1;
  LSTATUS status =
      RegQueryValueExA(key, "TraceFile", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || size == 0) return HostStatus::kAbsent;
  text[size] = '\0';
  *value = text;
  return HostStatus::kOk;
}

}  // namespace

std::string TraceValueOf(bool machine) {
  std::string value;
  ReadTraceValue(machine ? TraceScope::kMachine : TraceScope::kUser, &value);
  return value;
}

ToolRun::ToolRun() {
  host_.loadLibrary = [this](tevro_tool::TevroApi* api, std::string* why) {
    return Load(api, why);
  };
  host_.out = [this](const std::string& text) { out_ += text; };
  host_.err = [this](const std::string& text) { err_ += text; };
  host_.nowMs = [] { return static_cast<uint64_t>(hostwin::NowMs()); };
  host_.pumpMessages = [this](uint32_t ms) { Pump(ms); };
  host_.interrupted = &interrupted_;

  host_.readTraceValue = [this](TraceScope scope, std::string* value, std::string*) {
    ++traceHostCalls_;
    return ReadTraceValue(scope, value);
  };
  host_.writeTraceValue = [this](TraceScope scope, const std::string& value, std::string* error) {
    ++traceHostCalls_;
    if (scope == TraceScope::kMachine && denyMachine_) {
      *error = "access denied";
      return HostStatus::kDenied;
    }
    hostwin::SetRegistryString(scope == TraceScope::kMachine, "Software\\TEVRO", "TraceFile",
                               value);
    return HostStatus::kOk;
  };
  host_.removeTraceValue = [this](TraceScope scope, std::string* error) {
    ++traceHostCalls_;
    if (scope == TraceScope::kMachine && denyMachine_) {
      *error = "access denied";
      return HostStatus::kDenied;
    }
    std::string value;
    if (ReadTraceValue(scope, &value) == HostStatus::kAbsent) return HostStatus::kAbsent;
    hostwin::DeleteRegistryValue(scope == TraceScope::kMachine, "Software\\TEVRO", "TraceFile");
    return HostStatus::kOk;
  };
  host_.fullPath = [this](const std::string& name, std::string* full, std::string*) {
    ++traceHostCalls_;
    bool absolute = name.size() > 2 && name[1] == ':' && name[2] == '\\';
    *full = absolute ? name : std::string(kWorkFolder) + "\\" + name;
    return true;
  };
  host_.traceFolder = [this](TraceScope scope, std::string* folder, std::string*) {
    ++traceHostCalls_;
    *folder = scope == TraceScope::kUser ? kUserTraceFolder : kMachineTraceFolder;
    hostwin::AddFolder(*folder);
    return true;
  };
  host_.touchFile = [this](const std::string& path, std::string* error) {
    ++traceHostCalls_;
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      *error = "the folder does not exist";
      return false;
    }
    CloseHandle(file);
    return true;
  };
  host_.runsElevated = [this] { return elevated_; };
  host_.traceEnvironment = [this](std::string* value) {
    ++traceHostCalls_;
    char text[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("TEVRO_TRACE", text, sizeof text);
    if (length == 0 || length >= sizeof text) return false;
    value->assign(text, length);
    return true;
  };
  host_.readFile = [this](const std::string& path, std::string* text, std::string*) {
    ++traceHostCalls_;
    if (!hostwin::FileExists(path)) return HostStatus::kAbsent;
    *text = hostwin::FileText(path);
    return HostStatus::kOk;
  };
}

ToolRun::~ToolRun() = default;

int ToolRun::Run(const std::vector<std::string>& args) {
  int code = tevro_tool::RunTool(args, host_);
  library_.reset();  // process detach, unload
  return code;
}

void ToolRun::After(uint32_t ms, std::function<void()> action) {
  scheduled_.push_back(Scheduled{ms, std::move(action), false});
}

void ToolRun::InterruptAfter(uint32_t ms) {
  After(ms, [this] { interrupted_ = true; });
}

bool ToolRun::UnloadWarned() {
  for (const hostwin::MessageBoxRecord& box : hostwin::MessageBoxes()) {
    if (box.text == "call ClosePosInterface before!") return true;
  }
  return false;
}

bool ToolRun::Load(tevro_tool::TevroApi* api, std::string* why) {
  ++loads_;
  library_ = std::make_unique<Library>();
  if (afterLoad_) afterLoad_();
  // A second reference to the loaded object, only for the lookups.
  void* handle = dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) {
    *why = "library not loaded";
    return false;
  }
  std::vector<DefExport> exports = ReadDefExports();
  auto byDef = [&](const char* exportName) -> void* {
    for (const DefExport& e : exports) {
      if (e.exportName == exportName) return dlsym(handle, e.plainName.c_str());
    }
    return nullptr;
  };
  bool ok = lookup_ ? tevro_tool::BindApiOrExplain(lookup_, "TEVRO.DLL", api, why)
                    : tevro_tool::BindApiOrExplain(byDef, "TEVRO.DLL", api, why);
  dlclose(handle);
  return ok;
}

void ToolRun::RunDue() {
  for (size_t i = 0; i < scheduled_.size(); ++i) {  // actions may schedule more
    if (!scheduled_[i].done && hostwin::NowMs() - firstPumpAt_ >= scheduled_[i].atMs) {
      scheduled_[i].done = true;
      std::function<void()> action = scheduled_[i].action;
      action();
    }
  }
}

// As the Windows pump: dispatches in 1 ms steps and returns early once interrupted.
void ToolRun::Pump(uint32_t ms) {
  if (!pumping_) {
    pumping_ = true;
    firstPumpAt_ = hostwin::NowMs();
    RunDue();
  }
  if (ms == 0) hostwin::Pump();
  for (uint32_t i = 0; i < ms && !interrupted_; ++i) {
    hostwin::RunFor(1);
    ++pumpedMs_;
    RunDue();
  }
}
