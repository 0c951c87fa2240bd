#include "terminal/utf8_lossy.hpp"

#include <string_view>

#include "error/utf8.hpp"

namespace ovaline::terminal {

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const Utf8Step step = decode_utf8(text, pos);
        if (step.valid) {
            out.append(text.substr(pos, step.length));
        } else {
            out.append(kReplacement);
        }
        pos += step.length;
    }
    return out;
}

} // namespace ovaline::terminal
