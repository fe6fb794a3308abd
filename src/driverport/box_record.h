// The shared record that lies beside each driver-port box's mutex (common/box_lock.h), in a
// file every process maps: the pulse running on the box, whichever process wrote it, so that
// no process cuts another's pulse short or kicks into it, and a pulse whose process died is
// still released; and what the last holder may have left half done on the box's EEPROM, so
// that the next instruction of any process begins cleanly.
#ifndef TEVRO_DRIVERPORT_BOX_RECORD_H
#define TEVRO_DRIVERPORT_BOX_RECORD_H

#include <stdint.h>

// What the shared record of a driver-port box knows of its EEPROM. A record without
// kEepromKnown (one just made, or last written by an earlier version of the library) knows
// nothing: the part may still be programming.
constexpr uint32_t kEepromUnsure = 0x1;         // the last deselect may not have arrived
constexpr uint32_t kEepromWritesEnabled = 0x2;  // a write enable may still be in force
constexpr uint32_t kEepromProgramming = 0x4;    // a byte written may still be programming
constexpr uint32_t kEepromKnown = 0x8;          // a holder recorded how it left the part
constexpr uint32_t kEepromStateBits = 0xFF;
// Above those bits: the writes of the opening counter that any process began, counting up
// (and wrapping). Kept in the same word so the record's layout stays that of earlier
// versions, which leave these bits alone.
constexpr uint32_t kCounterWriteStep = 0x100;

// The shared record of driver-port box 'box': the running pulse and the EEPROM's state,
// as all processes see them. Read and written only while the box is taken. Same layout on
// x86 and x64.
struct SharedBoxRecord {
  uint32_t ownerPid;     // 0 when no pulse is running
  uint32_t eepromState;  // the kEeprom* bits, and the counter's writes
  uint64_t ownerStart;   // the owner process's creation time, so a reused id is not taken for it
  int64_t writtenAt;     // performance counter when the pulse was written
};

// The record of box 'box' (0..9), or null when it cannot be had (then each process
// knows only its own pulses, and every EEPROM operation starts as after a failure) or is a
// squatter's (the box is then not used at all). The machine's record is a file,
// %ProgramData%\TEVRO\port.N.record, which outlives the processes; the session's, shared
// memory, is used when that cannot be had. Opened before the box is first taken, so that a
// squatter's record keeps the box from being used.
SharedBoxRecord* PortSharedRecord(uint8_t box);
// The record of box 'box' when this process has it already; never a system call.
SharedBoxRecord* PortSharedRecordIfOpen(uint8_t box);

// Stamps the record as this process's pulse written at 'writtenAt'; clears the pulse.
void ClaimPulse(SharedBoxRecord* record, int64_t writtenAt);
void ClearPulse(SharedBoxRecord* record);

// Who a running pulse belongs to. A process that cannot be opened for lack of rights is
// alive; one that no longer exists, has ended, or is another process under a reused id is
// gone. kUnknown: there is no record to ask.
enum class PulseOwner : uint8_t { kNone, kThisProcess, kOtherProcess, kGoneProcess, kUnknown };
PulseOwner OwnerOf(const SharedBoxRecord* record);

#endif  // TEVRO_DRIVERPORT_BOX_RECORD_H
