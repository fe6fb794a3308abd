// Loads the library afresh for one test, as a process that loads the DLL does, and
// resolves the exported interface (the TevroApi pointers, by their plain names). Unloading
// delivers the detach notification first.
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

// Base fixture: a fresh simulated world for every test.
class WorldTest : public ::testing::Test {
 protected:
  void SetUp() override { hostwin::Reset(); }
};

#endif  // TESTS_HOST_LIBRARY_H
