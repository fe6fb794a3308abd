#include "bridge/d2xx.h"

D2xxApi gD2xx;

namespace {

template <typename Fn>
bool Resolve(Fn*& slot, const char* name) {
  FARPROC address = GetProcAddress(gD2xx.module, name);
  if (address == nullptr) return false;
  slot = reinterpret_cast<Fn*>(reinterpret_cast<void*>(address));
  return true;
}

// In the order of the list, stopping at the first function the library lacks.
bool ResolveAll() {
#define D2XX_RESOLVE(name, params) \
  if (!Resolve(gD2xx.name, D2XX_EXPORT_NAME(name))) return false;
  D2XX_FUNCTIONS(D2XX_RESOLVE)
#undef D2XX_RESOLVE
  return true;
}

void ClearFunctions() {
  HMODULE module = gD2xx.module;
  bool attempted = gD2xx.attempted;
  gD2xx = D2xxApi{};
  gD2xx.module = module;
  gD2xx.attempted = attempted;
}

}  // namespace

bool D2xxBind(const char* path) {
  if (gD2xx.attempted) return D2xxReady();
  gD2xx.attempted = true;
  gD2xx.module = LoadLibraryA(path);
  if (gD2xx.module == nullptr) return false;
  if (!ResolveAll()) {
    FreeLibrary(gD2xx.module);
    gD2xx.module = nullptr;
    ClearFunctions();
    return false;
  }
  return true;
}

bool D2xxReady() { return gD2xx.module != nullptr; }

void D2xxRelease() {
  if (gD2xx.module != nullptr) FreeLibrary(gD2xx.module);
  gD2xx = D2xxApi{};
}
