program app_dynamic;
{ The same session with TEVRO.DLL loaded at run time: the program starts where the library
  is not installed, and finds each function by its export name. The types are those of
  the unit tevro, cdecl included. }

uses
  Windows;

type
  TGetNumPos = function: LongWord; cdecl;
  TOpenPosInterface = function(N: Byte): LongInt; cdecl;
  TGetFirmWareVersion = procedure(Buf: PAnsiChar); cdecl;
  TGetSerialNumber = function: LongWord; cdecl;
  TKasseOpen = function: Boolean; cdecl;
  TGetSwitch = function(ReadFlag: PByte): Boolean; cdecl;
  TGetTotalOpenCnt = function: LongWord; cdecl;
  TClosePosInterface = function: Boolean; cdecl;

var
  Lib: HMODULE;
  Missing: Boolean;
  GetNumPos: TGetNumPos;
  OpenPosInterface: TOpenPosInterface;
  GetFirmWareVersion: TGetFirmWareVersion;
  GetSerialNumber: TGetSerialNumber;
  KasseOpen: TKasseOpen;
  GetSwitch: TGetSwitch;
  GetTotalOpenCnt: TGetTotalOpenCnt;
  ClosePosInterface: TClosePosInterface;
  Counts: LongWord;
  Firmware: array[0..9] of AnsiChar;
  Fresh: Byte;
  State: Boolean;
  How: PAnsiChar;

{ The address of the export ExportName; nil, with a message, when TEVRO.DLL lacks it. }
function Bind(ExportName: PAnsiChar): Pointer;
var
  Address: Pointer;
begin
  Address := GetProcAddress(Lib, ExportName);
  if Address = nil then
  begin
    WriteLn('TEVRO.DLL has no export ', ExportName);
    Missing := True;
  end;
  Bind := Address;
end;

begin
  Lib := LoadLibrary('TEVRO.DLL');
  if Lib = 0 then
  begin
    WriteLn('TEVRO.DLL cannot be loaded (error ', GetLastError, ')');
    Halt(1);
  end;
  Missing := False;
  GetNumPos := TGetNumPos(Bind('@GetNumPos$qv'));
  OpenPosInterface := TOpenPosInterface(Bind('@OpenPosInterface$quc'));
  GetFirmWareVersion := TGetFirmWareVersion(Bind('@GetFirmWareVersion$qpc'));
  GetSerialNumber := TGetSerialNumber(Bind('@GetSerialNumber$qv'));
  KasseOpen := TKasseOpen(Bind('@KasseOpen$qv'));
  GetSwitch := TGetSwitch(Bind('@GetSwitch$qpc'));
  GetTotalOpenCnt := TGetTotalOpenCnt(Bind('@GetTotalOpenCnt$qv'));
  ClosePosInterface := TClosePosInterface(Bind('@ClosePosInterface$qv'));
  if Missing then Halt(1);

  Counts := GetNumPos();
  WriteLn(Counts shr 8, ' bridge, ', Counts and $FF, ' driver-port boxes');
  if OpenPosInterface(0) = -1 then Halt(1);
  Firmware[0] := #0;
  GetFirmWareVersion(@Firmware[0]);
  WriteLn('firmware ', PAnsiChar(@Firmware[0]), ', serial ', GetSerialNumber());
  if KasseOpen() then Sleep(100); { the library ends the pulse; the drawer springs open }
  Fresh := 0;
  State := GetSwitch(@Fresh);
  if Fresh <> 0 then How := 'read now' else How := 'last known';
  WriteLn('switch ', Ord(State), ' (', How, '), openings ', GetTotalOpenCnt());
  ClosePosInterface();
  FreeLibrary(Lib);
end.
