#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// Line differences between two files, in the normal or the unified (-u) format.
int cmd_diff(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
