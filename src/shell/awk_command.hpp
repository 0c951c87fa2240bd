#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The pattern-action language over records and fields: BEGIN/END, patterns and ranges,
// print and printf, variables and associative arrays, control flow, functions and the
// usual built-ins. Regular expressions are extended ones, matched by PCRE2.
int cmd_awk(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
