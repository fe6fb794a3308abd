#include "loader.h"

#include <dlfcn.h>

namespace {

template <typename Fn>
bool Bind(void* handle, Fn*& slot, const char* name, std::string* error) {
  slot = reinterpret_cast<Fn*>(dlsym(handle, name));
  if (slot == nullptr) *error = std::string("missing export ") + name;
  return slot != nullptr;
}

}  // namespace

LoadedLibrary::LoadedLibrary() : LoadedLibrary(TEVRO_LIBRARY_PATH) {}

LoadedLibrary::LoadedLibrary(const std::string& path) {
  if (dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    error_ = "the library is loaded already";
    return;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    error_ = std::string("dlopen: ") + dlerror();
    return;
  }
  handle_ = handle;
  bool bound = Bind(handle_, dllMain_, "DllMain", &error_) &&
               BindTevroApi(
                   TevroNames::kPlain, [&](const char* name) { return dlsym(handle_, name); },
                   [&](const char* name) {
                     if (error_.empty()) error_ = std::string("missing export ") + name;
                   },
                   &api_) == kTevroExportCount;
  if (!bound) {
    dlclose(handle_);
    handle_ = nullptr;
    return;
  }
  dllMain_(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

LoadedLibrary::~LoadedLibrary() {
  if (handle_ == nullptr) return;
  dllMain_(nullptr, DLL_PROCESS_DETACH, nullptr);
  dlclose(handle_);
}
