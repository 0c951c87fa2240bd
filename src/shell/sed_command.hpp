#pragma once

#include <span>
#include <string>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The stream editor: a script of addressed commands run over each line of the inputs,
// or over each file in place with -i.
int cmd_sed(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
