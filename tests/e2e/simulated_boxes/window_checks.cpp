// Checks of the session the runner provides: a message box is a real modal window that
// holds its caller until it is dismissed, and returns once dismissed.
#include <windows.h>

#include <stdio.h>

#include "sim_checks.h"
#include "support/check_support.h"

namespace e2e {
namespace {

constexpr char kCaption[] = "sim_check window check";
constexpr DWORD kFindForMs = 20000;
constexpr DWORD kHoldMs = 300;  // how long the box stays up before it is dismissed

struct Dismisser {
  HWND found;
  uint64_t dismissedUs;
};

DWORD WINAPI DismissWhenShown(LPVOID parameter) {
  Dismisser& d = *static_cast<Dismisser*>(parameter);
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(kFindForMs) * 1000u;
  while (NowUs() < deadline) {
    HWND box = FindWindowA("#32770", kCaption);
    if (box != nullptr && IsWindowVisible(box)) {
      d.found = box;
      Sleep(kHoldMs);
      d.dismissedUs = NowUs();
      PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return 0;
    }
    Sleep(10);
  }
  return 1;
}

}  // namespace

void WindowChecks() {
  Dismisser dismisser = {nullptr, 0};
  HANDLE thread = CreateThread(nullptr, 0, DismissWhenShown, &dismisser, 0, nullptr);
  const uint64_t shownUs = NowUs();
  const int result =
      MessageBoxA(nullptr, "This box closes by itself.", kCaption, MB_OK | MB_ICONINFORMATION);
  const uint64_t returnedUs = NowUs();
  WaitForSingleObject(thread, kFindForMs + kHoldMs + 5000);
  CloseHandle(thread);
  const uint64_t heldMs = (returnedUs - shownUs) / 1000u;
  Check(dismisser.found != nullptr && result == IDOK && heldMs >= kHoldMs,
        "session: MessageBoxA shows a real window and holds the caller until it is dismissed",
        "window=%p result=%d held=%llu ms", dismisser.found, result,
        static_cast<unsigned long long>(heldMs));
  // Returning "promptly" is a matter of the machine's speed: the lag is printed; what is
  // judged is that the call returned on the dismissal, not before it.
  const uint64_t lagMs = dismisser.dismissedUs != 0 && returnedUs > dismisser.dismissedUs
                             ? (returnedUs - dismisser.dismissedUs) / 1000u
                             : 0;
  printf("  the message box returned %llu ms after it was dismissed\n",
         static_cast<unsigned long long>(lagMs));
  Check(dismisser.found != nullptr && dismisser.dismissedUs != 0 &&
            returnedUs >= dismisser.dismissedUs,
        "session: a message box returns once it is dismissed", "lag=%llu ms",
        static_cast<unsigned long long>(lagMs));
}

}  // namespace e2e
