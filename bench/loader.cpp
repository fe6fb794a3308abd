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

#define BIND(name) Bind(handle_, api_.name, #name, &error_)

LoadedLibrary::LoadedLibrary() {
  if (dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
    error_ = "the library is loaded already";
    return;
  }
  void* handle = dlopen(TEVRO_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    error_ = std::string("dlopen: ") + dlerror();
    return;
  }
  handle_ = handle;
  bool bound = Bind(handle_, dllMain_, "DllMain", &error_) && BIND(ScanForPos) && BIND(GetNumPos) &&
               BIND(GetFirmWareVersion) && BIND(OpenPosInterface) && BIND(OpenPosInterfaceV) &&
               BIND(KasseOpen) && BIND(KasseOpenP) && BIND(KasseClose) && BIND(KasseCloseP) &&
               BIND(GetSwitch) && BIND(GetSwitchP) && BIND(GetLastOpenCnt) &&
               BIND(GetLastOpenCntP) && BIND(GetLocalOpenCnt) && BIND(GetLocalOpenCntP) &&
               BIND(GetTotalOpenCnt) && BIND(GetTotalOpenCntP) && BIND(GetSerialNumber) &&
               BIND(GetSerialNumberP) && BIND(GetMfgDate) && BIND(GetMfgDateP) &&
               BIND(SetSerialNumber) && BIND(SetMfgDate) && BIND(SetLastOpenCnt) &&
               BIND(ClosePosInterface) && BIND(ClosePosInterfaceP);
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
