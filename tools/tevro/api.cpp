// Binding the library's functions by their decorated export names.
#include "tool.h"

namespace tevro_tool {

bool BindApi(const std::function<void*(const char* exportName)>& lookup, TevroApi* api,
             std::vector<std::string>* missing) {
  std::vector<std::string> notFound;
  BindTevroApi(
      TevroNames::kExport, lookup, [&](const char* name) { notFound.push_back(name); }, api);
  if (missing != nullptr) *missing = notFound;
  return notFound.empty();
}

bool BindApiOrExplain(const std::function<void*(const char* exportName)>& lookup,
                      const std::string& libraryName, TevroApi* api, std::string* why) {
  std::vector<std::string> missing;
  if (BindApi(lookup, api, &missing)) return true;
  std::string list;
  for (const std::string& name : missing) list += (list.empty() ? "" : ", ") + name;
  *why = libraryName + " lacks the export" + (missing.size() == 1 ? " " : "s ") + list +
         " (not a build of the library this tool serves)";
  return false;
}

const std::vector<std::string>& ExportNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list(kTevroExportCount);
#define TEVRO_EXPORT(ordinal, name, plain) list.at(ordinal - 1) = name;
    TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
    return list;
  }();
  return names;
}

}  // namespace tevro_tool
