#include "tool_harness.h"

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

ToolRun::ToolRun() {
  host_.loadLibrary = [this](tevro_tool::TevroApi* api, std::string* why) {
    return Load(api, why);
  };
  host_.out = [this](const std::string& text) { out_ += text; };
  host_.err = [this](const std::string& text) { err_ += text; };
  host_.nowMs = [] { return static_cast<uint64_t>(hostwin::NowMs()); };
  host_.pumpMessages = [this](uint32_t ms) { Pump(ms); };
  host_.interrupted = &interrupted_;
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
