#include "common/status.h"

#include "common/trace.h"

namespace {

// The failure last seen on each box, by kind; zero-filled: none.
struct ReportedFailures {
  Status last[2][kBoxes];
};

ReportedFailures gReported;

bool FromD2xx(const char* call) { return call[0] == 'F' && call[1] == 'T' && call[2] == '_'; }

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

bool SameFailure(const Status& a, const Status& b) {
  return a.cause == b.cause && a.code == b.code && a.call == b.call;
}

}  // namespace

const char* CauseText(Cause cause) {
  switch (cause) {
    case Cause::kNone:
      return "done";
    case Cause::kBusy:
      return "another caller kept the box";
    case Cause::kNoDevice:
      return "its device could not be opened";
    case Cause::kNoAnswer:
      return "it did not answer as a box does";
    case Cause::kRequestFailed:
      return "a request to it failed";
    case Cause::kWithoutLock:
      return "its lock cannot be had";
    case Cause::kSquatted:
      return "its lock or record is another program's";
    case Cause::kNoRecord:
      return "its user area cannot hold the record";
    case Cause::kNotReady:
      return "its EEPROM did not show ready";
    case Cause::kPulseRunning:
      return "a drawer pulse runs on it";
    case Cause::kNoLibrary:
      return "the D2XX library cannot be used";
    case Cause::kNoSuchBox:
      return "there is no such box";
  }
  return "unknown";
}

const Status& ReportFailure(BoxKind kind, uint8_t box, const Status& status) {
  const char* name = kind == BoxKind::kPort ? "port" : "bridge";
  if (box < kBoxes) {
    Status& last = gReported.last[static_cast<uint8_t>(kind)][box];
    if (status.ok() || SameFailure(status, last)) {
      last = status;
      return status;
    }
    last = status;
  } else if (status.ok()) {
    return status;
  }
  if (TracedWhereItHappened(status.cause)) return status;
  if (status.call == nullptr) {
    TraceEvent("failure", "%s %u: %s", name, box, CauseText(status.cause));
  } else {
    TraceEvent("failure", "%s %u: %s (%s: %s %lu)", name, box, CauseText(status.cause), status.call,
               FromD2xx(status.call) ? "status" : "error", static_cast<unsigned long>(status.code));
  }
  return status;
}
