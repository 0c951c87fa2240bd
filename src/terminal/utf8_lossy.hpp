#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ovaline::terminal {

// Bytes as UTF-8 text: valid sequences pass unchanged and each maximal invalid
// sequence becomes one U+FFFD.
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

} // namespace ovaline::terminal
