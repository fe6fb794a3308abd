/*
 * msvc_link_probe.c - takes the address of every function in tevro.h by its
 * plain name, with no C runtime, so that lld-link can link it against the COFF
 * import library tevro.lib and nothing else.
 *
 * Compiled twice: once with the header's dllimport declarations (references to
 * __imp_<name>) and once with TEVRO_BUILD defined (plain references, which
 * resolve to the import library's thunks). The linked program is only
 * inspected, never run.
 */
#include "tevro.h"
#include "tevro_export_list.h"

#ifdef TEVRO_BUILD
#define PROBE_FUNCTION probe_direct
#else
#define PROBE_FUNCTION probe_imported
#endif

#define TEVRO_EXPORT(ordinal, exportName, plainName) sum += (unsigned long long)&plainName;

unsigned long long PROBE_FUNCTION(void) {
  unsigned long long sum = 0;
  TEVRO_EXPORT_LIST
  return sum;
}

#ifndef TEVRO_BUILD
unsigned long long probe_direct(void);

int probe_entry(void) { return (int)(probe_imported() + probe_direct()); }
#endif
