// User-interface calls: message boxes and beeps are recorded, timers run on the
// virtual clock and fire from Pump().
#include "state.h"

using namespace hostwin;

extern "C" {

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  MessageBoxRecord record{text ? text : "", caption ? caption : "", type, owner != nullptr,
                          NowMs()};
  TRACE_CALL("MessageBoxA", record.text + "|" + record.caption + "|" + HexValue(type));
  CheckNoLockHeld("a message box waits for the user");
  S().messageBoxes.push_back(record);
  if (S().messageBoxHook) {
    Callout inTest;
    S().messageBoxHook(record);
  }
  return IDOK;
}

BOOL MessageBeep(UINT type) {
  TRACE_CALL("MessageBeep", HexValue(type));
  S().beeps.push_back(BeepRecord{type, NowMs()});
  return TRUE;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  TRACE_CALL("SetTimer", std::string(window ? "hwnd" : "null") + "," + HexValue(id) + "," +
                             std::to_string(elapse));
  if (S().failSetTimer > 0) {
    --S().failSetTimer;
    return 0;
  }
  // Without a window the system picks the identifier.
  UINT_PTR assigned = window == nullptr ? S().nextTimerId++ : id;
  S().timers.push_back(Timer{assigned, S().thread, elapse, WaitEndUs(elapse), proc});
  return assigned;
}

BOOL KillTimer(HWND window, UINT_PTR id) {
  TRACE_CALL("KillTimer", std::string(window ? "hwnd" : "null") + "," + HexValue(id));
  for (auto it = S().timers.begin(); it != S().timers.end(); ++it) {
    // A window-less timer is its thread's: another thread cannot kill it.
    if (it->id == id && it->thread == S().thread) {
      S().timers.erase(it);
      return TRUE;
    }
  }
  return FALSE;
}

}  // extern "C"
