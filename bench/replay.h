// The stand-in calls that one library call made, sent again straight to the stand-in
// without the library. Timing a replay gives the stand-in's own share of a call's time; the
// rest is the library's.
#ifndef BENCH_REPLAY_H
#define BENCH_REPLAY_H

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "world.h"

class Replay {
 public:
  // Turns a call's trace into replay steps. False (with *error) for a call the replay
  // cannot send.
  bool Compile(const std::vector<hostwin::TraceEntry>& calls, std::string* error);
  // Sends the calls once, in order.
  void Run() { Steps<false>(); }
  // Steps through the calls as Run() does without sending them: the replay's own share of
  // Run()'s time.
  void DryRun() { Steps<true>(); }
  // Stops the timers the replay started (not part of what the replay measures).
  void Cleanup();
  size_t size() const { return steps_.size(); }

  enum class Kind : uint8_t;

 private:
  struct Step {
    Kind kind;
    bool ownHandle;  // the handle is the one the replay's last open produced
    uint32_t a, b, c, d;
    uintptr_t handle;  // a handle value given literally in the trace
    std::string text, text2;
    std::vector<uint8_t> bytes;
  };
  void* Handle(const Step& step, void* own) const;
  template <bool kDry>
  void Steps();

  std::vector<Step> steps_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
  void* ft_ = reinterpret_cast<void*>(-1);
  HANDLE find_ = INVALID_HANDLE_VALUE;
  std::vector<UINT_PTR> timers_;
  std::vector<std::pair<uint32_t, UINT_PTR>> timerIds_;  // traced id -> replay's id
};

#endif  // BENCH_REPLAY_H
