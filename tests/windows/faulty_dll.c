/*
 * faulty_dll.c - a DLL that breaks each rule the TEVRO.DLL checks enforce, so
 * that the checks can be shown to fail: its export is stdcall (returns with
 * "ret 4"), sits at the wrong ordinal under a name TEVRO.DLL exports, the DLL
 * imports FTD2XX.DLL directly, and it has no version resource.
 */
__declspec(dllimport) unsigned long __stdcall FT_Open(int device, void** handle);

unsigned char __stdcall FaultySetMfgDate(unsigned long value) {
  void* handle = 0;
  return FT_Open((int)value, &handle) == 0;
}
