/*
 * event_log.cpp - the driver's event log: a ring of the last kLogCapacity events, numbered
 * without gaps since the driver started.
 */
#include "driver/driver_state.h"

namespace drelvansim {

Event& LogEvent(EventKind kind, uint32_t box, uint64_t timeUs) {
  Event& event = g_driver.log[g_driver.eventCount % kLogCapacity];
  event.seq = g_driver.eventCount++;
  event.kind = kind;
  event.box = static_cast<uint8_t>(box);
  event.ok = 0;
  event.level = 0;
  event.timeUs = timeUs;
  event.code = 0;
  for (uint32_t i = 0; i < sizeof event.command; ++i) event.command[i] = 0;
  for (uint32_t i = 0; i < sizeof event.reply; ++i) event.reply[i] = 0;
  event.status = 0;
  event.replyBytes = 0;
  event.pid = RequestorPid();
  event.reserved = 0;
  return event;
}

uint32_t LogOldestSeq() {
  const uint32_t held = g_driver.eventCount - g_driver.logBase;
  if (held <= kLogCapacity) return g_driver.logBase;
  return g_driver.eventCount - kLogCapacity;
}

void LogClear() { g_driver.logBase = g_driver.eventCount; }

}  // namespace drelvansim
