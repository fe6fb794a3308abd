// Loads the library afresh, as a process that loads the DLL does: dlopen of the shared
// object, then the process-attach notification (which scans). Each measurement starts from
// the values at load this way.
#ifndef TESTS_PROTOCOL_LOADER_H
#define TESTS_PROTOCOL_LOADER_H

#include <windows.h>

#include <string>

#include "tevro_api.h"

class LoadedLibrary {
 public:
  // Loads the library, binds api() by the plain export names and delivers process
  // attach. On failure ok() is false and error() says why.
  LoadedLibrary();
  // The same for another build of the library at 'path' (an older one, for comparison); it
  // shares the stand-in this program has loaded.
  explicit LoadedLibrary(const std::string& path);
  // Delivers process detach and unloads the library.
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  bool ok() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  const TevroApi& api() const { return api_; }

 private:
  void* handle_ = nullptr;
  BOOL(WINAPI* dllMain_)(HINSTANCE, DWORD, LPVOID) = nullptr;
  TevroApi api_{};
  std::string error_;
};

#endif  // TESTS_PROTOCOL_LOADER_H
