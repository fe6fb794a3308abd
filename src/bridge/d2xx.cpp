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

bool ResolveAll() {
  return Resolve(gD2xx.Open, "FT_Open") && Resolve(gD2xx.Close, "FT_Close") &&
         Resolve(gD2xx.SetBaudRate, "FT_SetBaudRate") &&
         Resolve(gD2xx.SetTimeouts, "FT_SetTimeouts") &&
         Resolve(gD2xx.SetDataCharacteristics, "FT_SetDataCharacteristics") &&
         Resolve(gD2xx.SetFlowControl, "FT_SetFlowControl") &&
         Resolve(gD2xx.EE_UASize, "FT_EE_UASize") && Resolve(gD2xx.EE_UARead, "FT_EE_UARead") &&
         Resolve(gD2xx.EE_UAWrite, "FT_EE_UAWrite") && Resolve(gD2xx.Write, "FT_Write") &&
         Resolve(gD2xx.Read, "FT_Read") && Resolve(gD2xx.Purge, "FT_Purge") &&
         Resolve(gD2xx.GetStatus, "FT_GetStatus");
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
