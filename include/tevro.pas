{
  tevro.pas - Pascal interface of TEVRO.DLL, the point-of-sale interface box library.

  For Delphi and Free Pascal, in any compiler mode (Delphi, ObjFPC and the others), for
  32-bit and 64-bit Windows programs; the program loads the TEVRO.DLL of its own
  architecture. Add this unit to the program's uses clause: each function below is bound
  to its decorated export name (for example '@KasseOpen$qv', ordinal 6), so neither an
  import library nor the decorations are needed in the program's own code.

  What the declarations must keep, and why:
  - cdecl: the caller removes the arguments. Without it, 32-bit Delphi and Free Pascal
    pass the first arguments in registers (their default convention) where the library
    reads the stack; 64-bit Windows has one convention only, so the mistake shows on x86.
  - Boolean results are one byte, 1 for true and 0 for false: Boolean, never BOOL or
    LongBool, which would also read three bytes the library leaves undefined.
  - 32-bit numbers are LongWord and LongInt, 32 bits in every compiler mode and on both
    targets (Integer is 16 bits in Free Pascal's default and Turbo Pascal modes).

  Usage: ScanForPos (or the count taken at load, GetNumPos) tells how many boxes there
  are; OpenPosInterface selects one by device number; the other calls act on the
  selected box; ClosePosInterface ends the session and stores the count of drawer
  openings in the box. No box is held open between calls.

  Device numbers: bridge boxes first (0 .. bridge count - 1), then driver-port boxes
  (bridge count + 0 .. bridge count + 9).

  Sharing: processes and threads need no lock of their own. Each operation on a box
  holds that box for itself (across the processes of one logon session, x86 and x64
  alike; not across logon sessions), and every call holds the process's own lock. A box
  another caller keeps is waited for up to 5 s (a close: 30 s); then the call fails as if
  the box did not answer: getters 0, setters and KasseOpen False, nothing written, no
  opening counted. The openings of a close that could not write stay owed and are
  written by a later call or at unload. One drawer pulse runs per box at a time.

  Pulse: KasseOpen on a driver-port box energises the solenoid and returns at once; the
  library's own timer releases it 60 ms later, whatever the program's threads do.
  ClosePosInterface, OpenPosInterface, ScanForPos and the unload wait for the rest of a
  running pulse before they release the drawer; only KasseClose cuts it short.

  Functions whose name ends in P take one leading pointer that is ignored; they exist
  because existing applications call those export forms.
}
unit tevro;

interface

type
  { The read flag of GetSwitch: 1 when the state was read from the box in this call. }
  PTevroFlag = ^Byte;

{ Counts the boxes afresh and returns bridge count * 256 + driver-port count. Shows an
  information message box (and waits for it) when no box is found. A box that is open
  stays open and usable across the scan. (ordinal 1) }
function ScanForPos: LongWord; cdecl; external 'TEVRO.DLL' name '@ScanForPos$qv';

{ The packed counts of the last scan; no scan. Like every function, it may first end a
  driver-port drawer pulse whose 60 ms are up, retry a release that did not reach its
  box, or write back openings a busy box was owed. (ordinal 2) }
function GetNumPos: LongWord; cdecl; external 'TEVRO.DLL' name '@GetNumPos$qv';

{ Writes the firmware text of the open box, NUL-terminated, into Buf (at least 10
  bytes): 'FTDI>=1.6' or 'FTDI<1.6' on a bridge box, 'Cy' on a driver-port box. Leaves
  Buf untouched when no box is open, the box does not answer, or Buf is nil.
  (ordinal 3) }
procedure GetFirmWareVersion(Buf: PAnsiChar); cdecl;
  external 'TEVRO.DLL' name '@GetFirmWareVersion$qpc';

{ Selects box number N and checks that it answers. Returns -1 on failure, any other
  value on success (compare with -1 only). Selecting another number closes the current
  box first, as ClosePosInterface does. (ordinal 4) }
function OpenPosInterface(N: Byte): LongInt; cdecl;
  external 'TEVRO.DLL' name '@OpenPosInterface$quc';

{ OpenPosInterface(0). (ordinal 5) }
function OpenPosInterfaceV: LongInt; cdecl; external 'TEVRO.DLL' name '@OpenPosInterface$qv';

{ Fires the drawer of the open box. True when the kick reached the box; False when no
  box is open, the box refused it, or a driver-port pulse is still pending.
  (ordinals 6, 7) }
function KasseOpen: Boolean; cdecl; external 'TEVRO.DLL' name '@KasseOpen$qv';
function KasseOpenP(Ignored: Pointer): Boolean; cdecl;
  external 'TEVRO.DLL' name '@KasseOpen$qpv';

{ Ends a driver-port drawer pulse at once. Always True. (ordinals 8, 9) }
function KasseClose: Boolean; cdecl; external 'TEVRO.DLL' name '@KasseClose$qv';
function KasseCloseP(Ignored: Pointer): Boolean; cdecl;
  external 'TEVRO.DLL' name '@KasseClose$qpv';

{ The drawer switch state: True when the switch contact is closed (with the usual wiring:
  the drawer stands open), False when it is open. ReadFlag^ (ReadFlag may be nil)
  receives 1 when the state was read from the box in this call, else 0; then a bridge box
  returns the last state it reported, a driver-port box False, and with no box open the
  last state read is returned (True before any read) with a beep. (ordinals 10, 11) }
function GetSwitch(ReadFlag: PTevroFlag): Boolean; cdecl;
  external 'TEVRO.DLL' name '@GetSwitch$qpc';
function GetSwitchP(Ignored: Pointer; ReadFlag: PTevroFlag): Boolean; cdecl;
  external 'TEVRO.DLL' name '@GetSwitch$qpvpc';

{ The opening counter stored in the box; 0 when it cannot be read. (ordinals 12, 13) }
function GetLastOpenCnt: LongWord; cdecl; external 'TEVRO.DLL' name '@GetLastOpenCnt$qv';
function GetLastOpenCntP(Ignored: Pointer): LongWord; cdecl;
  external 'TEVRO.DLL' name '@GetLastOpenCnt$qpv';

{ Drawer openings since the box was opened. (ordinals 14, 15) }
function GetLocalOpenCnt: LongWord; cdecl; external 'TEVRO.DLL' name '@GetLocalOpenCnt$qv';
function GetLocalOpenCntP(Ignored: Pointer): LongWord; cdecl;
  external 'TEVRO.DLL' name '@GetLocalOpenCnt$qpv';

{ Stored counter plus the openings of this session; after ClosePosInterface, the total
  the close wrote back, until a box is open again. Where the stored counter could not be
  read from the box, the openings of this session alone. (ordinals 16, 17) }
function GetTotalOpenCnt: LongWord; cdecl; external 'TEVRO.DLL' name '@GetTotalOpenCnt$qv';
function GetTotalOpenCntP(Ignored: Pointer): LongWord; cdecl;
  external 'TEVRO.DLL' name '@GetTotalOpenCnt$qpv';

{ The serial number stored in the box; 0 when it cannot be read. (ordinals 18, 19) }
function GetSerialNumber: LongWord; cdecl; external 'TEVRO.DLL' name '@GetSerialNumber$qv';
function GetSerialNumberP(Ignored: Pointer): LongWord; cdecl;
  external 'TEVRO.DLL' name '@GetSerialNumber$qpv';

{ The manufacturing date stored in the box (32 bits, not interpreted); 0 when it cannot
  be read. (ordinals 20, 21) }
function GetMfgDate: LongWord; cdecl; external 'TEVRO.DLL' name '@GetMfgDate$qv';
function GetMfgDateP(Ignored: Pointer): LongWord; cdecl;
  external 'TEVRO.DLL' name '@GetMfgDate$qpv';

{ Service writes of the identity record. True when written, False when no box is open or
  the write did not complete. Other fields are left as the box holds them.
  (ordinals 22, 23, 24) }
function SetSerialNumber(Value: LongWord): Boolean; cdecl;
  external 'TEVRO.DLL' name '@SetSerialNumber$qul';
function SetMfgDate(Value: LongWord): Boolean; cdecl;
  external 'TEVRO.DLL' name '@SetMfgDate$qul';
function SetLastOpenCnt(Value: LongWord): Boolean; cdecl;
  external 'TEVRO.DLL' name '@SetLastOpenCnt$qul';

{ Ends the session: stores the openings counted since the open in the box and deselects
  it. Always True. (ordinals 25, 26) }
function ClosePosInterface: Boolean; cdecl; external 'TEVRO.DLL' name '@ClosePosInterface$qv';
function ClosePosInterfaceP(Ignored: Pointer): Boolean; cdecl;
  external 'TEVRO.DLL' name '@ClosePosInterface$qpv';

implementation

end.
