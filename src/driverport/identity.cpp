// The identity record in the box's serial EEPROM: three unsigned 32-bit fields, least
// significant byte first, at addresses 0 (stored opening count), 4 (serial number) and
// 8 (manufacturing date). Addresses 12 to 127 are never touched.
#include <windows.h>

#include "common/little_endian.h"
#include "common/trace.h"
#include "driverport/driverport.h"
#include "driverport/link.h"
#include "driverport/microwire.h"

namespace {

constexpr uint8_t kCountAddress = 0;
constexpr uint8_t kSerialAddress = 4;
constexpr uint8_t kDateAddress = 8;
constexpr uint8_t kFieldBytes = 4;

// Why the EEPROM work failed: the part did not get ready, the box was taken without its
// lock, or a transfer failed (the first that did).
Status EepromFailure(const PortDevice& device) {
  if (device.eeprom.state.stuck) return Failure(Cause::kNotReady);
  if (!device.turn.status.ok()) return device.turn.status;
  return device.eepromFailure.ok() ? Failure(Cause::kRequestFailed) : device.eepromFailure;
}

// Reads the field with one read instruction. With 'expected' given, and no write of the
// counter begun by any process since it was seen, the read stops after the low byte when
// that byte is expected's, and the field is taken to be as expected (only a write could have
// changed its other bytes); otherwise it goes on into the other bytes. kRequestFailed when
// a transfer failed (value unusable).
Status ReadOpenField(PortDevice& device, uint8_t address, uint32_t* value,
                     const CounterSeen* expected) {
  Microwire& bus = device.eeprom;
  uint8_t bytes[kFieldBytes] = {};
  uint32_t writes = 0;
  const bool unwritten = expected != nullptr && expected->known && expected->writesKnown &&
                         PortCounterWrites(device, &writes) && writes == expected->writes;
  if (!PortBeginEepromWork(device, EepromPatience::kWait)) {
    PortEndEepromWork(device);
    return EepromFailure(device);
  }
  if (EepromBeginRead(bus, address)) {
    bytes[0] = EepromReadNextByte(bus);
    const bool asExpected = unwritten && !bus.state.failed && bytes[0] == (expected->value & 0xFF);
    if (asExpected) PutLe32(bytes, expected->value);
    for (uint8_t i = 1; i < kFieldBytes && !asExpected; ++i) {
      bytes[i] = EepromReadNextByte(bus);
    }
    MicrowireEndInstruction(bus);
  }
  PortEndEepromWork(device);
  *value = GetLe32(bytes);
  return bus.state.failed ? EepromFailure(device) : kDone;
}

// Writes the field's bytes that differ from what the box holds ('holds'; all
// four when it is not known) between write enable and write disable: a byte is never
// written with the value it holds. True, with nothing sent, when none differs; true once
// the part showed ready after each byte written (every byte programmed), false otherwise.
// The most significant byte is programmed first: a write cut short leaves the old value's
// low bytes under the new value's high ones, so a growing counter never reads back below
// its old value. After a failure the part is given its time to finish programming and the
// write disable goes out all the same; one that cannot (the part stuck, a failed transfer)
// is left to the next operation on the box, which begins with it.
Status WriteOpenField(PortDevice& device, uint8_t address, uint32_t value, const uint32_t* holds) {
  Microwire& bus = device.eeprom;
  uint8_t bytes[kFieldBytes];
  uint8_t old[kFieldBytes];
  PutLe32(bytes, value);
  PutLe32(old, holds != nullptr ? *holds : ~value);
  bool any = false;
  for (uint8_t i = 0; i < kFieldBytes; ++i) any = any || bytes[i] != old[i];
  if (!any) return kDone;
  if (!PortBeginEepromWork(device, EepromPatience::kWait)) {
    PortEndEepromWork(device);
    return EepromFailure(device);
  }
  if (address == kCountAddress) PortNoteCounterWrite(device);
  PortMarkWritesEnabled(device);
  EepromWriteEnable(bus);
  bool programmed = true;
  for (uint8_t i = kFieldBytes; i-- > 0;) {
    if (bytes[i] == old[i]) continue;
    programmed = EepromWriteByte(bus, static_cast<uint8_t>(address + i), bytes[i]) && programmed;
  }
  MicrowireResume(bus);
  if (bus.state.programming) MicrowireAwaitReady(bus, true);
  if (EepromWriteDisable(bus)) PortMarkWritesDisabled(device);
  PortEndEepromWork(device);
  return programmed ? kDone : EepromFailure(device);
}

uint8_t AddressOf(IdentityField field) {
  switch (field) {
    case IdentityField::kLastOpenCnt:
      return kCountAddress;
    case IdentityField::kSerialNumber:
      return kSerialAddress;
    case IdentityField::kMfgDate:
      return kDateAddress;
  }
  return kCountAddress;
}

// A field read on the open device: why not, when a transfer failed. *counter: for the
// counter, the box's count of counter writes and what was read, on a failed read too.
Status ReadIdentityField(PortDevice& device, IdentityField field, uint32_t* value,
                         const CounterSeen* expected, CounterSeen* counter) {
  const uint8_t address = AddressOf(field);
  uint32_t read = 0;
  CounterSeen seen = {};
  if (address == kCountAddress) seen.writesKnown = PortCounterWrites(device, &seen.writes);
  const Status status = ReadOpenField(device, address, &read, expected);
  if (field == IdentityField::kLastOpenCnt) {
    seen.known = status.ok();
    seen.value = read;
    *counter = seen;
  }
  if (status.ok()) *value = read;
  return status;
}

// A field write on the open device, never on a box whose lock could not be had. *counter: for
// the counter, what was written and the box's count of counter writes, on a failure too. The
// beep is the caller's, once the write is done.
Status WriteIdentityField(PortDevice& device, IdentityField field, uint32_t value,
                          const uint32_t* holds, CounterSeen* counter) {
  const Status status = MayWriteBox(BoxKind::kPort, device.box, device.turn)
                            ? WriteOpenField(device, AddressOf(field), value, holds)
                            : device.turn.status;
  // The count of counter writes is told on a failure too: it dates a write left in doubt.
  CounterSeen seen = {.known = status.ok(), .value = value, .writesKnown = false, .writes = 0};
  if (field == IdentityField::kLastOpenCnt) {
    seen.writesKnown = PortCounterWrites(device, &seen.writes);
    *counter = seen;
  }
  return status;
}

// A completed write beeps once.
Status Beeped(const Status& status) {
  if (status.ok()) MessageBeep(0);
  return status;
}

// Box 'box' held for a read-modify-write: one device open, its lock kept throughout. A box
// taken without its lock is not held: the device is closed again and status() says why.
class PortHold {
 public:
  PortHold(uint8_t box, DWORD waitMs)
      : box_(box), opening_(box, waitMs), status_(opening_.status()) {
    if (status_.ok() && !opening_.device().turn.status.ok()) {
      status_ = opening_.device().turn.status;
      opening_.Close();
    }
  }
  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }
  uint8_t box() const { return box_; }
  PortDevice& device() { return opening_.device(); }

 private:
  uint8_t box_;
  PortOpening opening_;
  Status status_;
};

}  // namespace

Status PortReadField(IdentityField field, uint32_t* value, CounterSeen* counter) {
  PortOpening opening(gPortBackend.sessionBox);
  if (!opening.ok()) {
    // The counter is not seen: the box was not reached.
    if (field == IdentityField::kLastOpenCnt) *counter = CounterSeen{};
    return opening.status();
  }
  return ReadIdentityField(opening.device(), field, value, nullptr, counter);
}

Status PortWriteField(IdentityField field, uint32_t value, CounterSeen* counter) {
  Status status = kDone;
  {
    PortOpening opening(gPortBackend.sessionBox);
    if (!opening.ok()) return opening.status();
    status = WriteIdentityField(opening.device(), field, value, nullptr, counter);
  }
  return Beeped(status);
}

Status PortAddToCounter(uint8_t box, CounterAddition& addition, DWORD waitMs, uint32_t* total,
                        CounterSeen* counter) {
  PortHold hold(box, waitMs);
  if (!hold.ok()) return hold.status();
  PortDevice& device = hold.device();
  // The session's copy of the counter, when the try may rely on it: as long as no process
  // began a write of the counter since the copy was seen, the box need only show that the
  // low byte is still the copy's, and adding the openings must not carry out of it (only the
  // low byte is written then).
  // A holder that died on the box since the copy was seen may have changed the counter.
  const CounterSeen copy = device.turn.lastHolderDied ? CounterSeen{} : addition.copy;
  const bool lowByteEnough =
      copy.known && !addition.inDoubt && (copy.value & 0xFF) + uint64_t{addition.count} <= 0xFF;
  uint32_t holds = 0;
  CounterSeen seen = {};
  Status status = ReadIdentityField(device, IdentityField::kLastOpenCnt, &holds,
                                    lowByteEnough ? &copy : nullptr, &seen);
  *counter = seen;
  // A copy the box shows stale (a counter write begun since) is not fallen back on.
  const bool copyStale = copy.writesKnown && seen.writesKnown && seen.writes != copy.writes;
  const bool read = status.ok();
  if (!read && copy.known && !copyStale) {
    holds = copy.value;
    status = kDone;
  }
  if (!status.ok()) return status;
  const uint32_t target = CounterTarget(addition, holds, seen);
  // What the box holds is passed on only when it was read from the box now.
  CounterSeen written = {};
  if (target != holds) {
    status = Beeped(WriteIdentityField(device, IdentityField::kLastOpenCnt, target,
                                       read ? &holds : nullptr, &written));
  }
  return SettleAddition(addition, holds, target, status, written, total, counter);
}
