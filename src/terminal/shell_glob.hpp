#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

// The paths of the tree that a pattern matches, in byte order. A backslash in the
// pattern quotes the next character; names beginning with "." match only a component
// that begins with a literal ".". A pattern ending in "/" matches directories only.
std::vector<std::string> glob(const TerminalContext& context, std::string_view pattern);

} // namespace ovaline::terminal
