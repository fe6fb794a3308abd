/* window_watch.exe: the dialog watcher of a scripts/wine-run session. The runner builds it
 * with the MinGW-w64 cross compiler, starts it before the program it runs and ends it with
 * the session.
 *
 *   window_watch READY-FILE DISMISS-SECONDS
 *
 * It first makes the session's desktop exist: Wine's desktop process starts with the
 * standard handles of the first program that needs it and keeps them for the whole session,
 * so a later program whose output goes into a pipe would otherwise leave that pipe open.
 * It then creates READY-FILE and watches the dialogs (window class #32770, message boxes
 * among them) of every process of the session. A dialog that stays up is reported on
 * standard output with its program, caption and text; with DISMISS-SECONDS above 0 it is
 * answered with OK once it has been up that long (nobody can press a button on a virtual
 * screen), and closed if OK does not end it. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_DIALOGS 64
#define POLL_MS 200
#define REPORT_AFTER_MS 3000
#define CLOSE_AFTER_OK_MS 2000
#define MESSAGE_BOX_TEXT_ID 0xFFFF /* the static control that holds a message box's text */
#define TEXT_TIMEOUT_MS 1000

struct Dialog {
  HWND window;
  DWORD shownAt;
  DWORD answeredAt;
  int seen;
  int reported;
  int answered;
  int closed;
};

static struct Dialog dialogs[MAX_DIALOGS];
static int dialogCount;
static DWORD dismissMs;

static BOOL CALLBACK NoteDialog(HWND window, LPARAM unused) {
  char className[16];
  (void)unused;
  if (!IsWindowVisible(window) || GetClassNameA(window, className, sizeof className) == 0 ||
      strcmp(className, "#32770") != 0) {
    return TRUE;
  }
  for (int i = 0; i < dialogCount; ++i) {
    if (dialogs[i].window == window) {
      dialogs[i].seen = 1;
      return TRUE;
    }
  }
  if (dialogCount < MAX_DIALOGS) {
    struct Dialog fresh = {window, GetTickCount(), 0, 1, 0, 0, 0};
    dialogs[dialogCount++] = fresh;
  }
  return TRUE;
}

/* Text of a window of another process, one line, without waiting on a hung process. */
static void WindowText(HWND window, char* text, size_t size) {
  DWORD_PTR copied = 0;
  text[0] = '\0';
  if (window == NULL || !SendMessageTimeoutA(window, WM_GETTEXT, size, (LPARAM)text,
                                             SMTO_ABORTIFHUNG, TEXT_TIMEOUT_MS, &copied)) {
    text[0] = '\0';
  }
  text[size - 1] = '\0';
  for (char* c = text; *c != '\0'; ++c) {
    if (*c == '\r' || *c == '\n') *c = ' ';
  }
}

static void ProgramName(HWND window, char* name, DWORD size) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  snprintf(name, size, "process %lu", (unsigned long)pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == NULL) return;
  char path[MAX_PATH];
  DWORD length = sizeof path;
  if (QueryFullProcessImageNameA(process, 0, path, &length)) {
    const char* base = strrchr(path, '\\');
    snprintf(name, size, "%s", base != NULL ? base + 1 : path);
  }
  CloseHandle(process);
}

static void Report(const struct Dialog* dialog) {
  char program[MAX_PATH];
  char caption[256];
  char text[1024];
  ProgramName(dialog->window, program, sizeof program);
  WindowText(dialog->window, caption, sizeof caption);
  WindowText(GetDlgItem(dialog->window, MESSAGE_BOX_TEXT_ID), text, sizeof text);
  printf("wine-run: a dialog of %s waits for a button: \"%s\": %s\n", program, caption,
         text[0] != '\0' ? text : "(no text)");
  if (dismissMs > 0) {
    printf("wine-run: it is answered with OK once it has waited %lu s (--dismiss-after)\n",
           (unsigned long)(dismissMs / 1000));
  } else {
    printf(
        "wine-run: it waits until a button is pressed, which nobody can on the virtual "
        "X server: --dismiss-after SEC answers it\n");
  }
  fflush(stdout);
}

static void Watch(void) {
  for (int i = 0; i < dialogCount; ++i) dialogs[i].seen = 0;
  EnumWindows(NoteDialog, 0);
  int kept = 0;
  for (int i = 0; i < dialogCount; ++i) {
    if (dialogs[i].seen) dialogs[kept++] = dialogs[i];
  }
  dialogCount = kept;

  const DWORD now = GetTickCount();
  for (int i = 0; i < dialogCount; ++i) {
    struct Dialog* d = &dialogs[i];
    const DWORD age = now - d->shownAt;
    const int due = dismissMs > 0 && !d->answered && age >= dismissMs;
    if (!d->reported && (age >= REPORT_AFTER_MS || due)) {
      d->reported = 1;
      Report(d);
    }
    if (due) {
      d->answered = 1;
      d->answeredAt = now;
      PostMessageA(d->window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      printf("wine-run: answered the dialog with OK after %lu s\n",
             (unsigned long)(dismissMs / 1000));
      fflush(stdout);
    } else if (d->answered && !d->closed && now - d->answeredAt >= CLOSE_AFTER_OK_MS) {
      d->closed = 1;
      PostMessageA(d->window, WM_CLOSE, 0, 0);
      printf("wine-run: the dialog has no OK button; asked it to close\n");
      fflush(stdout);
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: window_watch READY-FILE DISMISS-SECONDS\n");
    return 2;
  }
  dismissMs = (DWORD)strtoul(argv[2], NULL, 10) * 1000u;
  _setmode(_fileno(stdout), _O_BINARY); /* lines end in \n, as the runner's own */
  GetDesktopWindow();
  HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (ready == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "window_watch: cannot create %s\n", argv[1]);
    return 1;
  }
  CloseHandle(ready);
  for (;;) {
    Watch();
    Sleep(POLL_MS);
  }
}
