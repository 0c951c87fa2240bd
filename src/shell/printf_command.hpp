#pragma once

#include <span>
#include <string>
#include <string_view>

#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The backslash escapes of echo -e and printf's %b (\n \t \\ \0NNN \xHH ...). `\c`
// ends the output: `stopped` says so.
std::string expand_escapes(std::string_view text, bool& stopped);

// printf [-v NAME] FORMAT [ARGUMENT]...: %s %b %c %d %i %u %x %X %o %e %f %g %% with
// flags, widths and precisions; the format is used again while arguments remain.
int cmd_printf(ShellContext& context, std::span<const std::string> words);

} // namespace ovaline::shell
