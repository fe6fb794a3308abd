// Finding the bridge boxes: the D2XX library is used only when its file stands in the
// system folder of the Windows directory, and it is loaded from exactly that path.
#include "bridge/bridge.h"
#include "bridge/link.h"
#include "common/trace.h"

namespace {

constexpr DWORD kWindirBufferSize = 255;  // terminating NUL included
const char kD2xxRelativePath[] = "\\system32\\ftd2xx.dll";

// Forms "<windir>\system32\ftd2xx.dll" into path. False when windir is missing or does
// not fit its buffer.
bool D2xxPath(char (&path)[kWindirBufferSize + sizeof kD2xxRelativePath]) {
  char windir[kWindirBufferSize];
  DWORD length = GetEnvironmentVariableA("windir", windir, kWindirBufferSize);
  if (length == 0 || length >= kWindirBufferSize) return false;
  DWORD at = 0;
  for (DWORD i = 0; i < length; ++i) path[at++] = windir[i];
  for (DWORD i = 0; kD2xxRelativePath[i] != '\0'; ++i) path[at++] = kD2xxRelativePath[i];
  path[at] = '\0';
  return true;
}

// The directory entry of that path: absent, a directory, or a file.
enum class Entry { kNone, kDirectory, kFile };

Entry FindEntry(const char* path) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(path, &data);
  if (find == INVALID_HANDLE_VALUE) return Entry::kNone;
  FindClose(find);
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Entry::kDirectory : Entry::kFile;
}

bool gD2xxTraced;  // the trace has said where the D2XX library was looked for, and how it went

void TraceD2xx(const char* path, const char* outcome, const char* detail = "") {
  if (gD2xxTraced) return;
  gD2xxTraced = true;
  TraceEvent("d2xx", "%s: %s%s", path, outcome, detail);
}

// True when the D2XX library at its system folder path is bound.
bool D2xxUsable(char (&path)[kWindirBufferSize + sizeof kD2xxRelativePath]) {
  if (!D2xxPath(path)) {
    TraceD2xx("%windir%\\system32\\ftd2xx.dll", "windir is not set or too long");
    return false;
  }
  Entry entry = FindEntry(path);
  if (entry != Entry::kFile) {
    TraceD2xx(path, entry == Entry::kNone ? "no such file" : "a directory, not a file");
    return false;
  }
  if (!D2xxBind(path)) {
    if (gD2xx.lacking != nullptr) {
      TraceD2xx(path, "not used: it lacks ", gD2xx.lacking);
    } else {
      TraceD2xx(path, "not used: it does not load");
    }
    return false;
  }
  TraceD2xx(path, "bound");
  return true;
}

}  // namespace

namespace {

// The count ends where no box is: past the last number, or no device of that number.
bool NoBoxThere(const Status& status) {
  return status.is(Cause::kNoSuchBox) ||
         (status.is(Cause::kNoDevice) && status.code == FT_DEVICE_NOT_FOUND);
}

}  // namespace

uint8_t BridgeScan(ScanMode mode, Status* ended) {
  char path[kWindirBufferSize + sizeof kD2xxRelativePath];
  if (!D2xxUsable(path)) return 0;
  // Each probe is a session open and close without the session: the box is opened, set up
  // and read, and closed as a close with nothing to write back closes it.
  // A box another caller keeps is there: it counts, so the numbering does not shift.
  BridgeOpening last = {.userAreaSize = gBridgeSession.userAreaSize,
                        .image = gBridgeSession.image,
                        .imageRead = false};
  uint8_t box = 0;
  for (;; ++box) {
    int32_t opened = 0;
    const Status status = BridgeSetUpBox(box, &last, &opened);
    if (status.ok()) {
      BridgeCloseLeftHandle(box);
    } else if (!status.is(Cause::kBusy)) {
      *ended = NoBoxThere(status) ? kDone : status;
      break;
    }
  }
  if (mode == ScanMode::kNoSessionOnThisBackend) {
    // Addressing the first number that did not open, as the last probe left it; the image
    // is no session's.
    gBridgeSession.box = box;
    gBridgeSession.userAreaSize = last.userAreaSize;
    gBridgeSession.image = last.image;
    gBridgeSession.imageCurrent = false;
  }
  return box;
}
