#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The commands that list, make, move and remove entries of the tree.
int cmd_ls(ShellContext& context, std::span<const std::string> words);
int cmd_mkdir(ShellContext& context, std::span<const std::string> words);
int cmd_touch(ShellContext& context, std::span<const std::string> words);
int cmd_rm(ShellContext& context, std::span<const std::string> words);
int cmd_tee(ShellContext& context, std::span<const std::string> words);
int cmd_stat(ShellContext& context, std::span<const std::string> words);
int cmd_find(ShellContext& context, std::span<const std::string> words);
int cmd_mv(ShellContext& context, std::span<const std::string> words);
int cmd_cp(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
