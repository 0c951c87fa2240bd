#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "terminal/command_context.hpp"
#include "terminal/command_registry.hpp"

namespace ovaline::shell {

using terminal::CommandContext;
using terminal::TerminalContext;

struct ShellContext;

// Commands of the shell mode: those built in, and those the host program registers.
using ShellCommands = terminal::CommandRegistry<ShellContext>;

// What a shell-mode command works on beyond any command's context: the shell's
// variables and the commands the host registered.
struct ShellContext : CommandContext {
    ShellContext(TerminalContext& terminal, std::string_view input, std::size_t limit,
                 std::map<std::string, std::string>& variables, const ShellCommands& registered)
        : CommandContext(terminal, input, limit), variables(variables), registered(registered) {}

    std::map<std::string, std::string>& variables;
    const ShellCommands& registered;
    // Set by a command that must end the whole line (a Python exception in a
    // registered command); the shell runs nothing after it.
    bool stop_line = false;
    // The standard input is a directory: it opened, but reading it fails.
    bool input_is_directory = false;
    // Set by a command that read its standard input, which it then used up: a `read`
    // after it in the same loop finds nothing left.
    bool used_input = false;
};

} // namespace ovaline::shell
