// Threads as the stand-in sees them: the thread a call is made on, its last error, the
// critical sections it holds, and what happens when it ends. One real thread runs
// everything here, so whatever would block for ever on Windows is recorded as a lock
// violation and the call goes on.
#include "state.h"

using namespace hostwin;

namespace {

std::string ThreadText(uint32_t thread) {
  return thread == kPoolThreadId ? "the pool thread" : "thread " + std::to_string(thread);
}

std::string SectionText(const State::Section& section) {
  return "critical section #" + std::to_string(section.number);
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += (out.empty() ? "" : "; ") + text;
  return out;
}

// The record of a section, or null (and a violation) for one never initialised or deleted.
State::Section* SectionOf(const CRITICAL_SECTION* section, const char* what) {
  auto it = S().sections.find(section);
  if (it != S().sections.end()) return &it->second;
  Violation(ThreadText(S().thread) + " " + what + " a critical section that is not initialised");
  return nullptr;
}

}  // namespace

namespace hostwin {

Callout::Callout() { ++S().callouts; }
Callout::~Callout() { --S().callouts; }

void SetError(DWORD error) { S().lastError[S().thread] = error; }
void Violation(const std::string& text) { S().violations.push_back(text); }

std::vector<std::string> LocksOf(uint32_t thread) {
  std::vector<std::string> texts;
  for (const auto& entry : S().objects) {
    const State::Object& m = entry.second;
    if (m.kind != ObjectKind::kMutex || m.ownerThread == 0 || m.ownerThread == kOtherProgram) {
      continue;
    }
    if (thread == kAnyThread || m.ownerThread == thread) {
      texts.push_back("mutex " + entry.first + " held by " + ThreadText(m.ownerThread));
    }
  }
  for (const auto& entry : S().sections) {
    const State::Section& s = entry.second;
    if (s.owner != 0 && (thread == kAnyThread || s.owner == thread)) {
      texts.push_back(SectionText(s) + " held by " + ThreadText(s.owner));
    }
  }
  return texts;
}

void SetThread(uint32_t threadId) { S().thread = threadId; }

void EndThread(uint32_t threadId) {
  for (auto& entry : S().objects) {
    State::Object& m = entry.second;
    if (m.kind == ObjectKind::kMutex && m.ownerThread == threadId) {
      m.ownerThread = 0;
      m.recursion = 0;
      m.abandoned = true;
    }
  }
  // A critical section is not given back when its owner ends: it stays held for ever.
  for (const auto& entry : S().sections) {
    if (entry.second.owner == threadId) {
      Violation(ThreadText(threadId) + " ended holding " + SectionText(entry.second));
    }
  }
}

std::vector<std::string> LockViolations() { return S().violations; }
void ClearLockViolations() { S().violations.clear(); }
std::vector<std::string> LocksHeld() { return LocksOf(kAnyThread); }

void CheckNoLockHeld(const std::string& what) {
  std::vector<std::string> held = LocksOf(S().thread);
  if (!held.empty()) Violation(what + " with a lock held: " + Joined(held));
}

}  // namespace hostwin

extern "C" {

DWORD GetLastError(void) {
  auto it = S().lastError.find(S().thread);
  return it == S().lastError.end() ? 0 : it->second;
}

void SetLastError(DWORD error) { SetError(error); }

DWORD GetCurrentThreadId(void) { return S().thread; }

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
  auto it = S().sections.find(section);
  if (it != S().sections.end() && it->second.owner != 0) {
    Violation(SectionText(it->second) + " initialised again while " + ThreadText(it->second.owner) +
              " holds it");
  }
  State::Section fresh;
  fresh.number = ++S().sectionsMade;
  S().sections[section] = fresh;
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
  State::Section* s = SectionOf(section, "deletes");
  if (s == nullptr) return;
  if (s->owner != 0) {
    Violation(SectionText(*s) + " deleted while " + ThreadText(s->owner) + " holds it");
  }
  S().sections.erase(section);
}

// Another thread's entry would wait until the holder leaves, which in this world it never
// does: a violation; the entering thread then holds it, and the holder it displaced gets
// it back when that thread leaves.
void EnterCriticalSection(LPCRITICAL_SECTION section) {
  State::Section* s = SectionOf(section, "enters");
  if (s == nullptr) {
    InitializeCriticalSection(section);
    s = &S().sections[section];
  }
  if (s->owner == S().thread) {
    ++s->recursion;
    return;
  }
  if (s->owner != 0) {
    Violation(ThreadText(S().thread) + " enters " + SectionText(*s) + ", which " +
              ThreadText(s->owner) + " holds: it would wait for ever");
    s->displaced.emplace_back(s->owner, s->recursion);
  }
  s->owner = S().thread;
  s->recursion = 1;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
  State::Section* s = SectionOf(section, "leaves");
  if (s == nullptr) return;
  if (s->owner != S().thread) {
    Violation(ThreadText(S().thread) + " leaves " + SectionText(*s) + ", which " +
              (s->owner == 0 ? std::string("no thread") : ThreadText(s->owner)) + " holds");
    return;
  }
  if (--s->recursion > 0) return;
  s->owner = 0;
  if (!s->displaced.empty()) {
    s->owner = s->displaced.back().first;
    s->recursion = s->displaced.back().second;
    s->displaced.pop_back();
  }
}

}  // extern "C"
