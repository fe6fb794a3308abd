// Stand-in for <aclapi.h>: the security information functions are declared in windows.h.
#ifndef HOSTWIN_ACLAPI_H
#define HOSTWIN_ACLAPI_H

#include <windows.h>

#endif  // HOSTWIN_ACLAPI_H
