#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// Small filters and generators of lines: their operands' contents, or the standard input.
int cmd_tac(ShellContext& context, std::span<const std::string> words);
int cmd_rev(ShellContext& context, std::span<const std::string> words);
int cmd_nl(ShellContext& context, std::span<const std::string> words);
int cmd_paste(ShellContext& context, std::span<const std::string> words);
int cmd_comm(ShellContext& context, std::span<const std::string> words);
int cmd_tr(ShellContext& context, std::span<const std::string> words);
int cmd_seq(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
