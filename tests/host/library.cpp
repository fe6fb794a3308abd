#include "library.h"

#include <dlfcn.h>

#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace {

// The loaded library's own exports, which the checked pointers call (one Library at a time).
TevroApi gExports;
// Export calls in progress: a test's hook may call one inside another, and only the
// outermost call's end is a point where the library must hold nothing.
int gCallDepth = 0;
int gUnchecked = 0;
// Locks already reported held for this library: each is reported once, not after every
// later call.
std::set<std::string> gReportedHeld;

// Fails the test for each lock held and each violation recorded (and forgets those).
void ExpectNoLock(const std::string& when) {
  if (gUnchecked > 0) return;
  std::vector<std::string> violations = hostwin::LockViolations();
  hostwin::ClearLockViolations();
  for (const std::string& held : hostwin::LocksHeld()) {
    if (gReportedHeld.insert(held).second) {
      ADD_FAILURE() << when << ": the library still holds a lock: " << held;
    }
  }
  for (const std::string& violation : violations) {
    ADD_FAILURE() << when << ": lock violation: " << violation;
  }
}

// Port boxes already reported for an EEPROM timing fault: each once per library.
std::set<std::string> gReportedFaulty;

// Fails the test for each port box whose EEPROM counted a timing fault or a start bit sent
// while it was programming: the library's pin sequences must keep the part's rules, whatever
// else the test checks.
void ExpectNoTimingFault(const std::string& when) {
  for (const std::string& line : hostwin::PortEepromFaults()) {
    const std::string box = line.substr(0, line.find(':'));
    if (gReportedFaulty.insert(box).second) ADD_FAILURE() << when << ": " << line;
  }
}

void AfterExport(const char* name) {
  if (gCallDepth > 0) return;
  ExpectNoLock(std::string("after ") + name);
  ExpectNoTimingFault(std::string("after ") + name);
  hostwin::RunDuePoolTimers();
  ExpectNoLock(std::string("after ") + name + " and the pool callbacks due then");
  ExpectNoTimingFault(std::string("after ") + name + " and the pool callbacks due then");
}

// The checked pointer of export 'Slot' (named 'Name'): the export, then AfterExport.
template <typename R, typename... A>
struct Checked {
  template <R (*TevroApi::*Slot)(A...), const char* Name>
  static R Call(A... args) {
    ++gCallDepth;
    if constexpr (std::is_void_v<R>) {
      (gExports.*Slot)(args...);
      --gCallDepth;
      AfterExport(Name);
    } else {
      R result = (gExports.*Slot)(args...);
      --gCallDepth;
      AfterExport(Name);
      return result;
    }
  }
};
template <typename R, typename... A>
Checked<R, A...> CheckedOf(R (*TevroApi::*)(A...));

#define TEVRO_EXPORT(ordinal, exportName, plainName) constexpr char kName##plainName[] = #plainName;
TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT

// Points each found export of 'api' at its checked call.
void CheckEachExport(TevroApi* api) {
#define TEVRO_EXPORT(ordinal, exportName, plainName)                                   \
  if (gExports.plainName != nullptr) {                                                 \
    api->plainName = decltype(CheckedOf(                                               \
        &TevroApi::plainName))::template Call<&TevroApi::plainName, kName##plainName>; \
  }
  TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
}

template <typename Fn>
void Bind(void* handle, Fn*& slot, const char* name) {
  slot = reinterpret_cast<Fn*>(dlsym(handle, name));
  ASSERT_NE(slot, nullptr) << "missing export " << name;
}

}  // namespace

Library::Library() : TevroApi{} {
  if (dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    ADD_FAILURE() << "the library is loaded already: one Library at a time";
    return;
  }
  handle_ = dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    ADD_FAILURE() << "dlopen: " << dlerror();
    return;
  }
  Bind(handle_, dllMain_, "DllMain");
  gExports = TevroApi{};
  gReportedHeld.clear();
  gReportedFaulty.clear();
  BindTevroApi(
      TevroNames::kPlain, [this](const char* name) { return dlsym(handle_, name); },
      [](const char* name) { ADD_FAILURE() << "missing export " << name; }, &gExports);
  CheckEachExport(this);
  EXPECT_EQ(Notify(DLL_PROCESS_ATTACH), TRUE);
  ExpectNoLock("after the load");
  ExpectNoTimingFault("after the load");
}

Library::~Library() {
  if (handle_ == nullptr) return;
  if (!detached_) Detach();
  dlclose(handle_);
  // No timer may call into the code just unloaded, whatever the checks found.
  hostwin::DiscardPoolTimers();
  gExports = TevroApi{};
  // Each test must start from the values at load: the object has to be really gone.
  EXPECT_EQ(dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "library stayed loaded after dlclose";
}

void Library::Detach(LPVOID reserved) {
  detached_ = true;
  EXPECT_EQ(dllMain_(nullptr, DLL_PROCESS_DETACH, reserved), TRUE);
  ExpectNoTimingFault("after the unload");
  // At the process's end the library leaves everything to the system.
  if (reserved != nullptr) return;
  ExpectNoLock("after the unload");
  if (gUnchecked > 0) return;
  EXPECT_EQ(hostwin::PoolTimersOpen(), 0u) << "a pool timer outlives the unload";
  EXPECT_EQ(hostwin::PoolTimersArmed(), 0u) << "a pool timer could call into the unloaded code";
  EXPECT_EQ(hostwin::ActiveTimers(), 0u) << "a window-less timer outlives the unload";
  EXPECT_FALSE(hostwin::LibraryPinned()) << "the library pinned itself: it cannot be unloaded";
}

BOOL Library::Notify(DWORD reason) { return dllMain_(nullptr, reason, nullptr); }

UncheckedLocks::UncheckedLocks() { ++gUnchecked; }
UncheckedLocks::~UncheckedLocks() { --gUnchecked; }
