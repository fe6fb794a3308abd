// Stand-in for <sddl.h>: the security descriptor text functions are declared in windows.h.
#ifndef HOSTWIN_SDDL_H
#define HOSTWIN_SDDL_H

#include <windows.h>

#define SDDL_REVISION_1 1

#endif  // HOSTWIN_SDDL_H
