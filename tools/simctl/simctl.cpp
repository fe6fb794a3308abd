// simctl: configures the simulated boxes (port boxes of the stand-in driver, bridge boxes
// of the stand-in ftd2xx.dll) and prints their logs.
#include "simctl.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace simctl {
namespace {

const char kHelp[] =
    "usage: simctl port|bridge COMMAND [ARGS]   configure the simulated boxes\n"
    "       simctl --help\n"
    "\n"
    "Port boxes: the stand-in driver's \\\\.\\Drelvan_N, N = 0..9 (driver service DrelvanSim).\n"
    "  port ping                      exit 0 when the driver answers; its EEPROM timing faults\n"
    "                                 on every box since it started, and the first of them\n"
    "  port add N [status=0xF3]       plug box N in (it keeps its EEPROM and settings)\n"
    "  port remove N                  pull box N out (\\\\.\\Drelvan_N disappears)\n"
    "  port reset N                   factory-fresh box N: out, status 0xF3, EEPROM all FF\n"
    "  port reset-all                 every box factory-fresh, log cleared\n"
    "  port set N KEY=VALUE...        status=0xF3         port register (bit 0 drawer line)\n"
    "                                 switch=open|closed  the switch contact: closed pulls the\n"
    "                                                     switch line (bit 2) low, switch\n"
    "                                                     state 1 (usually: drawer open)\n"
    "                                 recovery=off|0xF3   status invalid until a recovery "
    "request,\n"
    "                                                     which sets this status\n"
    "                                 fail-from=K         requests fail from the K-th on (0 off)\n"
    "                                 pull-out-before=K   pulled out before the K-th request\n"
    "                                 counters=clear      request counters, drawer time and\n"
    "                                                     EEPROM timing faults to 0\n"
    "                                 program-us=4000     how long the EEPROM programs a byte\n"
    "                                 never-ready=on|off  the EEPROM never finishes programming\n"
    "  port show [N]                  state of box N, or of every box (timing-faults: data in\n"
    "                                 changed while selected with the clock high)\n"
    "  port eeprom N [ADDR [COUNT]]   EEPROM bytes in hex (default: all 128)\n"
    "  port eeprom-write N ADDR HH... write EEPROM bytes (hex)\n"
    "  port save FILE                 save the EEPROMs of all boxes\n"
    "  port load FILE                 load EEPROMs saved with 'port save'\n"
    "  port log [from=SEQ] [box=N]    event log: requests, drawer line, opens, closes, config,\n"
    "                                 EEPROM timing faults (after the pin write that broke it);\n"
    "                                 the last line 'next=SEQ' is where to continue\n"
    "  port clear-log\n"
    "  port time                      the driver's clock and this process's (microseconds)\n"
    "  port hold N K [pid=P] [after-pulse]\n"
    "                                 keep the K-th request on box N of process P (of the\n"
    "                                 first process to make one) pending, counted from now or\n"
    "                                 from after its pulse, until let go or cancelled (its\n"
    "                                 process killed); K = 0 disarms\n"
    "  port let-go [carry-out|cancel] end the hold: the held request carried out, or not\n"
    "  port hold-state                what the hold is doing\n"
    "\n"
    "Bridge boxes: the stand-in ftd2xx.dll, D2XX device numbers 0..9. Their state is the file\n"
    "named by TEVRO_SIM_BRIDGES (default: tevro-sim-bridges.dat in the temporary folder).\n"
    "  bridge path                    the state file in use\n"
    "  bridge add N [ua-size=16]      plug box N in (a new box: user area zero, switch open)\n"
    "  bridge remove N                pull box N out (its handles become invalid)\n"
    "  bridge reset N                 forget box N (out, as never seen)\n"
    "  bridge reset-all               forget every box, clear the log\n"
    "  bridge set N KEY=VALUE...      switch=open|closed  the switch contact, as on a port\n"
    "                                                     box: closed is switch state 1\n"
    "                                 switch=0xHH         reply to the switch query ('}' 0x7D:\n"
    "                                                     state 0, any other byte: state 1)\n"
    "                                 version=0xHH        reply to the version query\n"
    "                                 open-failures=K     the next K opens fail\n"
    "                                 write-limit=K|off   writes take at most K bytes\n"
    "                                 write-fails=0|1     ua-size-fails=0|1  ua-read-fails=0|1\n"
    "                                 ua-read-limit=K|off ua-write-fails=0|1 no-reply=0|1\n"
    "                                 get-status-fails=0|1 tx-queue=K  faults=clear\n"
    "  bridge fault-at K KIND         the K-th D2XX call from now (any process) meets a fault:\n"
    "                                 error (fails), short (one byte less, or no reply byte),\n"
    "                                 unplug (every box pulled out first); K = 0 disarms\n"
    "  bridge show [N]                state of box N, or of the world and every known box\n"
    "  bridge ua N                    the user area in hex\n"
    "  bridge ua-write N OFFSET HH... write user-area bytes (hex)\n"
    "  bridge log [from=SEQ] [box=N]  D2XX call log; last line 'next=SEQ'\n"
    "  bridge clear-log\n"
    "\n"
    "Exit status: 0 done, 1 the simulated world could not be reached or refused, 2 usage.\n";

}  // namespace

bool ParseNumber(const char* text, uint32_t max, uint32_t* value) {
  if (text == nullptr || *text == 0 || *text == '-') return false;
  char* end = nullptr;
  unsigned long long n = strtoull(text, &end, 0);
  if (*end != 0 || n > max) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

bool ParseHexByte(const char* text, uint8_t* value) {
  if (text == nullptr) return false;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  size_t length = strlen(text);
  if (length == 0 || length > 2) return false;
  char* end = nullptr;
  unsigned long n = strtoul(text, &end, 16);
  if (*end != 0) return false;
  *value = static_cast<uint8_t>(n);
  return true;
}

bool SplitSetting(const char* text, char* key, uint32_t keySize, const char** value) {
  const char* equals = strchr(text, '=');
  if (equals == nullptr || static_cast<uint32_t>(equals - text) >= keySize) return false;
  memcpy(key, text, equals - text);
  key[equals - text] = 0;
  *value = equals + 1;
  return true;
}

void PrintHex(const uint8_t* data, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) printf(i == 0 ? "%02x" : " %02x", data[i]);
}

void PrintMs(uint64_t timeUs) {
  printf("%llu.%03u", static_cast<unsigned long long>(timeUs / 1000u),
         static_cast<unsigned>(timeUs % 1000u));
}

int Usage(const char* problem) {
  fprintf(stderr, "simctl: %s (simctl --help lists the commands)\n", problem);
  return kExitUsage;
}

}  // namespace simctl

int main(int argc, char** argv) {
  using namespace simctl;
  if (argc < 2) return Usage("no command");
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    fputs(kHelp, stdout);
    return kExitOk;
  }
  int status = kExitUsage;
  if (strcmp(argv[1], "port") == 0) {
    status = argc < 3 ? Usage("port: no command") : PortCommand(argc - 2, argv + 2);
  } else if (strcmp(argv[1], "bridge") == 0) {
    status = argc < 3 ? Usage("bridge: no command") : BridgeCommand(argc - 2, argv + 2);
  } else {
    status = Usage("unknown command");
  }
  fflush(stdout);
  return status;
}
