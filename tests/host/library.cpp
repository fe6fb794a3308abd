#include "library.h"

#include <dlfcn.h>

namespace {

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
  BindTevroApi(
      TevroNames::kPlain, [this](const char* name) { return dlsym(handle_, name); },
      [](const char* name) { ADD_FAILURE() << "missing export " << name; }, this);
  EXPECT_EQ(Notify(DLL_PROCESS_ATTACH), TRUE);
}

Library::~Library() {
  if (handle_ == nullptr) return;
  if (!detached_) Detach();
  dlclose(handle_);
  // Each test must start from the values at load: the object has to be really gone.
  EXPECT_EQ(dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "library stayed loaded after dlclose";
}

void Library::Detach(LPVOID reserved) {
  detached_ = true;
  EXPECT_EQ(dllMain_(nullptr, DLL_PROCESS_DETACH, reserved), TRUE);
}

BOOL Library::Notify(DWORD reason) { return dllMain_(nullptr, reason, nullptr); }
