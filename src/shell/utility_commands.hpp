#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// Commands about names, the environment, time and running other commands.
int cmd_basename(ShellContext& context, std::span<const std::string> words);
int cmd_dirname(ShellContext& context, std::span<const std::string> words);
int cmd_env(ShellContext& context, std::span<const std::string> words);
int cmd_sleep(ShellContext& context, std::span<const std::string> words);
int cmd_xargs(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
