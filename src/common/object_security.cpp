#include "common/object_security.h"

#include <aclapi.h>
#include <sddl.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr DWORD kChangesSecurity = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;
// Rights codes of the text form that include WRITE_DAC or WRITE_OWNER.
const char* const kChangingCodes[] = {"GA", "WD", "WO", "FA", "KA"};
// Who may change an object's security without making it a squatter's.
const char* const kTrusted[] = {"SY", "BA", "OW", "CO", "S-1-5-18", "S-1-5-32-544"};

constexpr size_t kSidMax = 192;

bool Same(const char* a, size_t length, const char* b) {
  return strlen(b) == length && strncmp(a, b, length) == 0;
}

// The owner's SID, from "O:" up to the next part.
void OwnerOf(const char* sddl, char (&owner)[kSidMax]) {
  owner[0] = '\0';
  const char* at = strstr(sddl, "O:");
  if (at == nullptr) return;
  at += 2;
  size_t length = 0;
  while (at[length] != '\0' && length + 1 < kSidMax &&
         !(at[length + 1] == ':' && strchr("GDS", at[length]) != nullptr)) {
    ++length;
  }
  memcpy(owner, at, length);
  owner[length] = '\0';
}

bool RightsChangeSecurity(const char* rights, size_t length) {
  if (length > 2 && rights[0] == '0' && (rights[1] == 'x' || rights[1] == 'X')) {
    char digits[16] = {};
    if (length - 2 >= sizeof digits) return true;  // not a mask the text form writes
    memcpy(digits, rights + 2, length - 2);
    return (strtoul(digits, nullptr, 16) & kChangesSecurity) != 0;
  }
  for (size_t i = 0; i + 1 < length; i += 2) {
    for (const char* code : kChangingCodes) {
      if (rights[i] == code[0] && rights[i + 1] == code[1]) return true;
    }
  }
  return false;
}

bool Trusted(const char* sid, size_t length, const char* owner) {
  for (const char* trusted : kTrusted) {
    if (Same(sid, length, trusted)) return true;
  }
  return owner[0] != '\0' && Same(sid, length, owner);
}

// Skips a conditional entry's condition "(...)" at p, parentheses nested; null when it does
// not close.
const char* SkipCondition(const char* p) {
  int depth = 0;
  for (; *p != '\0'; ++p) {
    if (*p == '(') ++depth;
    if (*p == ')' && --depth == 0) return p + 1;
  }
  return nullptr;
}

// One entry "(type;flags;rights;object;inherited;sid)" at *at, a conditional one with
// ";(condition)" after the SID; false when it is not one.
bool EntryLetsOthersChange(const char** at, const char* owner, bool* lets) {
  const char* fields[6];
  size_t lengths[6];
  const char* p = *at + 1;
  for (int i = 0; i < 6; ++i) {
    fields[i] = p;
    const char* end = strpbrk(p, ";)");
    if (end == nullptr || (i < 5 && *end != ';')) return false;
    lengths[i] = static_cast<size_t>(end - p);
    p = end + 1;
    if (i == 5 && *end == ';') {
      p = *p == '(' ? SkipCondition(p) : nullptr;
      if (p == nullptr || *p != ')') return false;
      ++p;
    }
  }
  *at = p;
  const bool allows = Same(fields[0], lengths[0], "A") || Same(fields[0], lengths[0], "OA") ||
                      Same(fields[0], lengths[0], "XA") || Same(fields[0], lengths[0], "ZA");
  // An entry only inherited by what lies below the object does not apply to the object.
  bool inheritOnly = false;
  for (size_t i = 0; i + 1 < lengths[1]; i += 2) {
    inheritOnly = inheritOnly || (fields[1][i] == 'I' && fields[1][i + 1] == 'O');
  }
  *lets = allows && !inheritOnly && RightsChangeSecurity(fields[2], lengths[2]) &&
          !Trusted(fields[5], lengths[5], owner);
  return true;
}

ObjectTrust TrustOfDescriptor(PSECURITY_DESCRIPTOR descriptor) {
  char* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(
          descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
          &text, nullptr)) {
    return ObjectTrust::kUnread;
  }
  const ObjectTrust trust =
      LetsOthersChangeSecurity(text) ? ObjectTrust::kSquatted : ObjectTrust::kSound;
  LocalFree(text);
  return trust;
}

ObjectTrust Result(DWORD error, PSECURITY_DESCRIPTOR descriptor) {
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return ObjectTrust::kUnread;
  }
  const ObjectTrust trust = TrustOfDescriptor(descriptor);
  LocalFree(descriptor);
  return trust;
}

}  // namespace

bool LetsOthersChangeSecurity(const char* sddl) {
  char owner[kSidMax];
  OwnerOf(sddl, owner);
  const char* at = strstr(sddl, "D:");
  if (at == nullptr) return true;  // no access list: everyone may do everything
  at += 2;
  if (strncmp(at, "NO_ACCESS_CONTROL", 17) == 0) return true;
  while (*at == 'P' || (at[0] == 'A' && (at[1] == 'I' || at[1] == 'R'))) at += *at == 'P' ? 1 : 2;
  while (*at == '(') {
    bool lets = false;
    if (!EntryLetsOthersChange(&at, owner, &lets)) return true;  // unreadable: not trusted
    if (lets) return true;
  }
  // Anything after the entries but the next part is not an access list the library reads.
  return !(*at == '\0' || (at[0] == 'S' && at[1] == ':'));
}

ObjectTrust TrustOfHandle(HANDLE handle, SE_OBJECT_TYPE type) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error =
      GetSecurityInfo(handle, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, nullptr, nullptr, &descriptor);
  return Result(error, descriptor);
}
