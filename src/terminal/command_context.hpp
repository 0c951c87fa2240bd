#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

// What one command works on: the terminal's filesystem and current directory, and the
// streams of this call: the text it reads, and what it writes to its output and error
// streams. Output may be bounded: a command that would pass `limit` bytes stops and sets
// `overflow`.
struct CommandContext {
    explicit CommandContext(TerminalContext& terminal, std::string_view input = {},
                            std::size_t limit = std::numeric_limits<std::size_t>::max())
        : terminal(terminal), input(input), limit(limit) {}

    TerminalContext& terminal;
    std::string_view input;
    std::string out;
    std::string err;
    std::size_t limit;
    bool overflow = false;
    // Error lines go to the output instead, in the order they come, when both streams
    // lead to one place (2>&1 in the shell mode).
    bool errors_to_output = false;

    // Appends to the output unless that passes the limit.
    bool write(std::string_view text) {
        if (!fits(text.size())) {
            return false;
        }
        out.append(text);
        return true;
    }
    // Whether `size` more bytes of output would still fit.
    bool fits(std::size_t size) {
        if (size > limit - out.size()) {
            overflow = true;
            return false;
        }
        return true;
    }
    // Error lines are short and few, so they are not counted against the limit.
    void error(std::string_view command, std::string_view message) {
        std::string& to = errors_to_output ? out : err;
        to.append(command);
        to.append(": ");
        to.append(message);
        to.push_back('\n');
    }
};

} // namespace ovaline::terminal
