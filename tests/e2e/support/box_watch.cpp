// The message-box watcher: finds a dialog of the caption, reads its text and buttons, waits,
// presses OK (WM_CLOSE if that does not close it), and waits for the window to go.
#include "box_watch.h"

#include "check_support.h"

namespace e2e {
namespace {

constexpr char kDialogClass[] = "#32770";
constexpr DWORD kPollMs = 5;
constexpr DWORD kWatchLimitMs = 120000;  // no watch outlives this, whatever happens
constexpr DWORD kCloseWaitMs = 3000;
constexpr DWORD kStartWaitMs = 10000;

struct Contents {
  std::string text;
  int buttons;
};

BOOL CALLBACK ReadChild(HWND child, LPARAM parameter) {
  Contents& contents = *reinterpret_cast<Contents*>(parameter);
  char className[32];
  char text[512];
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Button") == 0) {
    ++contents.buttons;
  } else if (lstrcmpiA(className, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0 &&
             contents.text.empty()) {
    contents.text = text;
  }
  return TRUE;
}

bool GoneWithin(HWND window, DWORD ms) {
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(ms) * 1000u;
  while (NowUs() < deadline) {
    if (!IsWindow(window) || !IsWindowVisible(window)) return true;
    Sleep(kPollMs);
  }
  return false;
}

DWORD WINAPI Watch(LPVOID parameter) {
  BoxWatch& w = *static_cast<BoxWatch*>(parameter);
  SetEvent(w.running);
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(kWatchLimitMs) * 1000u;
  while (w.stop == 0 && NowUs() < deadline) {
    HWND box = FindWindowA(kDialogClass, w.caption.c_str());
    if (box == nullptr || !IsWindowVisible(box)) {
      Sleep(kPollMs);
      continue;
    }
    const uint64_t shownUs = NowUs();
    Contents contents = {std::string(), 0};
    EnumChildWindows(box, ReadChild, reinterpret_cast<LPARAM>(&contents));
    if (w.whileShown != nullptr) w.whileShown(w.context);
    Sleep(w.holdMs);
    const uint64_t dismissedUs = NowUs();
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    bool gone = GoneWithin(box, kCloseWaitMs);
    if (!gone) {
      PostMessageA(box, WM_CLOSE, 0, 0);
      gone = GoneWithin(box, kCloseWaitMs);
      w.stuck = true;
    }
    if (w.seen == 0) {
      w.text = contents.text;
      w.buttons = contents.buttons;
      w.firstShownUs = shownUs;
      w.firstDismissedUs = dismissedUs;
    }
    ++w.seen;
    if (!gone) break;
  }
  return 0;
}

}  // namespace

void WatchStart(BoxWatch& w, const std::string& caption, DWORD holdMs, void (*whileShown)(void*),
                void* context) {
  w.caption = caption;
  w.holdMs = holdMs;
  w.whileShown = whileShown;
  w.context = context;
  w.seen = 0;
  w.text.clear();
  w.buttons = 0;
  w.firstShownUs = 0;
  w.firstDismissedUs = 0;
  w.stuck = false;
  w.stop = 0;
  // The thread must be past its start-up before the caller takes the loader lock (in
  // LoadLibraryA or FreeLibrary), or it would wait for that lock behind the very call whose
  // message box it is to dismiss.
  w.running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  w.thread = CreateThread(nullptr, 0, Watch, &w, 0, nullptr);
  if (w.thread != nullptr) WaitForSingleObject(w.running, kStartWaitMs);
}

void WatchFinish(BoxWatch& w) {
  if (w.thread == nullptr) return;
  InterlockedExchange(&w.stop, 1);
  WaitForSingleObject(w.thread, w.holdMs + 2 * kCloseWaitMs + 5000);
  CloseHandle(w.thread);
  CloseHandle(w.running);
  w.thread = nullptr;
}

}  // namespace e2e
