#pragma once

#include <span>
#include <string>

#include "terminal/command_context.hpp"

namespace ovaline::terminal {

// The built-in commands other than rm. Each takes the words after its name; those that
// take a path use only the first word.
int cmd_cd(CommandContext& context, std::span<const std::string> words);
int cmd_ls(CommandContext& context, std::span<const std::string> words);
int cmd_pwd(CommandContext& context, std::span<const std::string> words);
int cmd_cat(CommandContext& context, std::span<const std::string> words);
int cmd_mkdir(CommandContext& context, std::span<const std::string> words);
int cmd_touch(CommandContext& context, std::span<const std::string> words);
int cmd_echo(CommandContext& context, std::span<const std::string> words);
int cmd_help(CommandContext& context, std::span<const std::string> words);

} // namespace ovaline::terminal
