// The field trace: what the application asked for and what the boxes answered, one plain
// line per event, for the support person on the phone. Off unless switched on from outside
// the application: the environment variable TEVRO_TRACE (read at load), or the string value
// TraceFile under HKEY_CURRENT_USER\Software\TEVRO, then HKEY_LOCAL_MACHINE\Software\TEVRO
// (read at the first export call and again every few seconds, never inside DllMain). Off,
// it costs an export call a flag test and a clock comparison.
//
// Lines are gathered while the process lock is held and written when no box is: at the end
// of an export call, of the timer callback, of the load and the unload. A trace that cannot
// be written changes nothing else and is not tried again until the next look-up.
#ifndef TEVRO_COMMON_TRACE_H
#define TEVRO_COMMON_TRACE_H

#include <windows.h>
#include <stdint.h>

#include "common/contract.h"
#include "common/process_lock_scope.h"

// What every export call looks at, inline: with the trace off it costs this flag and one
// clock comparison.
struct TraceSwitch {
  bool gathering;        // lines are gathered: the trace is on, or undecided until a look-up
  bool fromEnvironment;  // TEVRO_TRACE chose at load: the registry is not asked
  bool lookedUp;         // the registry has been asked at least once
  DWORD lastLookupMs;    // tick count of the last look-up
};
extern TraceSwitch gTraceSwitch;

// How often the registry is asked again: switching the trace from outside takes effect
// within this time, in a running application.
constexpr DWORD kTraceLookupIntervalMs = 5000;

// True while lines are gathered: the trace is on, or the load's lines wait for the first
// look-up to decide.
inline bool Tracing() { return gTraceSwitch.gathering; }

// Load: reads TEVRO_TRACE. Lines gathered until the first look-up are kept for it.
void TraceAtLoad();
// Asks the registry whether the trace is on and where it goes.
void TraceLookUp();
// Export entry: at the first call and then every kTraceLookupIntervalMs, a look-up.
inline void TraceRefresh() {
  if (gTraceSwitch.fromEnvironment) return;
  if (gTraceSwitch.lookedUp &&
      GetTickCount() - gTraceSwitch.lastLookupMs < kTraceLookupIntervalMs) {
    return;
  }
  TraceLookUp();
}

// The export call being made: its name as in tevro.h and its arguments as text. End: its
// result as text; the call line is gathered with the duration, the boxes it reached and the
// requests it made.
void TraceCallBegin(const char* name, const char* args);
void TraceCallEnd(const char* result);
// Accounting of the call being made: a box it took, a driver request or D2XX call made.
void TraceBox(BoxKind kind, uint8_t box);
void TraceRequest(bool ok);

// One event line, printf-style: "<kind>: <details>".
void TraceEvent(const char* kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the gathered lines. Call with the process lock held and no box held. Nothing is
// written while a pulse runs (TraceHoldForPulse): its release must not wait for the trace
// file.
void TraceFlush();
// Leaves the process lock, then writes the gathered lines (after leaving it, so no other
// thread waits for the file). Only a ProcessLockScope can make the key: leaving the scope, or
// its Unlock, is the one way out of the lock.
void TraceUnlockProcess(ProcessLockScope::LeaveKey key);
// While a pulse runs the gathered lines are kept: held from its start, written again once
// it has ended.
void TraceHoldForPulse();
void TraceEndPulseHold();
// Unload: gives back what the trace holds of the system.
void TraceAtUnload();

#endif  // TEVRO_COMMON_TRACE_H
