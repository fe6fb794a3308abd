// control_client.cpp - the control device's requests, as DeviceIoControl calls.
#include "driver/control_client.h"

#include <string.h>

#include <vector>

namespace drelvansim {
namespace {

constexpr uint32_t kLogChunk = 512;  // events asked for per request

bool Request(HANDLE control, uint32_t code, const void* in, DWORD inSize, void* out, DWORD outSize,
             DWORD* returned = nullptr) {
  DWORD bytes = 0;
  BOOL ok =
      DeviceIoControl(control, code, const_cast<void*>(in), inSize, out, outSize, &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok != FALSE;
}

}  // namespace

HANDLE ControlOpen() {
  return CreateFileA(kControlPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

void ControlClose(HANDLE control) {
  if (control != INVALID_HANDLE_VALUE) CloseHandle(control);
}

bool ControlInfo(HANDLE control, SimInfo& info) {
  DWORD bytes = 0;
  return Request(control, kCtlInfo, nullptr, 0, &info, sizeof info, &bytes) &&
         bytes == sizeof info && info.magic == kInfoMagic;
}

bool ControlConfigure(HANDLE control, const BoxConfig& config, BoxInfo* after) {
  BoxInfo info;
  return Request(control, kCtlConfigure, &config, sizeof config, after ? after : &info,
                 sizeof info);
}

bool ControlQuery(HANDLE control, uint32_t box, BoxInfo& info) {
  BoxSelect select = {box};
  DWORD bytes = 0;
  return Request(control, kCtlQuery, &select, sizeof select, &info, sizeof info, &bytes) &&
         bytes == sizeof info;
}

bool ControlEepromRead(HANDLE control, uint32_t box, uint8_t (&memory)[kEepromBytes]) {
  BoxSelect select = {box};
  DWORD bytes = 0;
  return Request(control, kCtlEepromRead, &select, sizeof select, memory, kEepromBytes, &bytes) &&
         bytes == kEepromBytes;
}

bool ControlEepromWrite(HANDLE control, uint32_t box, uint32_t offset, const uint8_t* data,
                        uint32_t length) {
  if (offset > kEepromBytes || length > kEepromBytes - offset) return false;
  EepromWrite write;
  memset(&write, 0, sizeof write);
  write.box = box;
  write.offset = offset;
  write.length = length;
  memcpy(write.data, data, length);
  return Request(control, kCtlEepromWrite, &write, sizeof write, nullptr, 0);
}

bool ControlClearLog(HANDLE control) {
  return Request(control, kCtlClearLog, nullptr, 0, nullptr, 0);
}

bool ControlResetAll(HANDLE control) {
  return Request(control, kCtlResetAll, nullptr, 0, nullptr, 0);
}

bool ControlHold(HANDLE control, const HoldRequest& request, HoldState* state) {
  HoldState after;
  return Request(control, kCtlHold, &request, sizeof request, state ? state : &after, sizeof after);
}

bool ControlLetGo(HANDLE control, bool carryOut, HoldState* state) {
  LetGo letGo = {carryOut ? 1u : 0u};
  HoldState after;
  return Request(control, kCtlLetGo, &letGo, sizeof letGo, state ? state : &after, sizeof after);
}

bool ControlHoldState(HANDLE control, HoldState& state) {
  DWORD bytes = 0;
  return Request(control, kCtlHoldState, nullptr, 0, &state, sizeof state, &bytes) &&
         bytes == sizeof state;
}

bool ControlReadLog(HANDLE control, uint32_t fromSeq, Event* events, uint32_t capacity,
                    uint32_t* returned, uint32_t* next, uint32_t* oldest) {
  std::vector<uint8_t> buffer(sizeof(LogReply) + kLogChunk * sizeof(Event));
  uint32_t total = 0;
  uint32_t from = fromSeq;
  bool first = true;
  for (;;) {
    const uint32_t want = capacity - total < kLogChunk ? capacity - total : kLogChunk;
    LogRequest request = {from, want};
    DWORD bytes = 0;
    if (!Request(control, kCtlReadLog, &request, sizeof request, buffer.data(),
                 static_cast<DWORD>(buffer.size()), &bytes) ||
        bytes < sizeof(LogReply)) {
      return false;
    }
    LogReply header;
    memcpy(&header, buffer.data(), sizeof header);
    if (first && oldest != nullptr) *oldest = header.oldestSeq;
    first = false;
    if (header.returned > want || bytes < sizeof(LogReply) + header.returned * sizeof(Event)) {
      return false;
    }
    if (header.returned == 0) {
      // Nothing from `from` on: the log ends at eventCount.
      from = header.eventCount;
      break;
    }
    memcpy(events + total, buffer.data() + sizeof(LogReply), header.returned * sizeof(Event));
    from = events[total + header.returned - 1].seq + 1;
    total += header.returned;
    if (total == capacity || from == header.eventCount) break;
  }
  *returned = total;
  *next = from;
  return true;
}

BoxConfig NoChange(uint32_t box) {
  BoxConfig config;
  memset(&config, 0, sizeof config);
  config.box = box;
  return config;
}

}  // namespace drelvansim
