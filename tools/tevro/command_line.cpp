#include "command_line.h"

#include "numbers.h"

namespace tevro_tool {

namespace {

enum OptionBit : unsigned {
  kOptWait = 1u << 0,
  kOptWatch = 1u << 1,
  kOptTimeout = 1u << 2,
  kOptPoll = 1u << 3,
  kOptClosedState = 1u << 4,
  kOptMachine = 1u << 5,
  kOptCloseAtOnce = 1u << 6,
};

struct OptionRule {
  const char* name;  // without the leading "--"
  OptionBit bit;
  bool takesValue;
};

const OptionRule kOptions[] = {
    {"wait", kOptWait, false},
    {"watch", kOptWatch, false},
    {"timeout", kOptTimeout, true},
    {"interval", kOptPoll, true},
    {"closed-state", kOptClosedState, true},
    {"machine", kOptMachine, false},
    {"close-at-once", kOptCloseAtOnce, false},
};

struct CommandRule {
  Command command;
  const char* name;
  std::vector<const char*> arguments;  // positional arguments, in order
  unsigned options;                    // OptionBit set
};

const CommandRule kCommands[] = {
    {Command::kList, "list", {}, 0},
    {Command::kKick,
     "kick",
     {"BOX"},
     kOptWait | kOptTimeout | kOptPoll | kOptClosedState | kOptCloseAtOnce},
    {Command::kSwitch, "switch", {"BOX"}, kOptWatch | kOptTimeout | kOptPoll | kOptClosedState},
    {Command::kIdentity, "identity", {"BOX"}, 0},
    {Command::kWrite, "write", {"BOX", "FIELD", "VALUE"}, 0},
    {Command::kCheck, "check", {"BOX"}, 0},
    // Its arguments depend on the action: TakeTraceArguments.
    {Command::kTrace, "trace", {}, kOptMachine},
};

const CommandRule* FindRule(Command command) {
  for (const CommandRule& rule : kCommands) {
    if (rule.command == command) return &rule;
  }
  return nullptr;
}

const OptionRule* FindOption(const std::string& name) {
  for (const OptionRule& option : kOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

bool IsHelpFlag(const std::string& arg) { return arg == "--help" || arg == "-h"; }

ParseOutcome Fail(const std::string& error) {
  ParseOutcome outcome;
  outcome.error = error;
  return outcome;
}

ParseOutcome Help(Command topic) {
  ParseOutcome outcome;
  outcome.ok = true;
  outcome.line.command = topic;
  outcome.line.showHelp = true;
  return outcome;
}

// Fills in the value of one option; "" or an error.
std::string TakeOptionValue(const OptionRule& option, const std::string& text, CommandLine* line) {
  uint32_t value = 0;
  std::string why;
  if (!ParseU32(text, &value, &why)) return "--" + std::string(option.name) + ": " + why;
  switch (option.bit) {
    case kOptTimeout:
      line->hasTimeout = true;
      line->timeoutMs = value;
      break;
    case kOptPoll:
      if (value == 0) return "--interval must be at least 1 ms";
      line->pollMs = value;
      break;
    case kOptClosedState:
      if (value > 1) return "--closed-state must be 0 or 1";
      line->closedState = static_cast<uint8_t>(value);
      break;
    default:
      break;
  }
  return "";
}

std::string TakeBox(const std::string& text, CommandLine* line) {
  uint32_t value = 0;
  std::string why;
  if (!ParseU32(text, &value, &why)) return "BOX: " + why;
  if (value > 255) return "BOX: '" + text + "' is not a device number (0 to 255)";
  line->box = static_cast<uint8_t>(value);
  return "";
}

// trace on [FILE] | off | show [N]; --machine with on and off only.
std::string TakeTraceArguments(const std::vector<std::string>& positionals, CommandLine* line) {
  if (positionals.empty()) return "missing ACTION (on, off or show)";
  const std::string& action = positionals[0];
  size_t allowed = 1;
  if (action == "on") {
    line->traceAction = TraceAction::kOn;
    allowed = 2;
  } else if (action == "off") {
    line->traceAction = TraceAction::kOff;
  } else if (action == "show") {
    line->traceAction = TraceAction::kShow;
    allowed = 2;
    if (line->machine) return "show takes no --machine: it shows the trace in force";
  } else {
    return "unknown ACTION '" + action + "' (on, off or show)";
  }
  if (positionals.size() > allowed) {
    return "unexpected argument '" + positionals[allowed] + "'";
  }
  if (positionals.size() < 2) return "";
  if (line->traceAction == TraceAction::kOn) {
    if (positionals[1].empty()) return "FILE: empty name";
    line->traceFile = positionals[1];
    return "";
  }
  std::string why;
  if (!ParseU32(positionals[1], &line->showLines, &why)) return "N: " + why;
  if (line->showLines == 0) return "N must be at least 1";
  return "";
}

}  // namespace

const char* CommandName(Command command) {
  const CommandRule* rule = FindRule(command);
  return rule != nullptr ? rule->name : "";
}

Command FindCommand(const std::string& name) {
  for (const CommandRule& rule : kCommands) {
    if (name == rule.name) return rule.command;
  }
  return Command::kNone;
}

bool FindField(const std::string& name, Field* field) {
  if (name == "serial") {
    *field = Field::kSerialNumber;
  } else if (name == "date") {
    *field = Field::kMfgDate;
  } else if (name == "count") {
    *field = Field::kOpenCount;
  } else {
    return false;
  }
  return true;
}

const char* FieldTitle(Field field) {
  switch (field) {
    case Field::kSerialNumber:
      return "serial number";
    case Field::kMfgDate:
      return "manufacturing date";
    case Field::kOpenCount:
      return "stored opening count";
  }
  return "";
}

ParseOutcome ParseCommandLine(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("no command given");
  const std::string& first = args[0];
  if (IsHelpFlag(first)) return Help(Command::kNone);
  if (first == "--version") {
    if (args.size() > 1) return Fail("--version takes no arguments");
    ParseOutcome outcome;
    outcome.ok = true;
    outcome.line.showVersion = true;
    return outcome;
  }
  if (first == "help") {
    if (args.size() == 1) return Help(Command::kNone);
    Command topic = FindCommand(args[1]);
    if (topic == Command::kNone) return Fail("help: unknown command '" + args[1] + "'");
    if (args.size() > 2) return Fail("help takes one command name");
    return Help(topic);
  }
  Command command = FindCommand(first);
  if (command == Command::kNone) {
    if (!first.empty() && first[0] == '-') return Fail("unknown option '" + first + "'");
    return Fail("unknown command '" + first + "'");
  }
  const CommandRule& rule = *FindRule(command);
  const std::string where = std::string(rule.name) + ": ";

  // A help flag anywhere wins over every other argument.
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--") break;
    if (IsHelpFlag(args[i])) return Help(command);
  }

  ParseOutcome outcome;
  CommandLine& line = outcome.line;
  line.command = command;
  std::vector<std::string> positionals;
  unsigned seen = 0;
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg.substr(2);
    std::string value;
    bool hasValue = false;
    size_t equals = name.find('=');
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      hasValue = true;
    }
    const OptionRule* option = FindOption(name);
    if (option == nullptr || (rule.options & option->bit) == 0) {
      return Fail(where + "unknown option '--" + name + "'");
    }
    if (seen & option->bit) return Fail(where + "--" + name + " given twice");
    seen |= option->bit;
    if (!option->takesValue) {
      if (hasValue) return Fail(where + "--" + name + " takes no value");
      if (option->bit == kOptWait) line.wait = true;
      if (option->bit == kOptWatch) line.watch = true;
      if (option->bit == kOptMachine) line.machine = true;
      if (option->bit == kOptCloseAtOnce) line.closeAtOnce = true;
      continue;
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) return Fail(where + "--" + name + " needs a value");
      value = args[++i];
    }
    std::string error = TakeOptionValue(*option, value, &line);
    if (!error.empty()) return Fail(where + error);
  }

  if (command == Command::kTrace) {
    std::string error = TakeTraceArguments(positionals, &line);
    if (!error.empty()) return Fail(where + error);
    outcome.ok = true;
    return outcome;
  }
  if (positionals.size() < rule.arguments.size()) {
    return Fail(where + "missing " + rule.arguments[positionals.size()]);
  }
  if (positionals.size() > rule.arguments.size()) {
    return Fail(where + "unexpected argument '" + positionals[rule.arguments.size()] + "'");
  }
  if (!rule.arguments.empty()) {
    std::string error = TakeBox(positionals[0], &line);
    if (!error.empty()) return Fail(where + error);
  }
  if (command == Command::kWrite) {
    if (!FindField(positionals[1], &line.field)) {
      return Fail(where + "unknown FIELD '" + positionals[1] + "' (serial, date or count)");
    }
    std::string why;
    if (!ParseU32(positionals[2], &line.value, &why)) return Fail(where + "VALUE: " + why);
  }

  // Options that only make sense while the switch is being followed.
  const bool following = line.wait || line.watch;
  const char* mode = command == Command::kKick ? "--wait" : "--watch";
  if (!following && (seen & (kOptTimeout | kOptPoll))) {
    return Fail(where + ((seen & kOptTimeout) ? "--timeout" : "--interval") + " needs " + mode);
  }
  if (line.closeAtOnce && line.wait)
    return Fail(where + "--close-at-once and --wait exclude each other");
  if (command == Command::kKick && !line.wait && (seen & kOptClosedState)) {
    return Fail(where + "--closed-state needs --wait");
  }
  if (command == Command::kKick && line.wait && !line.hasTimeout) {
    line.hasTimeout = true;
    line.timeoutMs = kDefaultWaitTimeoutMs;
  }
  outcome.ok = true;
  return outcome;
}

}  // namespace tevro_tool
