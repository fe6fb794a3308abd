program unit_probe;
{ Calls each of the 26 functions of the unit tevro, with arguments the library reads right
  only when the unit declares them right: device 1 (not 0), numbers whose four bytes
  differ, an ignored pointer that is not nil ahead of the read flag. Prints one line per
  call, "Name value"; archive_check.py compares them with what the simulated boxes hold
  (box 0 and box 1, driver-port, box 1 with its own serial number and date). }

uses
  tevro;

const
  Ignored = Pointer($5A5A5A5A);

var
  Flag: Byte;
  Firmware: array[0..15] of AnsiChar;

procedure Show(const Name: ShortString; Value: LongWord);
begin
  WriteLn(Name, ' ', Value);
end;

begin
  Show('ScanForPos', ScanForPos);
  Show('GetNumPos', GetNumPos);
  Show('OpenPosInterface(1)<>-1', Ord(OpenPosInterface(1) <> -1));
  FillChar(Firmware, SizeOf(Firmware), 0);
  GetFirmWareVersion(@Firmware[0]);
  WriteLn('GetFirmWareVersion ', PAnsiChar(@Firmware[0]));
  Show('GetSerialNumber', GetSerialNumber);
  Show('GetSerialNumberP', GetSerialNumberP(Ignored));
  Show('SetSerialNumber', Ord(SetSerialNumber($DEADBEEF)));
  Show('GetSerialNumber', GetSerialNumber);
  Show('GetMfgDate', GetMfgDate);
  Show('SetMfgDate', Ord(SetMfgDate(20261208)));
  Show('GetMfgDateP', GetMfgDateP(Ignored));
  Show('SetLastOpenCnt', Ord(SetLastOpenCnt(41)));
  Show('GetLastOpenCnt', GetLastOpenCnt);
  Show('GetLastOpenCntP', GetLastOpenCntP(Ignored));
  Show('KasseOpenP', Ord(KasseOpenP(Ignored)));
  Show('KasseCloseP', Ord(KasseCloseP(Ignored)));
  Show('KasseOpen', Ord(KasseOpen));
  Show('KasseClose', Ord(KasseClose));
  Show('GetLocalOpenCnt', GetLocalOpenCnt);
  Show('GetLocalOpenCntP', GetLocalOpenCntP(Ignored));
  Show('GetTotalOpenCnt', GetTotalOpenCnt);
  Show('GetTotalOpenCntP', GetTotalOpenCntP(Ignored));
  Flag := 7;
  Show('GetSwitch', Ord(GetSwitch(@Flag)));
  Show('ReadFlag', Flag);
  Flag := 7;
  Show('GetSwitchP', Ord(GetSwitchP(Ignored, @Flag)));
  Show('ReadFlag', Flag);
  Show('ClosePosInterfaceP', Ord(ClosePosInterfaceP(Ignored)));
  Show('GetTotalOpenCnt', GetTotalOpenCnt);
  Show('OpenPosInterfaceV<>-1', Ord(OpenPosInterfaceV <> -1));
  Show('GetSerialNumber', GetSerialNumber);
  Show('ClosePosInterface', Ord(ClosePosInterface));
end.
