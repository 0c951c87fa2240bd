#pragma once

#include <optional>

namespace ovaline::shell {

// The control character a backslash and `c` stand for in the C-like escapes that echo -e,
// printf and awk share (\n \t \r \a \b \f \v); none for any other letter, whose meaning
// differs between them.
constexpr std::optional<char> control_escape(char c) {
    switch (c) {
    case 'n':
        return '\n';
    case 't':
        return '\t';
    case 'r':
        return '\r';
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'v':
        return '\v';
    default:
        return std::nullopt;
    }
}

} // namespace ovaline::shell
