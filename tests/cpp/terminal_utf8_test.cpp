#include <gtest/gtest.h>

#include <string>

#include "terminal/utf8_lossy.hpp"

namespace {

std::string lossy(const std::string& bytes) {
    return ovaline::terminal::utf8_lossy(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

const std::string R = "\xEF\xBF\xBD";

TEST(Utf8Lossy, ValidTextPassesUnchanged) {
    for (const std::string text :
         {"", "hi\n", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_EQ(lossy(text), text);
    }
}

TEST(Utf8Lossy, EachInvalidSequenceBecomesOneReplacement) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xFF", R},
        {"a\x80z", "a" + R + "z"},
        {"\xC0\xAF", R + R},                 // overlong lead byte
        {"\xE0\x80\x80", R + R + R},         // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},         // surrogate
        {"\xF4\x90\x80\x80", R + R + R + R}, // above U+10FFFF
        {"\xE2\x82", R},                     // truncated at the end
        {"\xE2\x82z", R + "z"},              // truncated before ASCII
        {"\xF0\x9F\x98", R},
        {"\xE2\x82\xE2\x82\xAC", R + "\xE2\x82\xAC"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(lossy(bytes), text);
    }
}

} // namespace
