// Stand-in for the subset of <windows.h> that TEVRO's library code uses, for Linux
// host builds. Types keep their Windows widths (DWORD and ULONG are 32-bit, handles
// pointer-sized); the functions are implemented by sim/hostwin over a simulated world.
#ifndef HOSTWIN_WINDOWS_H
#define HOSTWIN_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK
#define APIENTRY

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef char CHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HLOCAL;
typedef HANDLE HWND;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef UCHAR* PUCHAR;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef INT_PTR (*FARPROC)(void);
typedef BYTE* LPBYTE;
typedef LONG LSTATUS;
typedef DWORD REGSAM;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef void (*TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

typedef int64_t LONGLONG;
typedef union _LARGE_INTEGER {
  LONGLONG QuadPart;
} LARGE_INTEGER;

typedef void* PSECURITY_DESCRIPTOR;
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;

#define MAX_PATH 260

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u

#define MB_OK 0x00000000u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1

#define WM_TIMER 0x0113u

#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_WOW64_64KEY 0x0100u
#define KEY_WOW64_32KEY 0x0200u
#define REG_SZ 1u

// System error codes (GetLastError, and the registry's results), as winerror.h has them.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_DISK_FULL 112L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NOT_OWNER 288L
#define ERROR_INVALID_SECURITY_DESCR 1338L

#define FILE_APPEND_DATA 0x0004u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_ALL_ACCESS 0x001F01FFu
#define FILE_GENERIC_READ 0x00120089u
#define FILE_GENERIC_WRITE 0x00120116u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_READ_ATTRIBUTES 0x0080u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME;

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define PAGE_READWRITE 0x04u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define STILL_ACTIVE 259u

// Access rights: standard, generic, and those of mutexes, file mappings and tokens.
#define DELETE 0x00010000u
#define READ_CONTROL 0x00020000u
#define WRITE_DAC 0x00040000u
#define WRITE_OWNER 0x00080000u
#define SYNCHRONIZE 0x00100000u
#define STANDARD_RIGHTS_REQUIRED 0x000F0000u
#define GENERIC_ALL 0x10000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_READ 0x80000000u
#define MUTEX_MODIFY_STATE 0x0001u
#define MUTEX_ALL_ACCESS 0x001F0001u
#define CREATE_MUTEX_INITIAL_OWNER 0x00000001u
#define SECTION_QUERY 0x0001u
#define SECTION_MAP_WRITE 0x0002u
#define SECTION_MAP_READ 0x0004u
#define SECTION_MAP_EXECUTE 0x0008u
#define SECTION_EXTEND_SIZE 0x0010u
#define SECTION_ALL_ACCESS 0x000F001Fu
#define FILE_MAP_WRITE SECTION_MAP_WRITE
#define FILE_MAP_READ SECTION_MAP_READ
#define FILE_MAP_ALL_ACCESS SECTION_ALL_ACCESS
#define TOKEN_QUERY 0x0008u

typedef enum _TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenElevationType = 18,
  TokenElevation = 20,
  TokenIntegrityLevel = 25,
} TOKEN_INFORMATION_CLASS;

typedef struct _TOKEN_ELEVATION {
  DWORD TokenIsElevated;
} TOKEN_ELEVATION, *PTOKEN_ELEVATION;

typedef enum _TOKEN_ELEVATION_TYPE {
  TokenElevationTypeDefault = 1,
  TokenElevationTypeFull = 2,
  TokenElevationTypeLimited = 3,
} TOKEN_ELEVATION_TYPE,
    *PTOKEN_ELEVATION_TYPE;

#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

// Plain data as far as the library is concerned: the stand-in keeps each section's owner
// and depth in the simulated world, by the section's address.
typedef struct _CRITICAL_SECTION {
  void* reserved[5];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

// Thread-pool timers: opaque to their users.
typedef struct _TP_TIMER TP_TIMER, *PTP_TIMER;
typedef struct _TP_CALLBACK_INSTANCE TP_CALLBACK_INSTANCE, *PTP_CALLBACK_INSTANCE;
typedef struct _TP_CALLBACK_ENVIRON_V3 TP_CALLBACK_ENVIRON, *PTP_CALLBACK_ENVIRON;
typedef void(CALLBACK* PTP_TIMER_CALLBACK)(PTP_CALLBACK_INSTANCE instance, PVOID context,
                                           PTP_TIMER timer);

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#ifdef __cplusplus
extern "C" {
#endif

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
// FILE_TYPE_DISK for a file on a disk; FILE_TYPE_CHAR for a DOS device (CON, NUL, COM1,
// ...) and other \\.\ names, FILE_TYPE_PIPE for \\.\pipe\...; a box device is
// FILE_TYPE_UNKNOWN (a FILE_DEVICE_UNKNOWN driver device, as Windows reports it).
DWORD GetFileType(HANDLE file);

// The calling thread's last error.
DWORD GetLastError(void);
void SetLastError(DWORD error);

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data);
BOOL FindClose(HANDLE find);

HMODULE LoadLibraryA(LPCSTR name);
// Only the pin of the library's own module is modelled: recorded, not acted on.
BOOL GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// Synchronisation and shared memory between processes and threads. Kept out of the call
// trace: they carry no box traffic.
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name);
HANDLE CreateMutexExA(LPSECURITY_ATTRIBUTES security, LPCSTR name, DWORD flags,
                      DWORD desiredAccess);
HANDLE OpenMutexA(DWORD access, BOOL inherit, LPCSTR name);
// Security descriptors from their text: "D:" with allow (A) and deny (D) entries, an
// optional "S:" integrity label; the result is freed with LocalFree.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          ULONG* size);
HLOCAL LocalFree(HLOCAL memory);
// A descriptor as text; the text is freed with LocalFree.
BOOL ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor,
                                                          DWORD revision, DWORD information,
                                                          LPSTR* text, ULONG* length);
#define OWNER_SECURITY_INFORMATION 0x00000001u
#define GROUP_SECURITY_INFORMATION 0x00000002u
#define DACL_SECURITY_INFORMATION 0x00000004u
typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE,
  SE_FILE_OBJECT,
  SE_KERNEL_OBJECT = 6
} SE_OBJECT_TYPE;
typedef void* PSID;
typedef struct _ACL* PACL;
// The security of an object: of a named mutex or mapping, or a file (SE_FILE_OBJECT), by its
// handle (which must carry READ_CONTROL), of a file or folder by its path. Only the descriptor is
// handed out (the other pointers may be null); it is freed with LocalFree. Results are Win32 error
// codes.
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, DWORD information, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
DWORD GetNamedSecurityInfoA(LPCSTR name, SE_OBJECT_TYPE type, DWORD information, PSID* owner,
                            PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
// A folder, with the security given (only its text is kept).
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL ReleaseMutex(HANDLE mutex);
DWORD WaitForSingleObject(HANDLE object, DWORD ms);
HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                          DWORD sizeHigh, DWORD sizeLow, LPCSTR name);
HANDLE OpenFileMappingA(DWORD access, BOOL inherit, LPCSTR name);
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t bytes);
BOOL UnmapViewOfFile(LPCVOID view);
HANDLE GetCurrentProcess(void);
DWORD GetCurrentProcessId(void);
DWORD GetCurrentThreadId(void);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD code);
BOOL GetProcessTimes(HANDLE process, FILETIME* created, FILETIME* exited, FILETIME* kernel,
                     FILETIME* user);
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information,
                         DWORD length, PDWORD returned);

// Thread-pool timers. The callback runs on a pool thread; in the stand-in, when the test
// lets virtual time pass or the harness runs due callbacks, never inside a library call.
PTP_TIMER CreateThreadpoolTimer(PTP_TIMER_CALLBACK callback, PVOID context,
                                PTP_CALLBACK_ENVIRON environment);
void SetThreadpoolTimer(PTP_TIMER timer, PFILETIME dueTime, DWORD msPeriod, DWORD msWindowLength);
void WaitForThreadpoolTimerCallbacks(PTP_TIMER timer, BOOL cancelPending);
void CloseThreadpoolTimer(PTP_TIMER timer);

// Files (other than devices), the registry and the local time: what the trace needs. Kept
// out of the call trace.
BOOL WriteFile(HANDLE file, LPCVOID data, DWORD length, LPDWORD written, LPOVERLAPPED overlapped);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
void GetLocalTime(SYSTEMTIME* time);
LSTATUS RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY key);
LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
LSTATUS RegCloseKey(HKEY key);

void Sleep(DWORD ms);
DWORD GetTickCount(void);
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
BOOL MessageBeep(UINT type);
UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND window, UINT_PTR id);

// The library's entry point; exported from the host build so tests can deliver the load
// notifications as the Windows loader does.
__attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE module, DWORD reason,
                                                           LPVOID reserved);

#ifdef __cplusplus
}
#endif

#endif  // HOSTWIN_WINDOWS_H
