// The simulated D2XX library's functions, handed out by GetProcAddress.
#ifndef HOSTWIN_D2XX_EXPORTS_H
#define HOSTWIN_D2XX_EXPORTS_H

#include <windows.h>

// The function of that name, or null when the library has none.
FARPROC FindD2xxExport(const char* name);

#endif  // HOSTWIN_D2XX_EXPORTS_H
