// A stand-in for the user in front of the screen: a thread that looks for message boxes of
// one caption, reads them, keeps each up for a while and then presses its OK button,
// recording when it did so. Message boxes are real windows in the runner's X session.
#ifndef TESTS_E2E_SUPPORT_BOX_WATCH_H
#define TESTS_E2E_SUPPORT_BOX_WATCH_H

#include <windows.h>

#include <stdint.h>

#include <string>

namespace e2e {

struct BoxWatch {
  // Set before WatchStart.
  std::string caption;
  DWORD holdMs;                       // how long each box stays up before it is dismissed
  void (*whileShown)(void* context);  // optional: called once per box while it is up
  void* context;

  // Results, complete after WatchFinish.
  int seen;                   // boxes of the caption that appeared (each dismissed)
  std::string text;           // the first box's message text
  int buttons;                // buttons on the first box
  uint64_t firstShownUs;      // when the first box was found
  uint64_t firstDismissedUs;  // when its OK button was pressed
  bool stuck;                 // a box did not go away when dismissed

  HANDLE thread;
  HANDLE running;  // set once the thread runs
  volatile LONG stop;
};

// Starts watching for boxes captioned `caption`; returns once the watching thread runs. Start
// the watch before the call that is expected to show a box.
void WatchStart(BoxWatch& watch, const std::string& caption, DWORD holdMs = 300,
                void (*whileShown)(void*) = nullptr, void* context = nullptr);

// Stops watching (after at most a few seconds for a box being dismissed) and joins the thread.
void WatchFinish(BoxWatch& watch);

}  // namespace e2e

#endif  // TESTS_E2E_SUPPORT_BOX_WATCH_H
