#pragma once

#include <span>
#include <string>

#include "terminal/command_result.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

// The built-in commands other than rm. Each takes the words after its name; those that
// take a path use only the first word.
CommandResult cmd_cd(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_ls(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_pwd(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_cat(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_mkdir(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_touch(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_echo(TerminalContext& context, std::span<const std::string> words);
CommandResult cmd_help(TerminalContext& context, std::span<const std::string> words);

} // namespace ovaline::terminal
