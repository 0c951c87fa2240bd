#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// grep over its operands or the standard input, with regular expressions from PCRE2.
int cmd_grep(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
