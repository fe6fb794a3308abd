// The library's own timer: one thread-pool timer that ends drawer pulses and retries what
// could not reach a box, whatever the application's threads are doing. It needs no
// message loop and no further call into the library, it is not bound to any thread of the
// application, and it never runs after the library is unloaded.
//
// Its work runs on a thread of the process's thread pool, under the process lock.
#ifndef TEVRO_COMMON_LIBRARY_TIMER_H
#define TEVRO_COMMON_LIBRARY_TIMER_H

#include <windows.h>
#include <stdint.h>

// Caller holds the process lock. Runs 'work' once, 'dueUs' microseconds from now (at the
// system's timer resolution, so up to one tick later), replacing an earlier setting.
// False when no timer could be made; nothing will run then.
bool LibraryTimerSet(void (*work)(), int64_t dueUs);
// Caller holds the process lock. Nothing runs until the next LibraryTimerSet.
void LibraryTimerCancel();
// At an unload that is not the end of the process, without the process lock (the work
// takes it): cancels the timer, waits for work under way, and frees it. Nothing of the
// library runs on the timer afterwards.
void LibraryTimerClose();

#endif  // TEVRO_COMMON_LIBRARY_TIMER_H
