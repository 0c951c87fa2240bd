#pragma once

#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shell/options.hpp"
#include "shell/shell_context.hpp"

namespace ovaline::shell {

// The commands of the shell mode, built on first use and read-only afterwards.
const ShellCommands& commands();

// Calls `use(name, text)` for each operand's contents in order, or once for the standard
// input when there are no operands ("-" names it too). A file that cannot be read is
// reported as "command: name: reason" and skipped; returns false if any was. A
// directory goes to `directory` instead when given (with "-" for a directory as the
// standard input), for the commands that report it their own way. Stops at the output
// limit. With `in_place` a file is not copied: `use` sees it under its read lock, so it
// must not touch the filesystem.
bool read_inputs(ShellContext& context, std::string_view command,
                 std::span<const std::string> operands,
                 const std::function<void(const std::string&, std::string_view)>& use,
                 const std::function<void(const std::string&)>& directory = {},
                 bool in_place = false);

// Prints a usage error the GNU way and gives `status`.
int usage_error(CommandContext& context, std::string_view command, std::string_view message,
                int status = 1);

// The lines of a text without their newlines; a last line without one counts too.
std::vector<std::string_view> split_lines(std::string_view text);

// Answers --help with the command's usage text; true when it did.
bool answer_help(CommandContext& context, std::string_view command,
                 std::span<const std::string> words);

// How every option-taking command starts: answers --help, or parses `words` with
// `letters` (see parse_options) and reports a bad option as a usage error with
// `usage_status`. Fails with the status the command ends with when it is done already.
std::expected<ShellOptions, int> start_command(CommandContext& context, std::string_view command,
                                               std::span<const std::string> words,
                                               std::string_view letters, int usage_status = 1);

} // namespace ovaline::shell
