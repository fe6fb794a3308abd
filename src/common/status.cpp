#include "common/status.h"

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
