// TEVRO.DLL bound by its decorated export names, as existing applications import them.
#include "tevro_library.h"

#include <string.h>

namespace e2e {
namespace {

template <typename Fn>
void Bind(HMODULE module, const char* name, Fn& fn, int* bound) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (fn != nullptr) ++*bound;
}

}  // namespace

bool TevroLoad(const std::string& path, Tevro& t, int* bound) {
  memset(&t, 0, sizeof t);
  *bound = 0;
  t.module = LoadLibraryA(path.c_str());
  if (t.module == nullptr) return false;
  HMODULE m = t.module;
  Bind(m, "@ScanForPos$qv", t.ScanForPos, bound);
  Bind(m, "@GetNumPos$qv", t.GetNumPos, bound);
  Bind(m, "@GetFirmWareVersion$qpc", t.GetFirmWareVersion, bound);
  Bind(m, "@OpenPosInterface$quc", t.OpenPosInterface, bound);
  Bind(m, "@OpenPosInterface$qv", t.OpenPosInterfaceV, bound);
  Bind(m, "@KasseOpen$qv", t.KasseOpen, bound);
  Bind(m, "@KasseOpen$qpv", t.KasseOpenP, bound);
  Bind(m, "@KasseClose$qv", t.KasseClose, bound);
  Bind(m, "@KasseClose$qpv", t.KasseCloseP, bound);
  Bind(m, "@GetSwitch$qpc", t.GetSwitch, bound);
  Bind(m, "@GetSwitch$qpvpc", t.GetSwitchP, bound);
  Bind(m, "@GetLastOpenCnt$qv", t.GetLastOpenCnt, bound);
  Bind(m, "@GetLastOpenCnt$qpv", t.GetLastOpenCntP, bound);
  Bind(m, "@GetLocalOpenCnt$qv", t.GetLocalOpenCnt, bound);
  Bind(m, "@GetLocalOpenCnt$qpv", t.GetLocalOpenCntP, bound);
  Bind(m, "@GetTotalOpenCnt$qv", t.GetTotalOpenCnt, bound);
  Bind(m, "@GetTotalOpenCnt$qpv", t.GetTotalOpenCntP, bound);
  Bind(m, "@GetSerialNumber$qv", t.GetSerialNumber, bound);
  Bind(m, "@GetSerialNumber$qpv", t.GetSerialNumberP, bound);
  Bind(m, "@GetMfgDate$qv", t.GetMfgDate, bound);
  Bind(m, "@GetMfgDate$qpv", t.GetMfgDateP, bound);
  Bind(m, "@SetSerialNumber$qul", t.SetSerialNumber, bound);
  Bind(m, "@SetMfgDate$qul", t.SetMfgDate, bound);
  Bind(m, "@SetLastOpenCnt$qul", t.SetLastOpenCnt, bound);
  Bind(m, "@ClosePosInterface$qv", t.ClosePosInterface, bound);
  Bind(m, "@ClosePosInterface$qpv", t.ClosePosInterfaceP, bound);
  return true;
}

void TevroUnload(Tevro& t) {
  if (t.module != nullptr) FreeLibrary(t.module);
  memset(&t, 0, sizeof t);
}

}  // namespace e2e
