#include "pool/utf8.hpp"

#include <cstddef>

namespace ovaline::pool {

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    auto continuation = [&](std::size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
    while (i < n) {
        unsigned char lead = byte(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // The first continuation byte's range rules out overlong forms, surrogates
        // and code points past U+10FFFF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        std::size_t length = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + 1 >= n || byte(i + 1) < low || byte(i + 1) > high) {
            return false;
        }
        for (std::size_t k = i + 2; k < i + length; ++k) {
            if (!continuation(k)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

} // namespace ovaline::pool
