// TEVRO.DLL bound by its decorated export names, as existing applications import them.
#include "tevro_library.h"

#include <string.h>

namespace e2e {

bool TevroLoad(const std::string& path, Tevro& t, int* bound) {
  memset(&t, 0, sizeof t);
  *bound = 0;
  t.module = LoadLibraryA(path.c_str());
  if (t.module == nullptr) return false;
  HMODULE m = t.module;
  *bound = BindTevroApi(
      TevroNames::kExport,
      [m](const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); }, &t);
  return true;
}

void TevroUnload(Tevro& t) {
  if (t.module != nullptr) FreeLibrary(t.module);
  memset(&t, 0, sizeof t);
}

}  // namespace e2e
