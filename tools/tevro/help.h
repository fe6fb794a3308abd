// The tool's help texts.
#ifndef TOOLS_TEVRO_HELP_H
#define TOOLS_TEVRO_HELP_H

#include <string>

#include "command_line.h"

namespace tevro_tool {

// The help of one command, or of the whole tool for Command::kNone.
std::string HelpText(Command command);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_HELP_H
