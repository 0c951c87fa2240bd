#pragma once

#include <span>
#include <string>
#include <unordered_map>

#include "terminal/command_result.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

// A command: the terminal's context and the words after the command name.
using CommandHandler = CommandResult (*)(TerminalContext&, std::span<const std::string>);

// The command table, built on first use and read-only afterwards.
const std::unordered_map<std::string, CommandHandler>& commands();

} // namespace ovaline::terminal
