#include "common/elevation.h"

#include <windows.h>

bool RunsElevatedByUac() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  bool elevated = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size) &&
                  type == TokenElevationTypeFull;
  CloseHandle(token);
  return elevated;
}
