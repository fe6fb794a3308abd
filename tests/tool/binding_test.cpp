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

// Every slot receives the function the .def maps its export name to.
TEST_F(BindingTest, EachSlotGetsTheFunctionOfItsExportName) {
  Library lib;
  void* handle = dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  std::vector<DefExport> def = ReadDefExports();
  std::vector<std::string> asked;
  tevro_tool::TevroApi api{};
  std::vector<std::string> missing;
  ASSERT_TRUE(tevro_tool::BindApi(
      [&](const char* name) -> void* {
        asked.push_back(name);
        for (const DefExport& e : def) {
          if (e.exportName == name) return dlsym(handle, e.plainName.c_str());
        }
        return nullptr;
      },
      &api, &missing));
  EXPECT_TRUE(missing.empty());
  EXPECT_EQ(asked, tevro_tool::ExportNames());
  EXPECT_EQ(reinterpret_cast<void*>(api.KasseOpen), reinterpret_cast<void*>(lib.KasseOpen));
  EXPECT_EQ(reinterpret_cast<void*>(api.KasseOpenP), reinterpret_cast<void*>(lib.KasseOpenP));
  EXPECT_EQ(reinterpret_cast<void*>(api.GetSwitch), reinterpret_cast<void*>(lib.GetSwitch));
  EXPECT_EQ(reinterpret_cast<void*>(api.GetSwitchP), reinterpret_cast<void*>(lib.GetSwitchP));
  EXPECT_EQ(reinterpret_cast<void*>(api.OpenPosInterface),
            reinterpret_cast<void*>(lib.OpenPosInterface));
  EXPECT_EQ(reinterpret_cast<void*>(api.OpenPosInterfaceV),
            reinterpret_cast<void*>(lib.OpenPosInterfaceV));
  EXPECT_EQ(reinterpret_cast<void*>(api.SetLastOpenCnt),
            reinterpret_cast<void*>(lib.SetLastOpenCnt));
  EXPECT_EQ(reinterpret_cast<void*>(api.ClosePosInterfaceP),
            reinterpret_cast<void*>(lib.ClosePosInterfaceP));
  dlclose(handle);
}

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
