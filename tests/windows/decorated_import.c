/*
 * decorated_import.c - an x86 program that imports TEVRO.DLL as old applications do: its
 * references are to symbols that are the decorated names themselves ("@KasseOpen$qv"),
 * resolved by an import library made from src/tevro.def that imports each by that name.
 * It knows no plain name, so it links only if every decorated name is in that library.
 *
 *   decorated_import DEVICE   checks the 26 bindings, then one session on DEVICE
 *
 * Prints "MISMATCH ..." for an import the loader bound elsewhere than GetProcAddress finds
 * the name and its ordinal, then KEY=VALUE lines and "done"; exit status 0 when every
 * binding matched and the session opened.
 */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "tevro.h"
#include "tevro_export_list.h"

/* Old_<plain name>: the export's function type, imported under the decorated name. */
#define TEVRO_EXPORT(ordinal, exportName, plainName) \
  extern __declspec(dllimport) __typeof__(plainName) Old_##plainName __asm__(exportName);
TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT

/* The bindings that do not match, each printed. Statements, not an initializer, so that
 * each address is read from the import table the loader filled. */
static int Mismatches(HMODULE dll) {
  int mismatches = 0;
  FARPROC bound;
#define TEVRO_EXPORT(ordinal, exportName, plainName)                                            \
  bound = (FARPROC)(UINT_PTR)&Old_##plainName;                                                  \
  if (bound != GetProcAddress(dll, exportName) ||                                               \
      bound != GetProcAddress(dll, MAKEINTRESOURCEA(ordinal))) {                                \
    printf("MISMATCH %s: bound %p, ordinal %d\n", exportName, (void*)(UINT_PTR)bound, ordinal); \
    mismatches++;                                                                               \
  }
  TEVRO_EXPORT_LIST
#undef TEVRO_EXPORT
  return mismatches;
}

/* Dispatches this thread's messages until the drawer pulse's timer message came, at most
 * limitMs. */
static void PumpUntilTimer(DWORD limitMs) {
  const DWORD start = GetTickCount();
  MSG msg;
  while (GetTickCount() - start < limitMs) {
    int timer = 0;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_TIMER) timer = 1;
      DispatchMessageA(&msg);
    }
    if (timer) return;
    MsgWaitForMultipleObjects(0, NULL, FALSE, 5, QS_ALLINPUT);
  }
}

int main(int argc, char** argv) {
  unsigned char device;
  TEVRO_S32 opened;
  char firmware[16] = "none";
  TEVRO_BOOL kicked;
  int mismatches;
  if (argc != 2) {
    fprintf(stderr, "usage: decorated_import DEVICE\n");
    return 2;
  }
  device = (unsigned char)strtoul(argv[1], NULL, 0);
  mismatches = Mismatches(GetModuleHandleA("TEVRO.DLL"));
  printf("mismatches=%d\n", mismatches);
  printf("numpos=0x%x\n", Old_GetNumPos());
  opened = Old_OpenPosInterface(device);
  printf("opened=%d\n", opened != -1);
  Old_GetFirmWareVersion(firmware);
  printf("firmware=%s\n", firmware);
  printf("serial=%u\ndate=%u\ncount=%u\n", Old_GetSerialNumber(), Old_GetMfgDate(),
         Old_GetLastOpenCnt());
  kicked = Old_KasseOpen();
  PumpUntilTimer(2000);
  printf("kicked=%u\nlocal=%u\n", kicked, Old_GetLocalOpenCnt());
  printf("closed=%u\n", Old_ClosePosInterface());
  printf("done\n");
  return mismatches == 0 && opened != -1 ? 0 : 1;
}
