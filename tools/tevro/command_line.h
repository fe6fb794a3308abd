// The tool's command line: commands, their arguments and options, checked completely
// before anything is loaded or any box is touched.
#ifndef TOOLS_TEVRO_COMMAND_LINE_H
#define TOOLS_TEVRO_COMMAND_LINE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace tevro_tool {

enum class Command { kNone, kList, kKick, kSwitch, kIdentity, kWrite, kCheck, kTrace };

// What the trace command does: set the TraceFile value, remove it, show the file's end.
enum class TraceAction { kOn, kOff, kShow };

// The identity-record fields the write command can set.
enum class Field { kSerialNumber, kMfgDate, kOpenCount };

constexpr uint32_t kDefaultPollMs = 50;
constexpr uint32_t kDefaultWaitTimeoutMs = 30000;
constexpr uint32_t kDefaultShowLines = 20;

struct CommandLine {
  Command command = Command::kNone;
  bool showHelp = false;     // print the help of 'command' (kNone: of the tool) and stop
  bool showVersion = false;  // print "tevro <file version>" and stop
  uint8_t box = 0;           // device number
  bool wait = false;         // kick: wait until the drawer is closed again
  bool closeAtOnce = false;  // kick: close right after the kick, dispatching nothing
  bool watch = false;        // switch: report every change
  bool hasTimeout = false;
  uint32_t timeoutMs = 0;
  uint32_t pollMs = kDefaultPollMs;  // time between two switch reads
  uint8_t closedState = 0;           // the switch state that means "drawer closed"
  Field field = Field::kSerialNumber;
  uint32_t value = 0;
  TraceAction traceAction = TraceAction::kShow;
  std::string traceFile;  // trace on: FILE as typed; "" for the default
  bool machine = false;   // trace on/off: the machine-wide value
  uint32_t showLines = kDefaultShowLines;
};

struct ParseOutcome {
  bool ok = false;
  CommandLine line;
  std::string error;  // when !ok: what is wrong, one line
};

// Parses args (without the program name).
ParseOutcome ParseCommandLine(const std::vector<std::string>& args);

// The name a command is called by on the command line ("kick"); "" for kNone.
const char* CommandName(Command command);

// The command called 'name', or kNone.
Command FindCommand(const std::string& name);

// The field called 'name' ("serial", "date", "count"); false for any other name.
bool FindField(const std::string& name, Field* field);

// How a field is called in the tool's output ("serial number").
const char* FieldTitle(Field field);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_COMMAND_LINE_H
