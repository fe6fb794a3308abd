/*
 * stdcall_fixture.c - STDCALL.DLL, a faulty build for the x86 calling-convention check:
 * every export of TEVRO.DLL at its name and ordinal (the .def is generated from
 * src/tevro.def), but each a stdcall function that removes its own arguments ("ret N").
 * A caller that removes them too, as every caller of TEVRO.DLL does, ends up with its
 * stack pointer N bytes too high. The functions touch no box; their results do not matter.
 */
#include <string.h>

#define STDCALL_EXPORT __stdcall
typedef unsigned char Bool8;
typedef unsigned int U32;

U32 STDCALL_EXPORT StdcallScanForPos(void) { return 0; }
U32 STDCALL_EXPORT StdcallGetNumPos(void) { return 0; }
void STDCALL_EXPORT StdcallGetFirmWareVersion(char* buf) {
  if (buf != 0) strcpy(buf, "Cy");
}
int STDCALL_EXPORT StdcallOpenPosInterface(unsigned char n) { return n; }
int STDCALL_EXPORT StdcallOpenPosInterfaceV(void) { return 0; }
Bool8 STDCALL_EXPORT StdcallKasseOpen(void) { return 1; }
Bool8 STDCALL_EXPORT StdcallKasseOpenP(void* ignored) { return ignored != 0; }
Bool8 STDCALL_EXPORT StdcallKasseClose(void) { return 1; }
Bool8 STDCALL_EXPORT StdcallKasseCloseP(void* ignored) { return ignored != 0; }
Bool8 STDCALL_EXPORT StdcallGetSwitch(char* readFlag) {
  if (readFlag != 0) *readFlag = 0;
  return 1;
}
Bool8 STDCALL_EXPORT StdcallGetSwitchP(void* ignored, char* readFlag) {
  if (readFlag != 0) *readFlag = 0;
  return ignored != 0;
}
U32 STDCALL_EXPORT StdcallGetLastOpenCnt(void) { return 0; }
U32 STDCALL_EXPORT StdcallGetLastOpenCntP(void* ignored) { return ignored != 0; }
U32 STDCALL_EXPORT StdcallGetLocalOpenCnt(void) { return 0; }
U32 STDCALL_EXPORT StdcallGetLocalOpenCntP(void* ignored) { return ignored != 0; }
U32 STDCALL_EXPORT StdcallGetTotalOpenCnt(void) { return 0; }
U32 STDCALL_EXPORT StdcallGetTotalOpenCntP(void* ignored) { return ignored != 0; }
U32 STDCALL_EXPORT StdcallGetSerialNumber(void) { return 0; }
U32 STDCALL_EXPORT StdcallGetSerialNumberP(void* ignored) { return ignored != 0; }
U32 STDCALL_EXPORT StdcallGetMfgDate(void) { return 0; }
U32 STDCALL_EXPORT StdcallGetMfgDateP(void* ignored) { return ignored != 0; }
Bool8 STDCALL_EXPORT StdcallSetSerialNumber(U32 value) { return value != 0; }
Bool8 STDCALL_EXPORT StdcallSetMfgDate(U32 value) { return value != 0; }
Bool8 STDCALL_EXPORT StdcallSetLastOpenCnt(U32 value) { return value != 0; }
Bool8 STDCALL_EXPORT StdcallClosePosInterface(void) { return 1; }
Bool8 STDCALL_EXPORT StdcallClosePosInterfaceP(void* ignored) { return ignored != 0; }
