#pragma once

#include <string>

#include "terminal/command_context.hpp"
#include "terminal/command_registry.hpp"

namespace ovaline::terminal {

// This terminal's commands need nothing beyond what every command gets.
using Commands = CommandRegistry<CommandContext>;

// The command table, built on first use and read-only afterwards.
const Commands& commands();

// How a command of this terminal fails: its message alone is the line's failure.
int fail(CommandContext& context, std::string message);

} // namespace ovaline::terminal
