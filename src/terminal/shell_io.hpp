#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

// The streams of one command in the shell mode: the text it reads, and what it writes
// to its output and error streams. Output is bounded: a command that would pass
// `limit` bytes stops and sets `overflow`, and the shell ends the line.
struct ShellIo {
    std::string_view input;
    std::string out;
    std::string err;
    std::size_t limit = 0;
    bool overflow = false;
    // Set by a command that must end the whole line (a Python exception in a
    // registered command); the shell runs nothing after it.
    bool stop_line = false;

    // Appends to the output unless that passes the limit.
    bool write(std::string_view text) {
        if (text.size() > limit - out.size()) {
            overflow = true;
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
        err.append(command);
        err.append(": ");
        err.append(message);
        err.push_back('\n');
    }
};

// A command from the host program: the argument words and the input text, writing to
// `io`; returns the exit status.
using ExternalCommand = std::function<int(std::span<const std::string>, ShellIo&)>;

// The state the shell-mode commands see beyond the terminal's context.
struct ShellContext {
    TerminalContext& base;
    std::map<std::string, std::string>& variables;
    const std::map<std::string, ExternalCommand>& registered;
};

// A shell-mode command: the words after its name; returns the exit status.
using ShellHandler = int (*)(ShellContext&, std::span<const std::string>, ShellIo&);

} // namespace ovaline::terminal
