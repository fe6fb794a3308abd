// The tool's commands. Each opens at most one box at a time, closes it before it returns
// (also when interrupted), and returns an ExitCode.
#ifndef TOOLS_TEVRO_COMMANDS_H
#define TOOLS_TEVRO_COMMANDS_H

#include "box_session.h"
#include "command_line.h"

namespace tevro_tool {

int RunList(const Context& context);
int RunKick(const Context& context, const CommandLine& line);
int RunSwitch(const Context& context, const CommandLine& line);
int RunIdentity(const Context& context, const CommandLine& line);
int RunWrite(const Context& context, const CommandLine& line);
int RunCheck(const Context& context, const CommandLine& line);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_COMMANDS_H
