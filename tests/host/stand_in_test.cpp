// The stand-in for Win32 on its own, without the library: who owns a mutex or a critical
// section, the rights an object grants and a handle carries, the registry's views, the
// kinds of file a name opens, and thread-pool timers on the virtual clock. What a fault in
// the stand-in would let the library's host tests miss.
#include <sddl.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "world.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

const char kMutex[] = "Local\\m";

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override { hostwin::Reset(); }
};

std::string Joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += text + "\n";
  return out;
}

TEST_F(StandInTest, AMutexBelongsToTheThreadThatTookIt) {
  struct Case {
    const char* what;
    std::function<void(HANDLE)> run;  // thread 1 owns the mutex when it starts
    std::vector<std::string> held;
    bool violation;
  };
  const Case cases[] = {
      {"the owner takes it again and gives it back twice",
       [](HANDLE m) {
         EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
         EXPECT_TRUE(ReleaseMutex(m));
         EXPECT_TRUE(ReleaseMutex(m));
         EXPECT_FALSE(ReleaseMutex(m));
       },
       {},
       false},
      {"another thread's release fails",
       [](HANDLE m) {
         hostwin::SetThread(2);
         EXPECT_FALSE(ReleaseMutex(m));
         EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_OWNER});
       },
       {"mutex Session\\1\\m held by thread 1"},
       false},
      {"another thread's wait runs out",
       [](HANDLE m) {
         hostwin::SetThread(2);
         uint32_t start = hostwin::NowMs();
         EXPECT_EQ(WaitForSingleObject(m, 300), WAIT_TIMEOUT);
         EXPECT_EQ(hostwin::NowMs() - start, 300u);
       },
       {"mutex Session\\1\\m held by thread 1"},
       false},
      {"another thread's wait with no end",
       [](HANDLE m) {
         hostwin::SetThread(2);
         EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_TIMEOUT);
       },
       {"mutex Session\\1\\m held by thread 1"},
       true},
      {"an owner that ends abandons it to the next wait",
       [](HANDLE m) {
         hostwin::EndThread(1);
         hostwin::SetThread(2);
         EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
       },
       {"mutex Session\\1\\m held by thread 2"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hostwin::Reset();
    HANDLE m = CreateMutexA(nullptr, TRUE, kMutex);
    ASSERT_NE(m, nullptr);
    c.run(m);
    EXPECT_EQ(hostwin::LocksHeld(), c.held);
    EXPECT_EQ(hostwin::LockViolations().size(), c.violation ? 1u : 0u)
        << Joined(hostwin::LockViolations());
  }
}

TEST_F(StandInTest, ACriticalSectionIsItsHoldersAndMisuseIsAViolation) {
  struct Case {
    const char* what;
    std::function<void(CRITICAL_SECTION*)> run;  // thread 1 holds it when it starts
    const char* violation;                       // nullptr: none
    uint32_t holderAfter;                        // 0: free
  };
  const Case cases[] = {
      {"the holder enters again and leaves twice",
       [](CRITICAL_SECTION* cs) {
         EnterCriticalSection(cs);
         LeaveCriticalSection(cs);
         LeaveCriticalSection(cs);
       },
       nullptr, 0},
      {"a second thread enters",
       [](CRITICAL_SECTION* cs) {
         hostwin::SetThread(2);
         EnterCriticalSection(cs);
         LeaveCriticalSection(cs);  // thread 1 holds it again
       },
       "thread 2 enters critical section #1, which thread 1 holds", 1},
      {"a thread that does not hold it leaves",
       [](CRITICAL_SECTION* cs) {
         hostwin::SetThread(2);
         LeaveCriticalSection(cs);
       },
       "thread 2 leaves critical section #1, which thread 1 holds", 1},
      {"it is deleted while held", [](CRITICAL_SECTION* cs) { DeleteCriticalSection(cs); },
       "critical section #1 deleted while thread 1 holds it", 0},
      {"its holder ends", [](CRITICAL_SECTION*) { hostwin::EndThread(1); },
       "thread 1 ended holding critical section #1", 1},
      {"a message box is shown", [](CRITICAL_SECTION*) { MessageBoxA(nullptr, "t", "c", MB_OK); },
       "a message box waits for the user with a lock held", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hostwin::Reset();
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    c.run(&cs);
    if (c.violation == nullptr) {
      EXPECT_THAT(hostwin::LockViolations(), IsEmpty());
    } else {
      ASSERT_THAT(hostwin::LockViolations(), SizeIs(1));
      EXPECT_THAT(hostwin::LockViolations()[0], HasSubstr(c.violation));
    }
    std::vector<std::string> held;
    if (c.holderAfter != 0) {
      held.push_back("critical section #1 held by thread " + std::to_string(c.holderAfter));
    }
    EXPECT_EQ(hostwin::LocksHeld(), held);
  }
}

TEST_F(StandInTest, OpeningAnObjectAsksForRightsItsMakerMustHaveGranted) {
  const DWORD kTurns = SYNCHRONIZE | MUTEX_MODIFY_STATE;
  const DWORD kShare = FILE_MAP_READ | FILE_MAP_WRITE;
  using hostwin::ObjectKind;
  struct Case {
    const char* made;  // SDDL of the object another program made; "" for the default
    ObjectKind kind;
    bool madeElevated;
    bool elevated;  // this process
    std::function<HANDLE()> open;
    DWORD error;  // ERROR_ALREADY_EXISTS or ERROR_SUCCESS for an open that succeeds
  };
  const Case cases[] = {
      {"D:(A;;0x00100001;;;WD)", ObjectKind::kMutex, false, false,
       [] { return CreateMutexA(nullptr, FALSE, kMutex); }, ERROR_ACCESS_DENIED},
      {"D:(A;;0x00100001;;;WD)", ObjectKind::kMutex, false, false,
       [&] { return CreateMutexExA(nullptr, kMutex, 0, kTurns); }, ERROR_ALREADY_EXISTS},
      {"D:(A;;0x00100001;;;WD)", ObjectKind::kMutex, false, false,
       [] { return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kMutex); }, ERROR_ACCESS_DENIED},
      {"D:(A;;GX;;;WD)", ObjectKind::kMutex, false, false,
       [] { return OpenMutexA(SYNCHRONIZE, FALSE, kMutex); }, ERROR_SUCCESS},
      {"D:(A;;0x00100001;;;WD)", ObjectKind::kMutex, false, false,
       [] { return OpenMutexA(WRITE_DAC, FALSE, kMutex); }, ERROR_SUCCESS},  // the owner
      {"D:(A;;0x00100001;;;WD)(A;;0x00100001;;;OW)", ObjectKind::kMutex, false, false,
       [] { return OpenMutexA(WRITE_DAC, FALSE, kMutex); }, ERROR_ACCESS_DENIED},
      {"D:(D;;0x1;;;WD)(A;;GA;;;WD)", ObjectKind::kMutex, false, false,
       [&] { return CreateMutexExA(nullptr, kMutex, 0, kTurns); }, ERROR_ACCESS_DENIED},
      {"D:(A;;GA;;;BA)", ObjectKind::kMutex, false, false,
       [&] { return CreateMutexExA(nullptr, kMutex, 0, kTurns); }, ERROR_ACCESS_DENIED},
      {"D:(A;;GA;;;BA)", ObjectKind::kMutex, false, true,
       [&] { return CreateMutexExA(nullptr, kMutex, 0, kTurns); }, ERROR_ALREADY_EXISTS},
      {"", ObjectKind::kMutex, true, false, [] { return CreateMutexA(nullptr, FALSE, kMutex); },
       ERROR_ACCESS_DENIED},
      {"D:(A;;GA;;;WD)S:(ML;;NW;;;LW)", ObjectKind::kMutex, true, false,
       [] { return CreateMutexA(nullptr, FALSE, kMutex); }, ERROR_ALREADY_EXISTS},
      {"", ObjectKind::kMapping, false, false,
       [&] { return CreateMutexExA(nullptr, kMutex, 0, kTurns); }, ERROR_INVALID_HANDLE},
      {"", ObjectKind::kMapping, false, false,
       [] { return OpenMutexA(SYNCHRONIZE, FALSE, kMutex); }, ERROR_INVALID_HANDLE},
      {"", ObjectKind::kMutex, false, false,
       [] {
         return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, kMutex);
       },
       ERROR_INVALID_HANDLE},
      {"D:(A;;0x6;;;WD)", ObjectKind::kMapping, false, false,
       [&] { return OpenFileMappingA(kShare, FALSE, kMutex); }, ERROR_SUCCESS},
      {"D:(A;;0x6;;;WD)", ObjectKind::kMapping, false, false,
       [] {
         return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64, kMutex);
       },
       ERROR_ACCESS_DENIED},
      {"D:(A;;0x4;;;WD)", ObjectKind::kMapping, false, false,
       [&] { return OpenFileMappingA(kShare, FALSE, kMutex); }, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.made) + (c.madeElevated ? ", made elevated" : "") +
                 (c.elevated ? ", opened elevated" : ""));
    hostwin::Reset();
    ASSERT_TRUE(hostwin::MakeObjectAs(kMutex, c.kind, c.made, c.madeElevated));
    hostwin::SetElevated(c.elevated);
    SetLastError(0xDEAD);
    HANDLE handle = c.open();
    const bool opens = c.error == ERROR_ALREADY_EXISTS || c.error == ERROR_SUCCESS;
    EXPECT_EQ(handle != nullptr, opens);
    if (c.error != ERROR_SUCCESS) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error));
    }
    EXPECT_EQ(hostwin::ObjectAccess(kMutex).size(), opens ? 1u : 0u);
    EXPECT_EQ(hostwin::ObjectSecurityText(kMutex), c.made);
  }
  hostwin::Reset();
  SetLastError(0xDEAD);
  EXPECT_EQ(OpenFileMappingA(kShare, FALSE, kMutex), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

// Local\ names are each session's (session 0's are the global ones), Global\ names every
// session's; a global section is made only by a service or an elevated program.
TEST_F(StandInTest, NamesAreTheSessionsOrTheMachinesAndAGlobalSectionNeedsThePrivilege) {
  const struct {
    const char* name;
    bool mapping;
    uint32_t makerSession;  // 0: a service
    uint32_t openerSession;
    DWORD made;    // the maker's last error: ERROR_SUCCESS when made
    DWORD opened;  // the opener's: ERROR_SUCCESS when found
  } rows[] = {
      {"Local\\n", false, 1, 1, ERROR_SUCCESS, ERROR_SUCCESS},
      {"Local\\n", false, 1, 2, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
      {"n", false, 2, 1, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
      {"Global\\n", false, 1, 2, ERROR_SUCCESS, ERROR_SUCCESS},
      {"Local\\n", false, 0, 0, ERROR_SUCCESS, ERROR_SUCCESS},
      {"Local\\n", false, 0, 1, ERROR_SUCCESS, ERROR_FILE_NOT_FOUND},
      {"Global\\s", true, 0, 1, ERROR_SUCCESS, ERROR_SUCCESS},
      {"Global\\s", true, 1, 2, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND},
      {"Local\\s", true, 1, 1, ERROR_SUCCESS, ERROR_SUCCESS},
  };
  const char kAnyone[] = "D:(A;;GA;;;WD)";
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.name << " made in session " << r.makerSession
                                    << ", opened in " << r.openerSession);
    hostwin::Reset();
    hostwin::SetSession(r.makerSession, r.makerSession == 0);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kAnyone, SDDL_REVISION_1, &sd,
                                                                     nullptr));
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    HANDLE maker =
        r.mapping ? CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, 64, r.name)
                  : CreateMutexA(&sa, FALSE, r.name);
    EXPECT_EQ(GetLastError(), r.made);
    EXPECT_EQ(maker != nullptr, r.made == ERROR_SUCCESS);
    hostwin::SetSession(r.openerSession, r.openerSession == 0);
    SetLastError(0xDEAD);
    HANDLE opened = r.mapping ? OpenFileMappingA(FILE_MAP_READ, FALSE, r.name)
                              : OpenMutexA(SYNCHRONIZE, FALSE, r.name);
    EXPECT_EQ(opened != nullptr, r.opened == ERROR_SUCCESS);
    if (r.opened != ERROR_SUCCESS) {
      EXPECT_EQ(GetLastError(), r.opened);
    }
    if (opened != nullptr) CloseHandle(opened);
    if (maker != nullptr) CloseHandle(maker);
    LocalFree(sd);
  }
}

TEST_F(StandInTest, AHandleDoesOnlyWhatItsRightsAllow) {
  ASSERT_TRUE(hostwin::MakeObjectAs(kMutex, hostwin::ObjectKind::kMutex, "", false));
  HANDLE waitOnly = OpenMutexA(SYNCHRONIZE, FALSE, kMutex);
  HANDLE releaseOnly = OpenMutexA(MUTEX_MODIFY_STATE, FALSE, kMutex);
  EXPECT_THAT(hostwin::ObjectAccess(kMutex), ElementsAre(SYNCHRONIZE, MUTEX_MODIFY_STATE));
  EXPECT_EQ(WaitForSingleObject(releaseOnly, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(ReleaseMutex(waitOnly));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_TRUE(ReleaseMutex(releaseOnly));

  ASSERT_TRUE(hostwin::MakeObjectAs("Local\\s", hostwin::ObjectKind::kMapping, "", false));
  HANDLE readOnly = OpenFileMappingA(FILE_MAP_READ, FALSE, "Local\\s");
  EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 16), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 16), hostwin::SharedMemory("Local\\s"));
}

TEST_F(StandInTest, DescriptorTextsAreReadOrRefusedAndEachMustBeFreed) {
  struct Case {
    const char* text;
    bool parses;
  };
  const Case cases[] = {
      {"D:(A;;GA;;;WD)S:(ML;;NW;;;LW)", true},
      {"D:(A;;0x00100001;;;WD)(A;;GRGW;;;AU)", true},
      {"O:BAG:BAD:P(A;;GA;;;SY)(D;;GX;;;S-1-1-0)", true},
      {"D:(A;;GA;;;XX)", false},     // no such alias
      {"D:(A;;GZ;;;WD)", false},     // no such right
      {"D:(A;;GA;;WD)", false},      // a field short
      {"D:(A;;GA;;;WD", false},      // unclosed
      {"S:(ML;;NW;;;LW)D:", false},  // parts out of order
      {"X:(A;;GA;;;WD)", false},
  };
  std::vector<PSECURITY_DESCRIPTOR> made;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SetLastError(0);
    EXPECT_EQ(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.text, SDDL_REVISION_1,
                                                                   &descriptor, nullptr),
              c.parses ? TRUE : FALSE);
    if (c.parses) {
      made.push_back(descriptor);
    } else {
      EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    }
  }
  EXPECT_EQ(hostwin::UnfreedDescriptors(), made.size());
  SECURITY_ATTRIBUTES attributes{sizeof attributes, made[0], FALSE};
  EXPECT_NE(CreateMutexA(&attributes, FALSE, kMutex), nullptr);
  EXPECT_EQ(hostwin::ObjectSecurityText(kMutex), cases[0].text);
  for (PSECURITY_DESCRIPTOR d : made) EXPECT_EQ(LocalFree(d), nullptr);
  EXPECT_EQ(hostwin::UnfreedDescriptors(), 0u);
  // A descriptor already freed is not one.
  EXPECT_EQ(CreateMutexA(&attributes, FALSE, "Local\\other"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_SECURITY_DESCR});
}

TEST_F(StandInTest, HklmSoftwareHasAViewForEachWidthAndHkcuOneForBoth) {
  using hostwin::RegistryView;
  struct Case {
    bool machine;
    RegistryView written;
    int bits;
    REGSAM flag;
    bool found;
  };
  const Case cases[] = {
      {true, RegistryView::k64, 64, 0, true},
      {true, RegistryView::k64, 32, 0, false},
      {true, RegistryView::k64, 32, KEY_WOW64_64KEY, true},
      {true, RegistryView::k32, 32, 0, true},
      {true, RegistryView::k32, 64, 0, false},
      {true, RegistryView::k32, 64, KEY_WOW64_32KEY, true},
      {false, RegistryView::k64, 32, 0, true},
      {false, RegistryView::k32, 64, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.machine ? "HKLM" : "HKCU") + " written in the " +
                 (c.written == RegistryView::k64 ? "64" : "32") + "-bit view, read by a " +
                 std::to_string(c.bits) + "-bit process with flag " + std::to_string(c.flag));
    hostwin::Reset();
    hostwin::SetProcessBits(c.bits);
    hostwin::SetRegistryString(c.machine, "Software\\TEVRO", "TraceFile", "x", c.written);
    HKEY key = nullptr;
    LSTATUS opened = RegOpenKeyExA(c.machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                   "Software\\TEVRO", 0, KEY_QUERY_VALUE | c.flag, &key);
    EXPECT_EQ(opened == ERROR_SUCCESS, c.found);
    if (key != nullptr) RegCloseKey(key);
  }
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\TEVRO", 0,
                          KEY_QUERY_VALUE | KEY_WOW64_32KEY | KEY_WOW64_64KEY, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST_F(StandInTest, OnlyAFileInAFolderIsOnADisk) {
  hostwin::AddFolder("C:\\logs");
  hostwin::AddPortBox(0);
  const struct {
    const char* name;
    DWORD type;
  } cases[] = {
      {"C:\\logs\\trace.log", FILE_TYPE_DISK},
      {"\\\\.\\C:\\logs\\trace.log", FILE_TYPE_DISK},
      {"COM1", FILE_TYPE_CHAR},
      {"C:\\logs\\nul.txt", FILE_TYPE_CHAR},
      {"c:\\no such folder\\Lpt9", FILE_TYPE_CHAR},
      {"CON:", FILE_TYPE_CHAR},
      {"\\\\.\\pipe\\x", FILE_TYPE_PIPE},
      {"\\\\.\\PhysicalDrive0", FILE_TYPE_CHAR},
      {"\\\\.\\Drelvan_0", FILE_TYPE_UNKNOWN},
      {"C:\\logs\\com10", FILE_TYPE_DISK},
  };
  std::vector<std::string> nonDisk;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE file = CreateFileA(c.name, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(file), c.type);
    DWORD written = 0;
    WriteFile(file, "line", 4, &written, nullptr);
    if (c.type != FILE_TYPE_DISK)
      nonDisk.push_back(c.type == FILE_TYPE_UNKNOWN ? "box device" : c.name);
    EXPECT_TRUE(CloseHandle(file));
  }
  std::vector<std::string> seen;
  for (const hostwin::NonDiskWrite& w : hostwin::NonDiskWrites()) {
    EXPECT_EQ(w.data, "line");
    seen.push_back(w.name);
  }
  EXPECT_EQ(seen, nonDisk);
  EXPECT_EQ(hostwin::FileText("C:\\logs\\trace.log"), "lineline");
}

// A pool timer's record of its callbacks: when, on which thread, and an optional action.
struct Calls {
  std::vector<uint32_t> atMs;
  std::vector<DWORD> threads;
  std::function<void(PTP_TIMER)> then;
};

void CALLBACK Record(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER timer) {
  Calls* calls = static_cast<Calls*>(context);
  calls->atMs.push_back(hostwin::NowMs());
  calls->threads.push_back(GetCurrentThreadId());
  if (calls->then) calls->then(timer);
}

void SetInMs(PTP_TIMER timer, int64_t ms, DWORD periodMs = 0) {
  int64_t due = -10000 * ms;
  FILETIME ft{static_cast<DWORD>(due), static_cast<DWORD>(static_cast<uint64_t>(due) >> 32)};
  SetThreadpoolTimer(timer, &ft, periodMs, 0);
}

TEST_F(StandInTest, APoolTimerFiresAtItsDueTimeOnThePoolThread) {
  Calls calls;
  PTP_TIMER timer = CreateThreadpoolTimer(Record, &calls, nullptr);
  const uint32_t start = hostwin::NowMs();
  SetInMs(timer, 60);
  EXPECT_EQ(hostwin::PoolTimersArmed(), 1u);
  Sleep(100);  // inside a library call: nothing runs
  EXPECT_THAT(calls.atMs, IsEmpty());
  EXPECT_EQ(hostwin::RunDuePoolTimers(), 1);  // the call returned
  EXPECT_THAT(calls.atMs, ElementsAre(start + 100));
  SetInMs(timer, 60);
  hostwin::AdvanceMs(200);
  EXPECT_THAT(calls.atMs, ElementsAre(start + 100, start + 160));
  EXPECT_THAT(calls.threads, ElementsAre(hostwin::kPoolThreadId, hostwin::kPoolThreadId));
  EXPECT_EQ(GetCurrentThreadId(), 1u);
  EXPECT_EQ(hostwin::PoolTimersArmed(), 0u);
  CloseThreadpoolTimer(timer);
  EXPECT_EQ(hostwin::PoolTimersOpen(), 0u);
  EXPECT_THAT(hostwin::LockViolations(), IsEmpty());
}

TEST_F(StandInTest, AHeldPoolRunsNothingUntilReleasedAndACallbackMayRearm) {
  Calls calls;
  int rearms = 2;
  calls.then = [&rearms](PTP_TIMER t) {
    if (rearms-- > 0) SetInMs(t, 10);
  };
  PTP_TIMER timer = CreateThreadpoolTimer(Record, &calls, nullptr);
  const uint32_t start = hostwin::NowMs();
  SetInMs(timer, 60);
  hostwin::HoldPoolTimers(true);
  hostwin::AdvanceMs(100);
  EXPECT_EQ(hostwin::RunDuePoolTimers(), 0);
  hostwin::HoldPoolTimers(false);
  hostwin::AdvanceMs(100);
  EXPECT_THAT(calls.atMs, ElementsAre(start + 100, start + 110, start + 120));
  CloseThreadpoolTimer(timer);
}

TEST_F(StandInTest, PoolTimerMisuseIsAViolation) {
  struct Case {
    const char* what;
    std::function<void(PTP_TIMER, Calls*)> run;  // the timer is due in 60 ms
    const char* violation;                       // nullptr: none
    size_t callbacks;
  };
  const Case cases[] = {
      {"a cancel then a wait that cancels what is queued",
       [](PTP_TIMER t, Calls*) {
         Sleep(70);
         SetThreadpoolTimer(t, nullptr, 0, 0);  // too late: the callback is queued
         WaitForThreadpoolTimerCallbacks(t, TRUE);
         CloseThreadpoolTimer(t);
         hostwin::AdvanceMs(100);
       },
       nullptr, 0},
      {"a cancel after the expiry: the queued callback still runs",
       [](PTP_TIMER t, Calls*) {
         Sleep(70);
         SetThreadpoolTimer(t, nullptr, 0, 0);
         hostwin::RunDuePoolTimers();
         CloseThreadpoolTimer(t);
       },
       nullptr, 1},
      {"a close while armed",
       [](PTP_TIMER t, Calls*) {
         CloseThreadpoolTimer(t);
         hostwin::AdvanceMs(100);
       },
       "closed while armed", 0},
      {"a cancelling wait with a lock held while the callback is queued",
       [](PTP_TIMER t, Calls*) {
         static CRITICAL_SECTION cs;
         InitializeCriticalSection(&cs);
         EnterCriticalSection(&cs);
         Sleep(70);
         SetThreadpoolTimer(t, nullptr, 0, 0);
         WaitForThreadpoolTimerCallbacks(t, TRUE);
         LeaveCriticalSection(&cs);
         CloseThreadpoolTimer(t);
       },
       "waits for a queued callback with a lock held", 0},
      {"a cancelling wait alone, then a close",
       [](PTP_TIMER t, Calls*) {
         WaitForThreadpoolTimerCallbacks(t, TRUE);  // leaves the future expiry armed
         CloseThreadpoolTimer(t);
       },
       "closed while armed", 0},
      {"a wait inside the timer's own callback",
       [](PTP_TIMER t, Calls* calls) {
         calls->then = [](PTP_TIMER self) { WaitForThreadpoolTimerCallbacks(self, TRUE); };
         hostwin::AdvanceMs(100);
         CloseThreadpoolTimer(t);
       },
       "waits for itself", 1},
      {"a callback that keeps a critical section",
       [](PTP_TIMER t, Calls* calls) {
         static CRITICAL_SECTION cs;
         InitializeCriticalSection(&cs);
         calls->then = [](PTP_TIMER) { EnterCriticalSection(&cs); };
         hostwin::AdvanceMs(100);
         CloseThreadpoolTimer(t);
       },
       "a pool timer callback returned with a lock held", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hostwin::Reset();
    Calls calls;
    PTP_TIMER timer = CreateThreadpoolTimer(Record, &calls, nullptr);
    SetInMs(timer, 60);
    c.run(timer, &calls);
    EXPECT_EQ(calls.atMs.size(), c.callbacks);
    EXPECT_EQ(hostwin::PoolTimersOpen(), 0u);
    if (c.violation == nullptr) {
      EXPECT_THAT(hostwin::LockViolations(), IsEmpty());
    } else {
      ASSERT_THAT(hostwin::LockViolations(), SizeIs(1));
      EXPECT_THAT(hostwin::LockViolations()[0], HasSubstr(c.violation));
    }
  }
}

TEST_F(StandInTest, OpenProcessTellsNoSuchProcessFromAccessDenied) {
  hostwin::AddProcess(77, 5);
  hostwin::AddProcessDenyingOpen(78, 6);
  hostwin::AddProcess(79, 7);
  hostwin::EndProcess(79);
  const struct {
    DWORD pid;
    DWORD error;  // ERROR_SUCCESS: opened
  } cases[] = {{77, ERROR_SUCCESS},
               {78, ERROR_ACCESS_DENIED},
               {79, ERROR_INVALID_PARAMETER},
               {80, ERROR_INVALID_PARAMETER}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pid);
    SetLastError(ERROR_SUCCESS);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, c.pid);
    EXPECT_EQ(process != nullptr, c.error == ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error));
    if (process != nullptr) {
      EXPECT_TRUE(CloseHandle(process));
    }
  }
  for (bool elevated : {false, true}) {
    hostwin::SetElevated(elevated);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size));
    EXPECT_EQ(elevation.TokenIsElevated, elevated ? 1u : 0u);
    EXPECT_TRUE(CloseHandle(token));
  }
}

}  // namespace
