#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovaline::terminal {

// Splits a command line into words with the quoting rules of a POSIX shell and no
// expansion of any kind. Gives nothing when the quoting is unbalanced or the line ends
// in an escaping backslash.
std::optional<std::vector<std::string>> split_words(std::string_view line);

} // namespace ovaline::terminal
