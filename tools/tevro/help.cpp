#include "help.h"

namespace tevro_tool {

namespace {

const char kToolHelp[] =
    "Usage: tevro COMMAND [ARGUMENTS] [OPTIONS]\n"
    "\n"
    "Service tool for the point-of-sale interface boxes driven through TEVRO.DLL\n"
    "(the TEVRO.DLL in the folder of this program).\n"
    "\n"
    "Commands:\n"
    "  list                     the boxes found, with variant, firmware and identity record\n"
    "  kick BOX [--wait]        fire the drawer of BOX; optionally wait until it is closed\n"
    "  switch BOX [--watch]     show the drawer switch of BOX, or follow its changes\n"
    "  identity BOX             read the identity record of BOX\n"
    "  write BOX FIELD VALUE    write the serial number, manufacturing date or stored\n"
    "                           opening count of BOX\n"
    "  check BOX                health check: open, firmware, switch, identity record, close\n"
    "  trace on|off|show        switch the field trace of TEVRO.DLL on or off for every\n"
    "                           program that uses it, or show the trace's last lines\n"
    "  help [COMMAND]           this text, or the help of COMMAND\n"
    "  --version                the version of this tool and of the TEVRO.DLL it was\n"
    "                           released with\n"
    "\n"
    "BOX is a device number: the bridge boxes come first (0, 1, ...), the driver-port\n"
    "boxes follow. 'tevro list' shows the numbers.\n"
    "Run 'tevro COMMAND --help' for the arguments and options of a command.\n"
    "\n"
    "Every command closes the box before it ends, also when stopped with Ctrl+C.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  the library or the box could not be reached, or an operation failed\n"
    "  2  bad usage; no box was touched\n";

const char kListHelp[] =
    "Usage: tevro list\n"
    "\n"
    "Lists the boxes the library counted when it was loaded: the count of bridge and\n"
    "driver-port boxes, then per device number the variant, the firmware text, the\n"
    "serial number, the manufacturing date and the stored opening count.\n"
    "\n"
    "The variant is taken from the firmware text: \"FTDI...\" for a bridge box, \"Cy\" for\n"
    "a driver-port box.\n"
    "\n"
    "Exit codes: 0 every counted box answered; 1 no box was found, or a counted box\n"
    "did not answer; 2 bad usage.\n";

const char kKickHelp[] =
    "Usage: tevro kick BOX [--wait [--timeout MS] [--interval MS] [--closed-state S]]\n"
    "       tevro kick BOX --close-at-once\n"
    "\n"
    "Fires the drawer of box BOX. On a driver-port box the library's own timer ends the\n"
    "drawer pulse 60 ms later; the tool waits until it has ended. The opening is\n"
    "counted, and the count is written into the box when the tool closes it.\n"
    "\n"
    "Options:\n"
    "  --close-at-once     close the box right after the kick, as an application that\n"
    "                      closes at once: the close waits out the drawer pulse and\n"
    "                      ends it\n"
    "  --wait              then wait until the switch reports the drawer closed again\n"
    "  --timeout MS        give up waiting after MS milliseconds (default 30000)\n"
    "  --interval MS       read the switch every MS milliseconds (default 50)\n"
    "  --closed-state S    the switch state (0 or 1) that means \"drawer closed\"\n"
    "                      (default 0; which state stands for which position is set\n"
    "                      by the box's firmware)\n"
    "\n"
    "Exit codes: 0 the drawer was kicked (and, with --wait, closed again in time);\n"
    "1 the box could not be opened, refused the kick, the wait timed out or was\n"
    "interrupted; 2 bad usage.\n";

const char kSwitchHelp[] =
    "Usage: tevro switch BOX [--watch [--timeout MS] [--interval MS]] [--closed-state S]\n"
    "\n"
    "Reads the drawer switch of box BOX once and prints its state (0 or 1) and the\n"
    "drawer position it stands for.\n"
    "\n"
    "Options:\n"
    "  --watch             keep reading and print every change with the time since the\n"
    "                      start, until Ctrl+C or the timeout\n"
    "  --timeout MS        stop watching after MS milliseconds (default: until Ctrl+C)\n"
    "  --interval MS       read the switch every MS milliseconds (default 50)\n"
    "  --closed-state S    the switch state (0 or 1) that means \"drawer closed\" (default 0)\n"
    "\n"
    "Exit codes: 0 the switch was read (while watching: every time); 1 the box could not\n"
    "be opened or its switch could not be read; 2 bad usage.\n";

const char kIdentityHelp[] =
    "Usage: tevro identity BOX\n"
    "\n"
    "Reads the identity record of box BOX: serial number, manufacturing date and the\n"
    "stored opening count, each in decimal and in hex. The values are 32-bit numbers\n"
    "that the library stores without interpreting them.\n"
    "\n"
    "The library reads a field it cannot reach as 0. When a field reads 0 the tool\n"
    "checks that the box still answers (a switch read) and fails when it does not.\n"
    "\n"
    "Exit codes: 0 read; 1 the box could not be opened or the record could not be\n"
    "read; 2 bad usage.\n";

const char kWriteHelp[] =
    "Usage: tevro write BOX FIELD VALUE\n"
    "\n"
    "Writes one field of the identity record of box BOX and reads it back.\n"
    "\n"
    "FIELD is one of\n"
    "  serial    the serial number\n"
    "  date      the manufacturing date (32 bits, stored as given)\n"
    "  count     the stored opening count\n"
    "\n"
    "VALUE is an unsigned 32-bit number in decimal (4294967295) or hex with 0x\n"
    "(0xFFFFFFFF). Signs, spaces, leading zeros in decimal, digits past 32 bits and\n"
    "anything after the number are refused before the box is touched.\n"
    "\n"
    "Exit codes: 0 written and read back; 1 the box could not be opened, the write\n"
    "failed or the box reads back another value; 2 bad usage.\n";

const char kCheckHelp[] =
    "Usage: tevro check BOX\n"
    "\n"
    "Health check of box BOX. Reports each step as ok or failed:\n"
    "  open             the box answers to the open\n"
    "  firmware         the firmware text can be read (and names the variant)\n"
    "  switch           the drawer switch can be read\n"
    "  identity record  serial number, manufacturing date and opening count (a field\n"
    "                   that reads 0 counts only when the box still answers after it)\n"
    "  close            the box is closed again\n"
    "When the open fails the other steps are skipped. A last line says whether the\n"
    "field trace of TEVRO.DLL is on and into which file (see 'tevro trace --help').\n"
    "\n"
    "Exit codes: 0 every step ok; 1 a step failed; 2 bad usage.\n";

const char kTraceHelp[] =
    "Usage: tevro trace on [FILE] [--machine]\n"
    "       tevro trace off [--machine]\n"
    "       tevro trace show [N]\n"
    "\n"
    "Switches the field trace of TEVRO.DLL: one line per library call (function,\n"
    "arguments, result, time taken, the boxes reached and their requests) and per load,\n"
    "scan, message box, drawer pulse and wait, appended to a file. The tool sets or removes\n"
    "the string value TraceFile under HKEY_CURRENT_USER\\Software\\TEVRO (with --machine:\n"
    "HKEY_LOCAL_MACHINE\\Software\\TEVRO, for every user). Programs that use TEVRO.DLL\n"
    "look it up at their first call and every 5 s after; the current user's value comes\n"
    "first.\n"
    "\n"
    "  on [FILE]    trace into FILE (a relative name is made a full path); without FILE\n"
    "               into %LOCALAPPDATA%\\TEVRO\\tevro-trace.log, with --machine into\n"
    "               %ProgramData%\\TEVRO\\tevro-trace.log (the folder is created). Prints\n"
    "               the file's full path\n"
    "  off          stop tracing\n"
    "  show [N]     the last N lines (default 20) of the file the value in force names,\n"
    "               and whose value that is; or that the trace is off\n"
    "\n"
    "Options:\n"
    "  --machine    the machine-wide value instead of the current user's; changing it\n"
    "               needs administrator rights\n"
    "\n"
    "The file is renamed to FILE.1 when it reaches 1 MiB and a new one is begun.\n"
    "\n"
    "Exit codes: 0 done (also when the trace was already off); 1 the setting could not\n"
    "be changed or read (the machine-wide one without administrator rights), or the file\n"
    "cannot be written or read; 2 bad usage.\n";

}  // namespace

std::string HelpText(Command command) {
  switch (command) {
    case Command::kNone:
      return kToolHelp;
    case Command::kList:
      return kListHelp;
    case Command::kKick:
      return kKickHelp;
    case Command::kSwitch:
      return kSwitchHelp;
    case Command::kIdentity:
      return kIdentityHelp;
    case Command::kWrite:
      return kWriteHelp;
    case Command::kCheck:
      return kCheckHelp;
    case Command::kTrace:
      return kTraceHelp;
  }
  return kToolHelp;
}

}  // namespace tevro_tool
