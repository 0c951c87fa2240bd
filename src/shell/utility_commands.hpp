#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// Commands about names, the environment, time and running other commands.
int cmd_basename(ShellContext& context, std::span<const std::string> words);
int cmd_dirname(ShellContext& context, std::span<const std::string> words);
int cmd_env(ShellContext& context, std::span<const std::string> words);
int cmd_sleep(ShellContext& context, std::span<const std::string> words);
int cmd_xargs(ShellContext& context, std::span<const std::string> words);

// Runs one command of the shell's tables (a registered one first) with its own standard
// input, adding its output and errors to `context`'s; 127 when there is no such command.
int run_command(ShellContext& context, std::map<std::string, std::string>& variables,
                std::span<const std::string> command, std::string_view input);

} // namespace ovaline::shell
