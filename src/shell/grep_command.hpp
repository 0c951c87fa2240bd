#pragma once

#include <span>
#include <string>
#include <string_view>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// grep over its operands or the standard input, with regular expressions from PCRE2.
int cmd_grep(ShellContext& context, std::span<const std::string> words);

// A POSIX regular expression (basic, or extended) in PCRE2's syntax.
std::string posix_regex_to_pcre(std::string_view pattern, bool extended);

} // namespace ovaline::shell
