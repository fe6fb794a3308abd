// TEVRO.DLL as an application binds it: loaded with LoadLibraryA, every function looked up
// by its decorated export name.
#ifndef TESTS_E2E_SUPPORT_TEVRO_LIBRARY_H
#define TESTS_E2E_SUPPORT_TEVRO_LIBRARY_H

#include <windows.h>

#include <stdint.h>

#include <string>

#include "tevro_api.h"

namespace e2e {

// The exports as tools/common/tevro_api.h types them (cdecl, a bool result one byte), and
// the module they were bound from.
struct Tevro : TevroApi {
  HMODULE module;
};

// Loads the library at `path` (its attach handler runs inside this call) and binds every
// export; *bound receives the number bound (kTevroExportCount when all are there). False
// when the library did not load; `tevro` is then empty.
bool TevroLoad(const std::string& path, Tevro& tevro, int* bound);

// Unloads the library (its detach handler runs inside this call) and empties `tevro`.
void TevroUnload(Tevro& tevro);

}  // namespace e2e

#endif  // TESTS_E2E_SUPPORT_TEVRO_LIBRARY_H
