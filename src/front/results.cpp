#include "front/results.h"

#include "common/trace.h"

namespace {

// The failure last written for each box, by backend; zero-filled: none.
struct ReportedFailures {
  Status last[2][kBoxes];
};

ReportedFailures gReported;

bool FromD2xx(const char* call) { return call[0] == 'F' && call[1] == 'T' && call[2] == '_'; }

// The causes whose line the trace has from where they happened: a wait given up, a lock or
// record that cannot be had or is a squatter's, a part that did not get ready, the D2XX
// library not found, another process's pulse.
bool TracedWhereItHappened(Cause cause) {
  switch (cause) {
    case Cause::kBusy:
    case Cause::kWithoutLock:
    case Cause::kSquatted:
    case Cause::kNotReady:
    case Cause::kNoLibrary:
    case Cause::kPulseRunning:
      return true;
    default:
      return false;
  }
}

}  // namespace

const Status& Reported(const Backend& backend, uint8_t box, const Status& status) {
  if (box >= kBoxes) return status;
  Status& last = gReported.last[static_cast<uint8_t>(backend.kind)][box];
  if (status.ok()) {
    last = kDone;
    return status;
  }
  if (status.cause == last.cause && status.code == last.code) return status;
  last = status;
  if (TracedWhereItHappened(status.cause)) return status;
  if (status.call == nullptr) {
    TraceEvent("failure", "%s %u: %s", backend.name, box, CauseText(status.cause));
  } else {
    TraceEvent("failure", "%s %u: %s (%s: %s %lu)", backend.name, box, CauseText(status.cause),
               status.call, FromD2xx(status.call) ? "status" : "error",
               static_cast<unsigned long>(status.code));
  }
  return status;
}
