#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "error/utf8.hpp"

namespace {

using ovaline::decode_utf8;
using ovaline::is_valid_utf8;

// The shortest encoding, and for `extra` > 0 an overlong one that many bytes longer.
std::string encode(char32_t cp, int extra = 0) {
    const int length = (cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4) + extra;
    if (length == 1) {
        return std::string(1, static_cast<char>(cp));
    }
    std::string out(static_cast<std::size_t>(length), '\0');
    for (int i = length - 1; i > 0; --i) {
        out[static_cast<std::size_t>(i)] = static_cast<char>(0x80 | (cp & 0x3F));
        cp >>= 6;
    }
    out[0] = static_cast<char>((0xFF00 >> length) | cp);
    return out;
}

TEST(Utf8, EveryScalarValueRoundTripsAndNothingElseDecodes) {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const std::string bytes = encode(cp);
        const auto step = decode_utf8(bytes, 0);
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        ASSERT_EQ(step.valid, !surrogate) << std::hex << cp;
        ASSERT_EQ(step.length, surrogate ? 1 : bytes.size()) << std::hex << cp;
        if (!surrogate) {
            ASSERT_EQ(static_cast<std::uint32_t>(step.code_point), cp);
        }
        if (bytes.size() < 4) {
            ASSERT_FALSE(is_valid_utf8(encode(cp, 1))) << "overlong " << std::hex << cp;
        }
    }
}

TEST(Utf8, MalformedSequencesAreRejected) {
    for (const char* bad : {"\xff", "\xc3", "\xc3\x28", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80",
                            "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80", "\xe2\x82", "\x80"}) {
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    }
    // A malformed step covers the bytes that could still have begun a sequence.
    EXPECT_EQ(decode_utf8("\xf0\x9f\x98z", 0).length, 3u);
    EXPECT_EQ(decode_utf8("\xe0\x80\x80", 0).length, 1u);
}

} // namespace
