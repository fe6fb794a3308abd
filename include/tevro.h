/*
 * tevro.h - C interface of TEVRO.DLL, the point-of-sale interface box library.
 *
 * The DLL exports its functions under decorated names (for example
 * "@KasseOpen$qv", ordinal 6). The import libraries that ship with this header
 * bind the plain names below to those exports, so C and C++ callers never see
 * the decorations. Every function is cdecl; a TEVRO_BOOL result is one byte,
 * 1 for true and 0 for false.
 *
 * Usage: ScanForPos (or the count taken at load, GetNumPos) tells how many
 * boxes there are; OpenPosInterface selects one by device number; the other
 * calls act on the selected box; ClosePosInterface ends the session and stores
 * the count of drawer openings in the box. No box is held open between calls.
 *
 * Device numbers: bridge boxes first (0 .. bridge count - 1), then driver-port
 * boxes (bridge count + 0 .. bridge count + 9).
 *
 * Sharing: processes and threads need no lock of their own. Each operation on a
 * box holds that box for itself (across the processes of one logon session,
 * x86 and x64 alike; not across logon sessions), and every call holds the
 * process's own lock, so threads of one process take turns. A box another
 * caller keeps is waited for up to 5 s (a close: 30 s); then the call fails as
 * if the box did not answer: getters 0, setters and KasseOpen 0, nothing
 * written, no opening counted. The openings of a close that could not write
 * stay owed and are written by a later call or at unload; they are given up
 * only when the box is gone. One drawer pulse runs
 * per box at a time, whichever process started it: KasseOpen returns 0 while
 * another's pulse runs, and only its own process ends it.
 *
 * Pulse: KasseOpen on a driver-port box energises the solenoid and returns at
 * once; the library's own timer (a thread-pool timer) releases it 60 ms later,
 * whatever the application's threads do: no message dispatch and no further
 * call is needed. A release that meets a busy box is tried again until it
 * lands. ClosePosInterface, OpenPosInterface, ScanForPos and the unload wait for
 * the rest of a running pulse before they release the drawer; only KasseClose
 * cuts it short. Windows Vista or later.
 *
 * Functions whose name ends in P take one leading pointer that is ignored; they
 * exist because existing applications call those export forms.
 */
#ifndef TEVRO_H
#define TEVRO_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(TEVRO_BUILD)
#define TEVRO_API
#else
#define TEVRO_API __declspec(dllimport)
#endif
#define TEVRO_CALL __cdecl
#else
#define TEVRO_API __attribute__((visibility("default")))
#define TEVRO_CALL
#endif

typedef unsigned char TEVRO_BOOL; /* one byte: 1 true, 0 false */
typedef unsigned int TEVRO_U32;   /* unsigned 32-bit on every target */
typedef int TEVRO_S32;            /* signed 32-bit on every target */

/* Counts the boxes afresh and returns bridge count * 256 + driver-port count.
 * Shows an information message box (and waits for it) when no box is found.
 * A box that is open stays open and usable across the scan. (ordinal 1) */
TEVRO_API TEVRO_U32 TEVRO_CALL ScanForPos(void);

/* The packed counts of the last scan; no scan. Like every function, it may
 * first end a driver-port drawer pulse whose 60 ms are up (one release write),
 * retry a release that did not reach its box, or write back openings a busy
 * box was owed. (ordinal 2) */
TEVRO_API TEVRO_U32 TEVRO_CALL GetNumPos(void);

/* Writes the firmware text of the open box into buf (at least 10 bytes):
 * "FTDI>=1.6" or "FTDI<1.6" on a bridge box, "Cy" on a driver-port box.
 * Leaves buf untouched when no box is open, the box does not answer, or buf is
 * NULL. (ordinal 3) */
TEVRO_API void TEVRO_CALL GetFirmWareVersion(char* buf);

/* Selects box number n and checks that it answers. Returns -1 on failure, any
 * other value on success (compare with -1 only). Selecting another number
 * closes the current box first, as ClosePosInterface does. (ordinal 4) */
TEVRO_API TEVRO_S32 TEVRO_CALL OpenPosInterface(unsigned char n);

/* OpenPosInterface(0). (ordinal 5) */
TEVRO_API TEVRO_S32 TEVRO_CALL OpenPosInterfaceV(void);

/* Fires the drawer of the open box. 1 when the kick reached the box; 0 when no
 * box is open, the box refused it, or a driver-port pulse is still pending.
 * (ordinals 6, 7) */
TEVRO_API TEVRO_BOOL TEVRO_CALL KasseOpen(void);
TEVRO_API TEVRO_BOOL TEVRO_CALL KasseOpenP(void* ignored);

/* Ends a driver-port drawer pulse at once. Always returns 1. (ordinals 8, 9) */
TEVRO_API TEVRO_BOOL TEVRO_CALL KasseClose(void);
TEVRO_API TEVRO_BOOL TEVRO_CALL KasseCloseP(void* ignored);

/* The drawer switch state: 1 when the switch contact is closed (with the usual
 * wiring: the drawer stands open), 0 when it is open. *readFlag (may be NULL)
 * receives 1 when the state was read from the box in this call, else 0; then a
 * bridge box returns the last state it reported, a driver-port box returns 0,
 * and with no box open the last state read is returned (1 before any read) with
 * a beep. (ordinals 10, 11) */
TEVRO_API TEVRO_BOOL TEVRO_CALL GetSwitch(char* readFlag);
TEVRO_API TEVRO_BOOL TEVRO_CALL GetSwitchP(void* ignored, char* readFlag);

/* The opening counter stored in the box; 0 when it cannot be read.
 * (ordinals 12, 13) */
TEVRO_API TEVRO_U32 TEVRO_CALL GetLastOpenCnt(void);
TEVRO_API TEVRO_U32 TEVRO_CALL GetLastOpenCntP(void* ignored);

/* Drawer openings since the box was opened. (ordinals 14, 15) */
TEVRO_API TEVRO_U32 TEVRO_CALL GetLocalOpenCnt(void);
TEVRO_API TEVRO_U32 TEVRO_CALL GetLocalOpenCntP(void* ignored);

/* Stored counter plus the openings of this session; after ClosePosInterface,
 * the total the close wrote back, until a box is open again. Where the stored
 * counter could not be read from the box, the openings of this session alone.
 * (ordinals 16, 17) */
TEVRO_API TEVRO_U32 TEVRO_CALL GetTotalOpenCnt(void);
TEVRO_API TEVRO_U32 TEVRO_CALL GetTotalOpenCntP(void* ignored);

/* The serial number stored in the box; 0 when it cannot be read.
 * (ordinals 18, 19) */
TEVRO_API TEVRO_U32 TEVRO_CALL GetSerialNumber(void);
TEVRO_API TEVRO_U32 TEVRO_CALL GetSerialNumberP(void* ignored);

/* The manufacturing date stored in the box (32 bits, not interpreted); 0 when
 * it cannot be read. (ordinals 20, 21) */
TEVRO_API TEVRO_U32 TEVRO_CALL GetMfgDate(void);
TEVRO_API TEVRO_U32 TEVRO_CALL GetMfgDateP(void* ignored);

/* Service writes of the identity record. 1 when written, 0 when no box is open
 * or the write did not complete. Other fields are left as the box holds them.
 * (ordinals 22, 23, 24) */
TEVRO_API TEVRO_BOOL TEVRO_CALL SetSerialNumber(TEVRO_U32 value);
TEVRO_API TEVRO_BOOL TEVRO_CALL SetMfgDate(TEVRO_U32 value);
TEVRO_API TEVRO_BOOL TEVRO_CALL SetLastOpenCnt(TEVRO_U32 value);

/* Ends the session: stores the openings counted since the open in the box and
 * deselects it. Always returns 1. (ordinals 25, 26) */
TEVRO_API TEVRO_BOOL TEVRO_CALL ClosePosInterface(void);
TEVRO_API TEVRO_BOOL TEVRO_CALL ClosePosInterfaceP(void* ignored);

#ifdef __cplusplus
}
#endif

#endif /* TEVRO_H */
