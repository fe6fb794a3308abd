// One driver-port box, many callers, under Wine: the parts one_box_many_callers_check plays in
// other processes, what those processes and the check agree on, and its runs kept in the
// folders of what they look at (identity/, pulse/).
#ifndef TESTS_E2E_SHARING_ONE_BOX_MANY_CALLERS_H
#define TESTS_E2E_SHARING_ONE_BOX_MANY_CALLERS_H

#include <windows.h>

#include <stdint.h>

#include <string>

#include "support/tevro_library.h"

namespace e2e {

// The identity fields two processes write at once, and the values they write: writer w's
// k-th value of a field carries k in its low half and k XOR a mask of its own in its high
// half, so a value that mixes the bytes of two writes, or of two writers, decodes as nobody's.
enum SharedField : uint32_t { kSerialField, kDateField, kSharedFields };
constexpr uint32_t kSharedWriters = 2;  // writers 1 and 2

uint32_t SharedValue(uint32_t writer, uint32_t field, uint32_t k);
// The writer (1 or 2) and k of a value, or false when no writer wrote it.
bool DecodeShared(uint32_t field, uint32_t value, uint32_t* writer, uint32_t* k);

// The record the runs start from; addresses 12-127 hold PaddingByte(address).
constexpr uint32_t kStartCount = 4000;
constexpr uint32_t kStartSerial = 0x5E000001;
constexpr uint32_t kStartDate = 0x20261208;
constexpr uint32_t kPaddingFrom = 12;
uint8_t PaddingByte(uint32_t address);

// The roles: one_box_many_callers_check --role NAME ARGS... Each prints KEY=VALUE lines for the
// check to read and ends with "done"; the exit status is 0 when it ran as planned.
//   record ID DLL SECONDS PREFIX   reads and writes the record, kicks now and then
//   kicker ID DLL SECONDS PREFIX   kicks the drawer as often as it may
//   victim DLL VALUE PREFIX        opens the box; at PREFIX-go writes the serial number
//   kick-and-hang DLL PREFIX       opens the box; at PREFIX-go kicks, sets PREFIX-kicked and
//                                  waits to be killed
// and those of the pulse runs (pulse/pulse_timer_roles.cpp):
//   hold-mutex BOX PREFIX MS       at PREFIX-take waits for the box's named mutex, setting
//                                  PREFIX-waiting as it starts to wait; keeps it MS ms
//   writer DLL PREFIX              writes the serial number in a loop until PREFIX-stop
//   unload-pending DLL PREFIX      one thread kicks, the other unloads the library at once
//   unload-after-ended DLL         three threads: a kick, a call that ends its pulse, the
//                                  unload; then the library loaded again
//   next DLL VALUE                 reads the record, writes the serial number, reads it back
// A role with an ID waits after loading the library until the check sets PREFIX-go, so that
// the processes start their loops together (PREFIX-ready-ID says it is loaded).
int SharingRoleMain(int argc, char** argv);

// The pulse runs' roles: true when `role` with its arguments is one of them; *status is then
// its exit status.
bool PulseRoleMain(const std::string& role, int argc, char** argv, int* status);

// What the runs of one_box_many_callers_check share.
struct SharingContext {
  std::string dll;       // this architecture's TEVRO.DLL
  std::string otherExe;  // the second process's program and DLL; empty: this program's
  std::string otherDll;
  std::string arch;  // "x64" or "x86", and the second process's
  std::string otherArch;
  HANDLE control;
  uint32_t seconds;
  std::string prefix;  // of the named events, this run's own
};

// Port box 0 alone, switch as given, the start record and the padding; no bridge box.
bool SetUpSharedBox(const SharingContext& c, bool switchClosed);
// Loads the library and binds it; *device: driver-port box 0's device number. True when the
// load found that box alone among the driver-port boxes.
bool LoadSharedTevro(const std::string& dll, Tevro& t, unsigned char* device);
bool StartChild(const std::string& commandLine, PROCESS_INFORMATION* process);
// Kills the child (if it still runs); true when it was still running, so the kill ended it.
bool KillChild(PROCESS_INFORMATION& process);

// A process (exe, on dll; this program's when exe is empty) killed right after KasseOpen
// returned 1: the driver holds its first request after its pulse, so that it cannot end the
// pulse itself, whatever its timer does, until the kill cancels that request. *pid: its id.
// True when it kicked and died with its pulse running.
bool KillRightAfterKick(const SharingContext& c, const std::string& exe, const std::string& dll,
                        uint32_t* pid);

// The pulse runs (pulse/pulse_timer_runs.cpp): the library's own timer ends a pulse with no
// dispatch and no call, also while another process holds the box or writes to it; FreeLibrary
// with a pulse pending or just ended on another thread; a dead process's pulse ended by
// another's call.
void PulseTimerRun(const SharingContext& c);
void UnloadRun(const SharingContext& c);
void DeadPulseRun(const SharingContext& c);

// The killed-write run (identity/killed_write_run.cpp): processes killed inside a serial number
// write at chosen requests; the field holds old bytes under new ones, the next process reads,
// writes and reads it back.
void KilledWriteRun(const SharingContext& c);

}  // namespace e2e

#endif  // TESTS_E2E_SHARING_ONE_BOX_MANY_CALLERS_H
