// The tool resolves the library by the decorated export names of src/tevro.def.
#include <dlfcn.h>

#include <gmock/gmock.h>

#include "tool_harness.h"
#include "world_setup.h"

using ::testing::HasSubstr;

namespace {

TEST(ExportNames, AreTheDefFileNamesInOrdinalOrder) {
  std::vector<DefExport> def = ReadDefExports();
  ASSERT_EQ(def.size(), 26u);
  std::vector<std::string> expected(def.size());
  for (const DefExport& e : def) {
    ASSERT_GE(e.ordinal, 1);
    ASSERT_LE(e.ordinal, 26);
    expected[e.ordinal - 1] = e.exportName;
  }
  EXPECT_EQ(tevro_tool::ExportNames(), expected);
  EXPECT_EQ(tevro_tool::ExportNames()[5], "@KasseOpen$qv");
  EXPECT_EQ(tevro_tool::ExportNames()[10], "@GetSwitch$qpvpc");
}

class BindingTest : public ToolTest {};

TEST_F(BindingTest, AMissingExportIsNamedAndTheCommandFailsWithoutTouchingABox) {
  AddStandardBoxes();
  ToolRun run;
  std::vector<DefExport> def = ReadDefExports();
  run.LookupWith([&](const char* name) -> void* {
    if (std::string(name) == "@GetMfgDate$qpv" || std::string(name) == "@KasseOpen$qv") {
      return nullptr;
    }
    void* handle = dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    void* address = nullptr;
    for (const DefExport& e : def) {
      if (e.exportName == name) address = dlsym(handle, e.plainName.c_str());
    }
    dlclose(handle);
    return address;
  });
  size_t callsBefore = 0;
  run.AfterLoad([&] { callsBefore = DeviceCalls(); });
  EXPECT_EQ(run.Run({"kick", "0"}), 1);
  EXPECT_THAT(run.err(), HasSubstr("TEVRO.DLL lacks the exports @KasseOpen$qv, @GetMfgDate$qpv"));
  EXPECT_EQ(DeviceCalls(), callsBefore);  // nothing after the load's own scan
  EXPECT_EQ(hostwin::BridgeBoxAt(0).kicks, 0u);
}

TEST_F(BindingTest, ALibraryThatDoesNotLoadIsExitCode1) {
  tevro_tool::ToolHost host;
  std::string out, err;
  host.loadLibrary = [](tevro_tool::TevroApi*, std::string* why) {
    *why = "cannot load C:\\tools\\TEVRO.DLL (error 126)";
    return false;
  };
  host.out = [&](const std::string& t) { out += t; };
  host.err = [&](const std::string& t) { err += t; };
  EXPECT_EQ(tevro_tool::RunTool({"list"}, host), 1);
  EXPECT_EQ(err, "tevro: cannot load C:\\tools\\TEVRO.DLL (error 126)\n");
  EXPECT_EQ(out, "");
}

}  // namespace
