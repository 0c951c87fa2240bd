#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/word_split.hpp"

namespace {

using ovaline::terminal::split_words;
using Words = std::vector<std::string>;

struct SplitCase {
    const char* label;
    std::string line;
    Words words;
};

class SplitsInto : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitsInto, Words) {
    const auto& c = GetParam();
    auto words = split_words(c.line);
    ASSERT_TRUE(words.has_value()) << c.label;
    EXPECT_EQ(*words, c.words) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitsInto,
    testing::Values(
        SplitCase{"empty line", "", {}}, SplitCase{"blanks only", " \t \n ", {}},
        SplitCase{"comment only", "# note", {}},
        SplitCase{"blanks separate", "a \t b\nc", {"a", "b", "c"}},
        SplitCase{"carriage return is ordinary", "a\rb", {"a\rb"}},
        SplitCase{"comment ends at newline", "a #x y\nb", {"a", "b"}},
        SplitCase{"hash inside a word", "a#b #c", {"a#b"}},
        SplitCase{"hash ending a word", "a# b", {"a#", "b"}},
        SplitCase{"quoted hash", "'#' \"#\" \\#", {"#", "#", "#"}},
        SplitCase{"single quotes keep everything", "'a\\b\n\"c'", {"a\\b\n\"c"}},
        SplitCase{"double quote escapes", R"("\$\`\"\\")", {"$`\"\\"}},
        SplitCase{"double quote keeps other backslashes", R"("\a\n\'")", {R"(\a\n\')"}},
        SplitCase{"double quote line continuation", "\"a\\\nb\"", {"ab"}},
        SplitCase{"single quote inside double quotes", "\"it's\"", {"it's"}},
        SplitCase{"unquoted backslash", R"(a\ b\'c\\)", {"a b'c\\"}},
        SplitCase{"unquoted line continuation", "a\\\nb", {"ab"}},
        SplitCase{"continuation alone makes no word", "\\\n", {}},
        SplitCase{"continuation between words", "a \\\n b", {"a", "b"}},
        SplitCase{"adjacent pieces join", "ab' c'\"d\"", {"ab cd"}},
        SplitCase{"empty quotes make empty words", "'' \"\" a''", {"", "", "a"}},
        SplitCase{"mixed quoting", R"(echo 'a  b' "c\"d" e\ f)", {"echo", "a  b", "c\"d", "e f"}},
        SplitCase{"multi-byte text",
                  "\xC3\xA9t\xC3\xA9 '\xE2\x82\xAC'\\\xC3\xA9",
                  {"\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC\xC3\xA9"}},
        SplitCase{"invalid bytes pass through", "\xFF \"\xC3\"", {"\xFF", "\xC3"}},
        SplitCase{"embedded zero byte", std::string("a\0b", 3), {std::string("a\0b", 3)}}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(SplitWords, RejectsBrokenQuoting) {
    for (const char* line :
         {"echo \"abc", "echo 'abc", "echo abc\\", "\"a\\", "'", "\"", "a 'b\nc", "\"\\\""}) {
        EXPECT_FALSE(split_words(line).has_value()) << line;
    }
}

} // namespace
