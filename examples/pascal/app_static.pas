program app_static;
{ The README's C example in Pascal, bound to TEVRO.DLL when the program loads, through the
  unit tevro (include/tevro.pas). }

uses
  Windows, tevro;

var
  Counts: LongWord;
  Firmware: array[0..9] of AnsiChar;
  Fresh: Byte;
  State: Boolean;
  How: PAnsiChar;
begin
  Counts := GetNumPos;
  WriteLn(Counts shr 8, ' bridge, ', Counts and $FF, ' driver-port boxes');
  if OpenPosInterface(0) = -1 then Halt(1);
  Firmware[0] := #0;
  GetFirmWareVersion(@Firmware[0]);
  WriteLn('firmware ', PAnsiChar(@Firmware[0]), ', serial ', GetSerialNumber);
  if KasseOpen then Sleep(100); { the library ends the pulse; the drawer springs open }
  Fresh := 0;
  State := GetSwitch(@Fresh);
  if Fresh <> 0 then How := 'read now' else How := 'last known';
  WriteLn('switch ', Ord(State), ' (', How, '), openings ', GetTotalOpenCnt);
  ClosePosInterface;
end.
