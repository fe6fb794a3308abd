// Binding the library's functions by their decorated export names.
#include "tool.h"

#include "tool_export_list.h"

namespace tevro_tool {

namespace {

template <typename Fn>
void BindSlot(const std::function<void*(const char*)>& lookup, const char* name, Fn* slot,
              std::vector<std::string>* missing) {
  void* address = lookup(name);
  *slot = reinterpret_cast<Fn>(address);
  if (address == nullptr && missing != nullptr) missing->push_back(name);
}

}  // namespace

bool BindApi(const std::function<void*(const char* exportName)>& lookup, TevroApi* api,
             std::vector<std::string>* missing) {
  std::vector<std::string> notFound;
#define TEVRO_EXPORT(ordinal, name, plain) BindSlot(lookup, name, &api->plain, &notFound);
  TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
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
    std::vector<std::string> list(TEVRO_EXPORT_COUNT);
#define TEVRO_EXPORT(ordinal, name, plain) list.at(ordinal - 1) = name;
    TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
    return list;
  }();
  return names;
}

}  // namespace tevro_tool
