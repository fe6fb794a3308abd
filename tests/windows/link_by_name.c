/*
 * link_by_name.c - a C caller of TEVRO.DLL that knows only tevro.h.
 *
 * It is linked against the MinGW import library by the plain names. At run
 * time it checks that each plain name reached the export the import library
 * promised: the address the loader bound for the plain name must equal the
 * address GetProcAddress gives for the decorated export name and for its
 * ordinal. Then it reports the packed box counts of the load-time scan.
 *
 * Output: one "MISMATCH ..." line per wrong binding, then
 * "GetNumPos() == <value>". Exit status 0 when every binding matched and the
 * counts are 0 (no box present), 1 otherwise.
 */
#include <stdio.h>
#include <windows.h>

#include "tevro.h"
#include "tevro_export_list.h"

struct Binding {
  int ordinal;
  const char* exportName;
  const char* plainName;
  FARPROC bound; /* the address the loader bound to the plain name */
};

/* Filled by statements, not by an initializer: in a static or constant
 * initializer the compiler may take the address of the import thunk in this
 * program instead of reading the address the loader bound. */
#define TEVRO_EXPORT(ordinal_, exportName_, plainName_) \
  b->ordinal = ordinal_;                                \
  b->exportName = exportName_;                          \
  b->plainName = #plainName_;                           \
  b->bound = (FARPROC)(UINT_PTR)&plainName_;            \
  b++;

static int ReadBindings(struct Binding* b) {
  const struct Binding* first = b;
  TEVRO_EXPORT_LIST
  return (int)(b - first);
}

int main(void) {
  struct Binding bindings[TEVRO_EXPORT_COUNT];
  const int count = ReadBindings(bindings);
  HMODULE dll = GetModuleHandleA("TEVRO.DLL");
  int mismatches = 0;
  int i;

  if (dll == NULL) {
    printf("MISMATCH TEVRO.DLL is not loaded\n");
    return 1;
  }
  for (i = 0; i < count; i++) {
    const struct Binding* b = &bindings[i];
    FARPROC byName = GetProcAddress(dll, b->exportName);
    FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(b->ordinal));
    if (b->bound == NULL || b->bound != byName || b->bound != byOrdinal) {
      printf("MISMATCH %s: bound %p, \"%s\" %p, ordinal %d %p\n", b->plainName,
             (void*)(UINT_PTR)b->bound, b->exportName, (void*)(UINT_PTR)byName, b->ordinal,
             (void*)(UINT_PTR)byOrdinal);
      mismatches++;
    }
  }

  {
    TEVRO_U32 counts = GetNumPos();
    printf("GetNumPos() == %u\n", (unsigned)counts);
    fflush(stdout);
    return (mismatches == 0 && counts == 0) ? 0 : 1;
  }
}
