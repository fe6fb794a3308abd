#include "bridge/d2xx.h"

#include "common/trace.h"

D2xxApi gD2xx;

namespace {

// The functions as the library bound them. gD2xx's members call them through Counted, so
// that every D2XX call of an export is counted for the trace, whoever makes it.
D2xxApi gBound;

template <auto member, typename... Args>
FT_STATUS WINAPI Counted(Args... args) {
  FT_STATUS status = (gBound.*member)(args...);
  TraceRequest(status == FT_OK);
  return status;
}

// Points gD2xx's member at the counting call of the bound function; the member's own type
// gives the argument list.
template <auto member, typename... Args>
void Count(FT_STATUS (WINAPI* D2xxApi::*)(Args...)) {
  gD2xx.*member = &Counted<member, Args...>;
}

template <typename Fn>
bool Resolve(Fn*& slot, const char* name) {
  FARPROC address = GetProcAddress(gD2xx.module, name);
  if (address == nullptr) return false;
  slot = reinterpret_cast<Fn*>(reinterpret_cast<void*>(address));
  return true;
}

// In the order of the list, stopping at the first function the library lacks, whose name
// is kept in gD2xx.lacking.
bool ResolveAll() {
#define D2XX_RESOLVE(name, params)                     \
  if (!Resolve(gBound.name, D2XX_EXPORT_NAME(name))) { \
    gD2xx.lacking = D2XX_EXPORT_NAME(name);            \
    return false;                                      \
  }                                                    \
  Count<&D2xxApi::name>(&D2xxApi::name);
  D2XX_FUNCTIONS(D2XX_RESOLVE)
#undef D2XX_RESOLVE
  return true;
}

void ClearFunctions() {
  D2xxApi kept = gD2xx;
  gD2xx = D2xxApi{};
  gD2xx.module = kept.module;
  gD2xx.attempted = kept.attempted;
  gD2xx.lacking = kept.lacking;
  gBound = D2xxApi{};
}

}  // namespace

bool D2xxBind(const char* path) {
  if (gD2xx.attempted) return D2xxReady();
  gD2xx.attempted = true;
  gBound.module = gD2xx.module = LoadLibraryA(path);
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
  gBound = D2xxApi{};
}
