#include "terminal/utf8_lossy.hpp"

#include <string_view>

namespace ovaline::terminal {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct LeadByte {
    std::size_t length; // 0 when the byte cannot begin a sequence
    std::uint8_t second_min;
    std::uint8_t second_max;
};

// The second byte's range also rules out overlong forms, surrogates and values
// above U+10FFFF.
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

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const LeadByte kind = classify(lead);
        if (kind.length == 0) {
            text.append(kReplacement);
            ++i;
            continue;
        }
        // Count how many bytes of the sequence are well formed.
        std::size_t good = 1;
        while (good < kind.length && i + good < bytes.size()) {
            const std::uint8_t b = bytes[i + good];
            const std::uint8_t lo = good == 1 ? kind.second_min : 0x80;
            const std::uint8_t hi = good == 1 ? kind.second_max : 0xBF;
            if (b < lo || b > hi) {
                break;
            }
            ++good;
        }
        if (good == kind.length) {
            text.append(reinterpret_cast<const char*>(bytes.data() + i), good);
        } else {
            text.append(kReplacement);
        }
        i += good;
    }
    return text;
}

} // namespace ovaline::terminal
