// The exported interface of the library as a program that loads it at run time binds it:
// one pointer per export, typed as tevro.h declares the function (cdecl on x86 as well),
// and one binder. The names come from src/tevro.def through the generated
// tevro_export_list.h, so nothing here repeats them.
#ifndef TOOLS_COMMON_TEVRO_API_H
#define TOOLS_COMMON_TEVRO_API_H

#include "tevro.h"
#include "tevro_export_list.h"

constexpr int kTevroExportCount = TEVRO_EXPORT_COUNT;

struct TevroApi {
#define TEVRO_EXPORT(ordinal, exportName, plainName) decltype(&::plainName) plainName;
  TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
};

// The name each export is looked up by: the DLL's decorated export name ("@KasseOpen$qv"),
// or the plain name of tevro.h ("KasseOpen"), which the host build's shared object exports.
enum class TevroNames { kExport, kPlain };

namespace tevro_api_detail {

template <typename Fn, typename Lookup, typename Missing>
int BindOne(Fn* slot, const char* name, const Lookup& lookup, const Missing& missing) {
  void* address = lookup(name);
  *slot = reinterpret_cast<Fn>(address);
  if (address == nullptr) missing(name);
  return address != nullptr ? 1 : 0;
}

inline void IgnoreMissing(const char*) {}

}  // namespace tevro_api_detail

// Sets every pointer of *api to lookup(name) (an address, or null when there is no such
// export), in the order of the export list, and calls missing(name) for each name not
// found; that pointer is then null. Returns the number found: kTevroExportCount when the
// library has them all.
template <typename Lookup, typename Missing>
int BindTevroApi(TevroNames names, const Lookup& lookup, const Missing& missing, TevroApi* api) {
  int found = 0;
#define TEVRO_EXPORT(ordinal, exportName, plainName) \
  found += tevro_api_detail::BindOne(                \
      &api->plainName, names == TevroNames::kExport ? exportName : #plainName, lookup, missing);
  TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
  return found;
}

template <typename Lookup>
int BindTevroApi(TevroNames names, const Lookup& lookup, TevroApi* api) {
  return BindTevroApi(names, lookup, tevro_api_detail::IgnoreMissing, api);
}

#endif  // TOOLS_COMMON_TEVRO_API_H
