// Discovery at load and on ScanForPos, the D2XX library's file test and binding, and
// the load and unload notifications.
#include <gmock/gmock.h>

#include "library.h"

using hostwin::D2xxFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const char kNoBoxText[] = "DLL_PROCESS_ATTACH: No PosInterface found!";
const char kNoBoxCaption[] = "Info from TEVRO.DLL";

class ScanTest : public WorldTest {
 protected:
  void InstallBridgeBoxes(std::initializer_list<int> numbers) {
    hostwin::SetD2xxFile(D2xxFile::kPresent);
    for (int n : numbers) hostwin::AddBridgeBox(n);
  }
};

TEST_F(ScanTest, NoBoxAtLoadShowsTheInformationBoxAndTheLoadSucceeds) {
  Library lib;
  ASSERT_EQ(hostwin::MessageBoxes().size(), 1u);
  const auto& box = hostwin::MessageBoxes()[0];
  EXPECT_EQ(box.text, kNoBoxText);
  EXPECT_EQ(box.caption, kNoBoxCaption);
  EXPECT_EQ(box.type, 0x40u);
  EXPECT_FALSE(box.hasOwner);
  EXPECT_EQ(lib.GetNumPos(), 0u);
}

TEST_F(ScanTest, ScanForPosWithNoBoxShowsTheSameTextAgain) {
  Library lib;
  EXPECT_EQ(lib.ScanForPos(), 0u);
  ASSERT_EQ(hostwin::MessageBoxes().size(), 2u);
  EXPECT_EQ(hostwin::MessageBoxes()[1].text, kNoBoxText);
  EXPECT_EQ(hostwin::MessageBoxes()[1].caption, kNoBoxCaption);
}

TEST_F(ScanTest, CountsBridgeBoxesUpToTheFirstGap) {
  struct Case {
    std::vector<int> boxes;
    uint32_t packed;
  };
  const Case cases[] = {
      {{0}, 0x0100},
      {{0, 1, 2}, 0x0300},
      {{0, 2}, 0x0100},  // a box behind a gap is not counted
      {{1}, 0x0000},
  };
  for (const Case& c : cases) {
    hostwin::Reset();
    hostwin::SetD2xxFile(D2xxFile::kPresent);
    for (int n : c.boxes) hostwin::AddBridgeBox(n);
    Library lib;
    EXPECT_EQ(lib.GetNumPos(), c.packed);
    EXPECT_EQ(lib.ScanForPos(), c.packed);
    EXPECT_EQ(hostwin::MessageBoxes().size(), c.packed == 0 ? 2u : 0u);
    EXPECT_EQ(hostwin::OpenBridgeHandles(), 0);
  }
}

TEST_F(ScanTest, TenBridgeBoxesAreCountedAndTheEleventhProbeMakesNoD2xxCall) {
  InstallBridgeBoxes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x0A00u);
  std::vector<std::string> opens = hostwin::TraceTexts("FT_Open");
  ASSERT_EQ(opens.size(), 10u);
  EXPECT_EQ(opens.back(), "FT_Open(9)");
  EXPECT_EQ(hostwin::CountCalls("Sleep"), 0u);  // the scan ended at index 10, not at a failed open
}

TEST_F(ScanTest, EachProbeIsACompleteOpenAndCloseAndTheLastOneRetriesAfter10ms) {
  InstallBridgeBoxes({0});
  uint32_t start = hostwin::NowMs();
  Library lib;
  EXPECT_THAT(hostwin::TraceTexts("FT_"),
              ElementsAre("FT_Open(0)", "FT_SetBaudRate(h0,9600)", "FT_SetTimeouts(h0,50,0)",
                          "FT_SetDataCharacteristics(h0,8,2,0)", "FT_SetFlowControl(h0,0,0,0)",
                          "FT_EE_UASize(h0)", "FT_EE_UARead(h0,16)", "FT_Close(h0)",
                          "FT_Close(-1)",  // the interface close of the probe
                          "FT_Open(1)", "FT_Open(1)", "FT_Close(-1)", "FT_Close(-1)"));
  EXPECT_THAT(hostwin::TraceTexts("Sleep"), ElementsAre("Sleep(10)"));
  EXPECT_GE(hostwin::NowMs() - start, 10u);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).userAreaWrites, 0u);  // a scan writes no identity record
}

TEST_F(ScanTest, TheD2xxLibraryIsTouchedOnlyWhenItsFileIsInTheSystemFolder) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const Case cases[] = {
      {"file absent", [] { hostwin::SetD2xxFile(D2xxFile::kAbsent); }},
      {"a directory", [] { hostwin::SetD2xxFile(D2xxFile::kDirectory); }},
      {"windir missing", [] { hostwin::UnsetEnv("windir"); }},
      {"windir too long", [] { hostwin::SetEnv("windir", std::string(255, 'C')); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hostwin::Reset();
    hostwin::SetD2xxFile(D2xxFile::kPresent);
    hostwin::AddBridgeBox(0);
    c.setUp();
    Library lib;
    EXPECT_EQ(lib.GetNumPos(), 0u);
    EXPECT_EQ(hostwin::CountCalls("LoadLibraryA"), 0u);
    EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
    EXPECT_EQ(lib.OpenPosInterface(0), -1);  // number 0 is a driver-port number now
    EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
  }
}

TEST_F(ScanTest, WindirOf254CharactersStillFits) {
  std::string windir = "C:\\" + std::string(251, 'W');
  hostwin::SetEnv("windir", windir);
  InstallBridgeBoxes({0});
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0x0100u);
  EXPECT_THAT(hostwin::TraceTexts("FindFirstFileA"),
              ElementsAre("FindFirstFileA(" + windir + "\\system32\\ftd2xx.dll)"));
}

TEST_F(ScanTest, TheD2xxLibraryIsLoadedFromTheSystemPathThatPassedTheFileTest) {
  InstallBridgeBoxes({0});
  hostwin::SetPlantedD2xx(true);
  Library lib;
  EXPECT_THAT(hostwin::TraceTexts("LoadLibraryA"),
              ElementsAre("LoadLibraryA(C:\\WINDOWS\\system32\\ftd2xx.dll)"));
  EXPECT_FALSE(hostwin::PlantedD2xxLoaded());
  EXPECT_TRUE(hostwin::D2xxLoaded());
  EXPECT_EQ(lib.GetNumPos(), 0x0100u);
}

TEST_F(ScanTest, ABrokenD2xxLibraryCountsAsAbsentForTheRestOfTheLoad) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
  };
  const Case cases[] = {
      {"does not load", [] { hostwin::SetD2xxFile(D2xxFile::kUnloadable); }},
      {"lacks FT_GetStatus", [] { hostwin::SetD2xxMissingFunction("FT_GetStatus"); }},
      {"lacks FT_Open", [] { hostwin::SetD2xxMissingFunction("FT_Open"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hostwin::Reset();
    InstallBridgeBoxes({0});
    c.setUp();
    Library lib;
    EXPECT_EQ(lib.GetNumPos(), 0u);
    EXPECT_EQ(hostwin::MessageBoxes().size(), 1u);
    EXPECT_FALSE(hostwin::D2xxLoaded());  // released again when a function is missing
    EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
    hostwin::ClearTrace();
    EXPECT_EQ(lib.ScanForPos(), 0u);
    EXPECT_EQ(hostwin::CountCalls("LoadLibraryA"), 0u);  // not tried again
    EXPECT_EQ(lib.OpenPosInterface(0), -1);
    EXPECT_THAT(hostwin::TraceTexts("FT_"), IsEmpty());
  }
}

TEST_F(ScanTest, ALaterScanFindsALibraryInstalledAfterTheLoad) {
  Library lib;
  EXPECT_EQ(lib.GetNumPos(), 0u);
  InstallBridgeBoxes({0, 1});
  EXPECT_EQ(lib.ScanForPos(), 0x0200u);
  EXPECT_EQ(hostwin::MessageBoxes().size(), 1u);  // only the one at load
}

TEST_F(ScanTest, TheLibraryIsReleasedAfterTheDetachHandlingAndNotAtProcessExit) {
  InstallBridgeBoxes({0});
  {
    Library lib;
    EXPECT_TRUE(hostwin::D2xxLoaded());
  }
  EXPECT_FALSE(hostwin::D2xxLoaded());
  EXPECT_EQ(hostwin::CountCalls("FreeLibrary"), 1u);

  hostwin::Reset();
  InstallBridgeBoxes({0});
  {
    Library lib;
    lib.Detach(reinterpret_cast<LPVOID>(1));  // process exit: the system unloads everything
  }
  EXPECT_EQ(hostwin::CountCalls("FreeLibrary"), 0u);
}

TEST_F(ScanTest, ThreadNotificationsDoNothing) {
  InstallBridgeBoxes({0});
  Library lib;
  hostwin::ClearTrace();
  EXPECT_EQ(lib.Notify(DLL_THREAD_ATTACH), TRUE);
  EXPECT_EQ(lib.Notify(DLL_THREAD_DETACH), TRUE);
  EXPECT_THAT(hostwin::Trace(), IsEmpty());
}

TEST_F(ScanTest, UnloadWithABoxStillOpenWarnsThenWritesTheOpeningsBack) {
  InstallBridgeBoxes({0});
  hostwin::BridgeBoxAt(0).userArea[0] = 7;
  auto lib = std::make_unique<Library>();
  ASSERT_NE(lib->OpenPosInterface(0), -1);
  ASSERT_EQ(lib->KasseOpen(), 1);
  ASSERT_EQ(lib->KasseOpen(), 1);
  bool closedAfterWarning = false;
  hostwin::OnMessageBox([&](const hostwin::MessageBoxRecord&) {
    closedAfterWarning = hostwin::BridgeBoxAt(0).userAreaWrites == 0;
  });
  lib.reset();
  ASSERT_EQ(hostwin::MessageBoxes().size(), 1u);
  EXPECT_EQ(hostwin::MessageBoxes()[0].text, "call ClosePosInterface before!");
  EXPECT_EQ(hostwin::MessageBoxes()[0].caption, "Warnung aus DLL");
  EXPECT_EQ(hostwin::MessageBoxes()[0].type, 0x40u);
  EXPECT_TRUE(closedAfterWarning);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).userArea[0], 9);
  // The box was closed while the D2XX library was still loaded.
  ASSERT_GE(hostwin::Trace().size(), 2u);
  EXPECT_EQ(hostwin::Trace().back().call, "FreeLibrary");
  EXPECT_EQ(hostwin::Trace()[hostwin::Trace().size() - 2].Text(), "FT_Close(-1)");
}

TEST_F(ScanTest, UnloadAfterCloseShowsNothing) {
  InstallBridgeBoxes({0});
  {
    Library lib;
    lib.OpenPosInterface(0);
    lib.ClosePosInterface();
  }
  EXPECT_THAT(hostwin::MessageBoxes(), IsEmpty());
}

TEST_F(ScanTest, ScanWhileABridgeBoxIsOpenKeepsItsSession) {
  InstallBridgeBoxes({0, 1});
  hostwin::BridgeBoxAt(1).userArea[0] = 50;
  Library lib;
  ASSERT_NE(lib.OpenPosInterface(1), -1);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(lib.ScanForPos(), 0x0200u);
  EXPECT_EQ(lib.GetLocalOpenCnt(), 1u);
  EXPECT_EQ(lib.GetTotalOpenCnt(), 51u);
  ASSERT_EQ(lib.KasseOpen(), 1);
  EXPECT_EQ(hostwin::BridgeBoxAt(1).kicks, 2u);
  EXPECT_EQ(hostwin::BridgeBoxAt(0).kicks, 0u);
  lib.ClosePosInterface();
  EXPECT_EQ(hostwin::BridgeBoxAt(1).userArea[0], 52);
}

}  // namespace
