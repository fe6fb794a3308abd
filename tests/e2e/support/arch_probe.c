/*
 * arch_probe.c - the smallest 32-bit Windows program: scripts/e2e runs it under Wine to
 * learn whether this machine runs 32-bit programs at all. Prints one line; exit status 0
 * when it runs as a 32-bit process beside a 64-bit system (WoW64), as the x86 checks need.
 */
#include <stdio.h>
#include <windows.h>

int main(void) {
  BOOL wow64 = FALSE;
  const BOOL known = IsWow64Process(GetCurrentProcess(), &wow64);
  printf("x86 probe: %u-bit process, WoW64 %s\n", (unsigned)(sizeof(void*) * 8),
         known ? (wow64 ? "yes" : "no") : "unknown");
  return sizeof(void*) == 4 && known && wow64 ? 0 : 1;
}
