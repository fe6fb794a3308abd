/*
 * link_probe.c - takes the address of every function in tevro.h by its plain
 * name, with no C runtime, so that it links against an import library alone.
 *
 * Compiled with the header's dllimport declarations it references
 * __imp_<name> (a load of the address the loader binds); compiled with
 * TEVRO_BUILD defined it references <name> itself, which resolves to the
 * import library's jump thunk. Both kinds go into msvc_link_probe.exe (clang
 * for the MSVC ABI, lld-link, tevro.lib); the second kind also goes into
 * link_by_name.exe (MinGW, libtevro.dll.a). The probe functions are only
 * linked, never called.
 */
#include "tevro.h"
#include "tevro_export_list.h"

#ifdef TEVRO_BUILD
#define PROBE_FUNCTION probe_direct
#else
#define PROBE_FUNCTION probe_imported
#endif

#define TEVRO_EXPORT(ordinal, exportName, plainName) sum += (__SIZE_TYPE__)&plainName;

unsigned long long PROBE_FUNCTION(void) {
  unsigned long long sum = 0;
  TEVRO_EXPORT_LIST
  return sum;
}

#ifndef TEVRO_BUILD
unsigned long long probe_direct(void);

int probe_entry(void) { return (int)(probe_imported() + probe_direct()); }
#endif
