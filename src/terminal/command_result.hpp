#pragma once

#include <expected>
#include <string>

namespace ovaline::terminal {

// What one command line produces: the output text, or the failure message.
using CommandResult = std::expected<std::string, std::string>;

} // namespace ovaline::terminal
