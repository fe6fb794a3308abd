// RunTool: the command line, the help, loading the library, and the command.
#include "tool.h"

#include "box_session.h"
#include "command_line.h"
#include "commands.h"
#include "help.h"
#include "trace_setting.h"
// The library's file version, as its version resource states it: the tool is released
// with the library it was built beside.
#include "../../src/version.h"

namespace tevro_tool {

int RunTool(const std::vector<std::string>& args, const ToolHost& host) {
  ParseOutcome parsed = ParseCommandLine(args);
  if (!parsed.ok) {
    Command command = args.empty() ? Command::kNone : FindCommand(args[0]);
    std::string help = command == Command::kNone
                           ? std::string("tevro --help")
                           : std::string("tevro ") + CommandName(command) + " --help";
    host.err("tevro: " + parsed.error + "\nRun '" + help + "' for usage.\n");
    return kExitUsage;
  }
  const CommandLine& line = parsed.line;
  if (line.showHelp) {
    host.out(HelpText(line.command));
    return kExitOk;
  }
  if (line.showVersion) {
    host.out(std::string("tevro ") + TEVRO_FILE_VERSION_TEXT + "\n");
    return kExitOk;
  }

  // The trace's setting lives in the registry: the library is not loaded for it.
  if (line.command == Command::kTrace) return RunTrace(host, line);

  TevroApi api{};
  std::string why;
  if (!host.loadLibrary(&api, &why)) {
    host.err("tevro: " + why + "\n");
    return kExitFailed;
  }
  Context context(host, api);
  switch (line.command) {
    case Command::kList:
      return RunList(context);
    case Command::kKick:
      return RunKick(context, line);
    case Command::kSwitch:
      return RunSwitch(context, line);
    case Command::kIdentity:
      return RunIdentity(context, line);
    case Command::kWrite:
      return RunWrite(context, line);
    case Command::kCheck:
      return RunCheck(context, line);
    case Command::kTrace:
    case Command::kNone:
      break;
  }
  host.out(HelpText(Command::kNone));
  return kExitOk;
}

}  // namespace tevro_tool
