#include "error/utf8.hpp"

#include <cstdint>

namespace ovaline {

namespace {

struct LeadByte {
    std::size_t length; // 0 when the byte cannot begin a sequence
    std::uint8_t second_min;
    std::uint8_t second_max;
};

// The second byte's range rules out overlong forms, surrogates and values above
// U+10FFFF, so no decoded value needs checking afterwards.
LeadByte classify(std::uint8_t b) {
    if (b >= 0xC2 && b <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (b == 0xE0) {
        return {3, 0xA0, 0xBF};
    }
    if (b == 0xED) {
        return {3, 0x80, 0x9F};
    }
    if (b >= 0xE1 && b <= 0xEF) {
        return {3, 0x80, 0xBF};
    }
    if (b == 0xF0) {
        return {4, 0x90, 0xBF};
    }
    if (b >= 0xF1 && b <= 0xF3) {
        return {4, 0x80, 0xBF};
    }
    if (b == 0xF4) {
        return {4, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

} // namespace

Utf8Step decode_utf8(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<std::uint8_t>(text[pos]);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    const LeadByte kind = classify(lead);
    if (kind.length == 0) {
        return {0, 1, false};
    }
    char32_t code_point = lead & (0x7F >> kind.length);
    std::size_t good = 1;
    while (good < kind.length && pos + good < text.size()) {
        const auto b = static_cast<std::uint8_t>(text[pos + good]);
        const std::uint8_t lo = good == 1 ? kind.second_min : 0x80;
        const std::uint8_t hi = good == 1 ? kind.second_max : 0xBF;
        if (b < lo || b > hi) {
            break;
        }
        code_point = (code_point << 6) | (b & 0x3F);
        ++good;
    }
    if (good != kind.length) {
        return {0, good, false};
    }
    return {code_point, good, true};
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        const Utf8Step step = decode_utf8(text, pos);
        if (!step.valid) {
            return false;
        }
        pos += step.length;
    }
    return true;
}

} // namespace ovaline
