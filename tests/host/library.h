// Loads the library afresh for one test, as a process that loads the DLL does, and
// resolves the exported interface (the TevroApi pointers, by their plain names). Unloading
// delivers the detach notification first.
//
// Each pointer calls the export through a check: when it returns, the library holds no
// box mutex, no trace mutex and no process lock, and the stand-in saw no lock violation;
// then the pool callbacks due by then run (as they would once the call left the process
// lock), and the same holds after them. At an unload that is not the process's end, the
// library also leaves no pool timer open or armed, no window-less timer, and is not pinned.
// After the load, after each export (and the pool callbacks then due) and at the unload, no
// port box's EEPROM may have counted a timing fault or a start bit sent while it was
// programming (hostwin::PortEepromFaults); each box is reported once. A failed check is a test
// failure naming the export and what was found.
#ifndef TESTS_HOST_LIBRARY_H
#define TESTS_HOST_LIBRARY_H

#include <windows.h>

#include <gtest/gtest.h>

#include "tevro_api.h"
#include "world.h"

class Library : public TevroApi {
 public:
  // dlopen()s the library and delivers the process-attach notification (which scans).
  Library();
  // Delivers process detach (unless Detach() ran) and unloads; checks the object is gone.
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  void Detach(LPVOID reserved = nullptr);
  BOOL Notify(DWORD reason);

 private:
  void* handle_ = nullptr;
  decltype(&::DllMain) dllMain_ = nullptr;
  bool detached_ = false;
};

// While one lives, the checks after each export and at the unload are not made: for the
// rare test that sets its own expectations on locks, violations or timers. Violations it
// leaves recorded are reported at the next check: clear them (ClearLockViolations).
class UncheckedLocks {
 public:
  UncheckedLocks();
  ~UncheckedLocks();
  UncheckedLocks(const UncheckedLocks&) = delete;
  UncheckedLocks& operator=(const UncheckedLocks&) = delete;
};

// Base fixture: a fresh simulated world for every test.
class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override { hostwin::Reset(); }
};

#endif  // TESTS_HOST_LIBRARY_H
