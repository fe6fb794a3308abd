// Whether a named object or a file the library finds (made by another program before it)
// may be trusted: a squatter's lets users other than SYSTEM, the administrators and its
// owner (its maker) change its access list or its owner, and then anyone could take the box
// from everybody else.
#ifndef TEVRO_COMMON_OBJECT_SECURITY_H
#define TEVRO_COMMON_OBJECT_SECURITY_H

#include <windows.h>
#include <aclapi.h>

enum class ObjectTrust : unsigned char {
  kSound,     // only SYSTEM, the administrators and the owner may change its security
  kSquatted,  // someone else may: not to be used
  kUnread,    // its security could not be read (GetLastError says why)
};

// From the security's text (SDDL with the owner and the DACL): a missing or null DACL, or
// an allow entry that grants WRITE_DAC, WRITE_OWNER or all rights to anyone but SY, BA, OW,
// CO and the owner (conditional entries included), or a list it cannot read to its end,
// makes it a squatter's.
bool LetsOthersChangeSecurity(const char* sddl);

// Of an object opened with READ_CONTROL: a kernel object, or a file or folder
// (SE_FILE_OBJECT).
ObjectTrust TrustOfHandle(HANDLE handle, SE_OBJECT_TYPE type);

#endif  // TEVRO_COMMON_OBJECT_SECURITY_H
