#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The commands that filter text: their operands' contents, or the standard input.
int cmd_cat(ShellContext& context, std::span<const std::string> words);
int cmd_head(ShellContext& context, std::span<const std::string> words);
int cmd_tail(ShellContext& context, std::span<const std::string> words);
int cmd_wc(ShellContext& context, std::span<const std::string> words);
int cmd_sort(ShellContext& context, std::span<const std::string> words);
int cmd_uniq(ShellContext& context, std::span<const std::string> words);
int cmd_cut(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
