#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The commands that work on the shell itself: its current directory, its variables,
// its status.
int cmd_cd(ShellContext& context, std::span<const std::string> words);
int cmd_pwd(ShellContext& context, std::span<const std::string> words);
int cmd_echo(ShellContext& context, std::span<const std::string> words);
int cmd_export(ShellContext& context, std::span<const std::string> words);
int cmd_true(ShellContext& context, std::span<const std::string> words);
int cmd_false(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
