// Security descriptors from their text (SDDL), and the access check of a named object.
//
// The stand-in reads the forms a program passes: an optional owner and group, "D:" with
// allow and deny entries, and "S:" with one integrity label. The program that opens an
// object is a user of the machine (the desktop's, or another) or SYSTEM: a user is in WD
// (everyone), AU, IU and BU, and in BA only when elevated; SYSTEM is in WD, AU, BA and SY.
// An object's owner is its maker's user, BA when an elevated program made it, SY when a
// service did (an owner given in the text is read, not kept); the owner may read and change
// the DACL whatever it says, unless an entry for OW (owner rights) says what the owner may
// do. There are no integrity levels here (every program runs at medium or, elevated, at
// high), so a label is kept, not checked.
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "state.h"

using namespace hostwin;

namespace {

struct Descriptor {
  std::string text;
  Security security;
};

// The live descriptors, each freed by LocalFree or at Reset.
std::map<const void*, std::unique_ptr<Descriptor>>& Descriptors() {
  static std::map<const void*, std::unique_ptr<Descriptor>> descriptors;
  return descriptors;
}

const char* const kAliases[] = {"WD", "AU", "IU", "BU", "BA", "SY", "LS", "NS", "CO", "OW",
                                "AN", "BG", "PU", "RD", "NU", "SU", "BO", "SO", "PO", "AO"};
const char* const kLabels[] = {"LW", "ME", "MP", "HI", "SI"};

// Well-known SIDs written out, as their aliases.
const struct {
  const char* sid;
  const char* alias;
} kSidAliases[] = {{"S-1-1-0", "WD"},      {"S-1-5-11", "AU"},     {"S-1-5-4", "IU"},
                   {"S-1-5-32-545", "BU"}, {"S-1-5-32-544", "BA"}, {"S-1-5-18", "SY"}};

const struct {
  const char* code;
  uint32_t rights;
} kRightCodes[] = {{"GA", GENERIC_ALL},     {"GR", GENERIC_READ}, {"GW", GENERIC_WRITE},
                   {"GX", GENERIC_EXECUTE}, {"SD", DELETE},       {"RC", READ_CONTROL},
                   {"WD", WRITE_DAC},       {"WO", WRITE_OWNER}};

template <size_t N>
bool OneOf(const std::string& text, const char* const (&list)[N]) {
  for (const char* item : list) {
    if (text == item) return true;
  }
  return false;
}

// Reads up to (not including) 'end' from 'at'; false when 'end' never comes.
bool Field(const std::string& text, size_t* at, char end, std::string* out) {
  size_t stop = text.find(end, *at);
  if (stop == std::string::npos) return false;
  *out = text.substr(*at, stop - *at);
  *at = stop + 1;
  return true;
}

bool ParseSid(std::string text, std::string* out) {
  for (const auto& known : kSidAliases) {
    if (text == known.sid) text = known.alias;
  }
  if (OneOf(text, kAliases)) {
    *out = text;
    return true;
  }
  // Another SID written out: kept, it names no one the session's user is.
  if (text.compare(0, 4, "S-1-") != 0 || text.size() < 5) return false;
  for (size_t i = 4; i < text.size(); ++i) {
    if (!(isdigit(static_cast<unsigned char>(text[i])) || text[i] == '-')) return false;
  }
  *out = text;
  return true;
}

bool ParseRights(const std::string& text, uint32_t* out) {
  if (text.empty()) return false;
  if (isdigit(static_cast<unsigned char>(text[0]))) {
    char* end = nullptr;
    unsigned long value = strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || value > 0xFFFFFFFFul) return false;
    *out = static_cast<uint32_t>(value);
    return true;
  }
  if (text.size() % 2 != 0) return false;
  *out = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    bool known = false;
    for (const auto& code : kRightCodes) {
      if (text.compare(i, 2, code.code) == 0) {
        *out |= code.rights;
        known = true;
      }
    }
    if (!known) return false;
  }
  return true;
}

bool ParseAceFlags(const std::string& text) {
  static const char* const kFlags[] = {"CI", "OI", "NP", "IO", "ID"};
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    if (!OneOf(text.substr(i, 2), kFlags)) return false;
  }
  return true;
}

// "P", "AI", "AR" in any order before the entries of a D: or S: part.
void SkipAclFlags(const std::string& text, size_t* at) {
  for (;;) {
    if (text.compare(*at, 2, "AI") == 0 || text.compare(*at, 2, "AR") == 0) {
      *at += 2;
    } else if (text.compare(*at, 1, "P") == 0) {
      *at += 1;
    } else {
      return;
    }
  }
}

// A conditional entry's "(condition)" at 'at', parentheses nested, and the entry's closing
// parenthesis after it.
bool SkipCondition(const std::string& text, size_t* at) {
  if (text.compare(*at, 1, "(") != 0) return false;
  int depth = 0;
  for (; *at < text.size(); ++*at) {
    if (text[*at] == '(') ++depth;
    if (text[*at] == ')' && --depth == 0) break;
  }
  if (*at + 1 >= text.size() || text[*at + 1] != ')') return false;
  *at += 2;
  return true;
}

// One "(type;flags;rights;;;sid)" at 'at', or a conditional one (XA, XD) with
// ";(condition)" after the SID. 'label' selects the S: part's form. The world does not
// evaluate conditions: a conditional entry applies as if its condition held.
bool ParseAce(const std::string& text, size_t* at, bool label, Security* out) {
  if (text.compare(*at, 1, "(") != 0) return false;
  ++*at;
  std::string type, flags, rights, object, inherited, sid;
  if (!Field(text, at, ';', &type) || !Field(text, at, ';', &flags) ||
      !Field(text, at, ';', &rights) || !Field(text, at, ';', &object) ||
      !Field(text, at, ';', &inherited)) {
    return false;
  }
  const bool conditional = !label && (type == "XA" || type == "XD");
  if (conditional) {
    if (!Field(text, at, ';', &sid) || !SkipCondition(text, at)) return false;
    type = type.substr(1);
  } else if (!Field(text, at, ')', &sid)) {
    return false;
  }
  if (!ParseAceFlags(flags) || !object.empty() || !inherited.empty()) return false;
  if (label) {
    if (type != "ML" || !OneOf(sid, kLabels) || !out->label.empty()) return false;
    for (size_t i = 0; i < rights.size(); i += 2) {
      std::string policy = rights.substr(i, 2);
      if (policy != "NW" && policy != "NR" && policy != "NX") return false;
    }
    out->label = sid;
    return true;
  }
  Ace ace;
  if (type != "A" && type != "D") return false;
  ace.allow = type == "A";
  if (!ParseRights(rights, &ace.rights) || !ParseSid(sid, &ace.sid)) return false;
  out->dacl.push_back(ace);
  return true;
}

bool IsMember(const std::string& sid, const Opener& opener) {
  if (sid == "WD" || sid == "AU" || sid == opener.user) return true;
  if (opener.system) return sid == "BA" || sid == "SY";
  return sid == "IU" || sid == "BU" || (opener.elevated && sid == "BA");
}

bool IsOwner(const Secured& secured, const Opener& opener) {
  if (secured.owner == opener.user) return true;
  if (secured.owner == "BA") return opener.elevated || opener.system;
  return false;
}

// The strings handed out by ConvertSecurityDescriptorToStringSecurityDescriptorA.
std::map<const void*, std::unique_ptr<std::string>>& Texts() {
  static std::map<const void*, std::unique_ptr<std::string>> texts;
  return texts;
}

}  // namespace

namespace hostwin {

bool ParseSecurity(const std::string& text, Security* out) {
  *out = Security{};
  size_t at = 0;
  bool seen[4] = {};  // O, G, D, S: each once, in that order
  const char kParts[] = "OGDS";
  int last = -1;
  while (at < text.size()) {
    if (at + 1 >= text.size() || text[at + 1] != ':') return false;
    const char* part = strchr(kParts, text[at]);
    if (part == nullptr || *part == '\0') return false;
    int index = static_cast<int>(part - kParts);
    if (seen[index] || index < last) return false;
    seen[index] = true;
    last = index;
    at += 2;
    if (index < 2) {  // an owner or group: one SID, up to the next part
      size_t stop = at;
      while (stop < text.size() && !(stop + 1 < text.size() && text[stop + 1] == ':' &&
                                     strchr(kParts, text[stop]) != nullptr)) {
        ++stop;
      }
      std::string sid;
      if (!ParseSid(text.substr(at, stop - at), &sid)) return false;
      at = stop;
      continue;
    }
    SkipAclFlags(text, &at);
    if (index == 2) out->hasDacl = true;
    while (at < text.size() && text[at] == '(') {
      if (!ParseAce(text, &at, index == 3, out)) return false;
    }
  }
  return true;
}

// The generic mappings of the object types, as Windows has them.
DWORD MapGeneric(SecuredKind kind, DWORD access) {
  DWORD mapped = access & 0x0FFFFFFFu;
  if (kind == SecuredKind::kFile) {
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= READ_CONTROL | SYNCHRONIZE | 0x00A0u;
    if (access & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
  }
  const bool mutex = kind == SecuredKind::kMutex;
  if (access & GENERIC_READ) {
    mapped |= READ_CONTROL | (mutex ? MUTEX_MODIFY_STATE : SECTION_QUERY | SECTION_MAP_READ);
  }
  if (access & GENERIC_WRITE) mapped |= READ_CONTROL | (mutex ? 0 : SECTION_MAP_WRITE);
  if (access & GENERIC_EXECUTE) {
    mapped |= READ_CONTROL | (mutex ? SYNCHRONIZE : SECTION_MAP_EXECUTE);
  }
  if (access & GENERIC_ALL) mapped |= mutex ? MUTEX_ALL_ACCESS : SECTION_ALL_ACCESS;
  return mapped;
}

SecuredKind KindOf(ObjectKind kind) {
  return kind == ObjectKind::kMutex ? SecuredKind::kMutex : SecuredKind::kMapping;
}

Opener ThisOpener() {
  return Opener{S().service ? std::string("SY") : std::string(kDesktopUser), S().elevated,
                S().service};
}

Secured MadeByThisProcess(const std::string& sddl, const Security& security) {
  Secured made;
  made.sddl = sddl;
  made.security = security;
  made.madeElevated = S().elevated || S().service;
  made.owner = S().service ? "SY" : S().elevated ? "BA" : kDesktopUser;
  return made;
}

bool Grants(const Secured& secured, SecuredKind kind, DWORD access, const Opener& opener) {
  // The default DACL of an elevated program's token grants administrators and the system
  // only; a program that is not elevated is not an administrator.
  if (secured.sddl.empty() || !secured.security.hasDacl) {
    return !secured.madeElevated || opener.elevated || opener.system;
  }
  const bool owner = IsOwner(secured, opener);
  bool ownerEntry = false;
  for (const Ace& ace : secured.security.dacl) ownerEntry = ownerEntry || ace.sid == "OW";
  DWORD wanted = MapGeneric(kind, access);
  if (owner && !ownerEntry) wanted &= ~static_cast<DWORD>(READ_CONTROL | WRITE_DAC);
  for (const Ace& ace : secured.security.dacl) {
    if (wanted == 0) break;
    if (!IsMember(ace.sid, opener) && !(owner && ace.sid == "OW")) continue;
    DWORD rights = MapGeneric(kind, ace.rights) & wanted;
    if (rights == 0) continue;
    if (!ace.allow) return false;
    wanted &= ~rights;
  }
  return wanted == 0;
}

bool Grants(const State::Object& object, DWORD access, const Opener& opener) {
  return Grants(object, KindOf(object.kind), access, opener);
}

std::string ReportedSecurity(const Secured& secured) {
  std::string text = "O:" + secured.owner;
  if (secured.sddl.empty() || !secured.security.hasDacl) {
    return text + (secured.madeElevated ? "D:(A;;GA;;;BA)(A;;GA;;;SY)" : "D:(A;;GA;;;WD)");
  }
  // The maker's text without an owner or group of its own.
  std::string rest = secured.sddl;
  size_t dacl = rest.find("D:");
  return text + (dacl == std::string::npos ? rest : rest.substr(dacl));
}

PSECURITY_DESCRIPTOR MakeDescriptor(const std::string& text) {
  Security security;
  ParseSecurity(text, &security);
  auto made = std::make_unique<Descriptor>(Descriptor{text, security});
  PSECURITY_DESCRIPTOR descriptor = made.get();
  Descriptors()[descriptor] = std::move(made);
  return descriptor;
}

// The descriptor behind security attributes: true with null for the defaults (no
// attributes, or none in them), true with its text and contents for a live one, false for
// one that is not (never made, or freed already).
bool DescriptorOf(const SECURITY_ATTRIBUTES* attributes, std::string* text, Security* security) {
  text->clear();
  *security = Security{};
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return true;
  auto it = Descriptors().find(attributes->lpSecurityDescriptor);
  if (it == Descriptors().end()) return false;
  *text = it->second->text;
  *security = it->second->security;
  return true;
}

size_t UnfreedDescriptors() { return Descriptors().size() + Texts().size(); }
void FreeDescriptors() {
  Descriptors().clear();
  Texts().clear();
}

}  // namespace hostwin

extern "C" {

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          ULONG* size) {
  COUNT_CALL("ConvertStringSecurityDescriptorToSecurityDescriptorA");
  Security security;
  if (text == nullptr || descriptor == nullptr || revision != 1 ||
      !ParseSecurity(text, &security)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto made = std::make_unique<Descriptor>(Descriptor{text, security});
  *descriptor = made.get();
  Descriptors()[made.get()] = std::move(made);
  if (size != nullptr) *size = static_cast<ULONG>(sizeof(Descriptor));
  return TRUE;
}

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor,
                                                          DWORD revision, DWORD, LPSTR* text,
                                                          ULONG* length) {
  COUNT_CALL("ConvertSecurityDescriptorToStringSecurityDescriptorA");
  auto it = Descriptors().find(descriptor);
  if (it == Descriptors().end() || revision != 1 || text == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto copy = std::make_unique<std::string>(it->second->text);
  *text = copy->data();
  if (length != nullptr) *length = static_cast<ULONG>(copy->size() + 1);
  Texts()[copy->data()] = std::move(copy);
  return TRUE;
}

HLOCAL LocalFree(HLOCAL memory) {
  if (memory == nullptr) return nullptr;
  if (Descriptors().erase(memory) == 1) return nullptr;
  if (Texts().erase(memory) == 1) return nullptr;
  // Only descriptors are handed out to be freed here.
  SetError(ERROR_INVALID_HANDLE);
  return memory;
}

}  // extern "C"
