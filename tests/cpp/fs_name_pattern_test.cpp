#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "fs/name_pattern.hpp"

namespace {

using ovaline::fs::has_wildcards;
using ovaline::fs::name_matches;

// An independent model of the rules for ASCII patterns without escapes: the pattern is
// translated to a regular expression, splitting each set into chunks at its range
// hyphens and dropping reversed ranges.
std::string byte_class(char c) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned char>(c));
    return buffer;
}

std::string translate_set(const std::string& stuff) {
    const bool negated = stuff[0] == '!' || stuff[0] == '^';
    std::vector<std::string> chunks;
    if (stuff.find('-') == std::string::npos) {
        chunks.push_back(stuff);
    } else {
        std::size_t begin = 0;
        std::size_t k = negated ? 2 : 1;
        while ((k = stuff.find('-', k)) != std::string::npos) {
            chunks.push_back(stuff.substr(begin, k - begin));
            begin = k + 1;
            k += 3;
        }
        if (begin < stuff.size()) {
            chunks.push_back(stuff.substr(begin));
        } else {
            chunks.back() += '-';
        }
        for (std::size_t k2 = chunks.size() - 1; k2 > 0; --k2) {
            if (chunks[k2 - 1].back() > chunks[k2].front()) {
                chunks[k2 - 1] =
                    chunks[k2 - 1].substr(0, chunks[k2 - 1].size() - 1) + chunks[k2].substr(1);
                chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(k2));
            }
        }
    }
    std::string members;
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        if (c != 0) {
            members += '-';
        }
        for (std::size_t i = c == 0 && negated ? 1 : 0; i < chunks[c].size(); ++i) {
            members += byte_class(chunks[c][i]);
        }
    }
    if (members.empty()) {
        return negated ? "[\\s\\S]" : "(?!)";
    }
    return (negated ? "[^" : "[") + members + "]";
}

bool reference_matches(const std::string& pattern, const std::string& name) {
    std::string re;
    for (std::size_t i = 0; i < pattern.size();) {
        const char c = pattern[i++];
        if (c == '*') {
            re += "[\\s\\S]*";
        } else if (c == '?') {
            re += "[\\s\\S]";
        } else if (c == '[') {
            std::size_t j = i;
            if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^')) {
                ++j;
            }
            if (j < pattern.size() && pattern[j] == ']') {
                ++j;
            }
            j = pattern.find(']', j);
            if (j == std::string::npos) {
                re += byte_class('[');
            } else {
                re += translate_set(pattern.substr(i, j - i));
                i = j + 1;
            }
        } else {
            re += byte_class(c);
        }
    }
    return std::regex_match(name, std::regex(re));
}

TEST(NamePattern, AgreesWithTheModelOnRandomAsciiPatterns) {
    std::mt19937 random(12345);
    const std::string pattern_alphabet = "ab-]![^*?\\c";
    const std::string name_alphabet = "ab-]![^\\c";
    auto draw = [&](const std::string& alphabet, std::size_t max_length) {
        std::string text(random() % (max_length + 1), ' ');
        for (char& c : text) {
            c = alphabet[random() % alphabet.size()];
        }
        return text;
    };
    for (int round = 0; round < 4000; ++round) {
        const std::string pattern = draw(pattern_alphabet, 8);
        const std::string name = draw(name_alphabet, 6);
        ASSERT_EQ(name_matches(pattern, name), reference_matches(pattern, name))
            << "pattern " << pattern << " name " << name;
    }
}

struct MatchCase {
    const char* pattern;
    const char* name;
    bool escapes;
    bool matches;
};

class Matches : public testing::TestWithParam<MatchCase> {};

TEST_P(Matches, AsExpected) {
    const auto& c = GetParam();
    EXPECT_EQ(name_matches(c.pattern, c.name, c.escapes), c.matches)
        << c.pattern << " against " << c.name << (c.escapes ? " with escapes" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Matches,
    testing::Values(
        // Code points, not bytes.
        MatchCase{"caf?", "caf\xc3\xa9", false, true},
        MatchCase{"??", "\xe2\x9c\x93", false, false},
        MatchCase{"[\xc3\xa0-\xc3\xbf]", "\xc3\xa9", false, true},
        MatchCase{"[!\xc3\xa9]", "\xc3\xa9", false, false},
        // A stray byte is one unit that only the same byte matches.
        MatchCase{"?", "\xff", false, true}, MatchCase{"a\xff", "a\xff", false, true},
        MatchCase{"[a-z]", "\xff", false, false},
        // Leading dots are not special here.
        MatchCase{"*", ".hidden", false, true},
        // Stars never backtrack exponentially.
        MatchCase{"*a*a*a*a*a*a*a*a*a*a*a*a*b",
                  "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
        // Escapes make the next character literal, in and out of sets.
        MatchCase{"\\*", "*", true, true}, MatchCase{"\\*", "a", true, false},
        MatchCase{"\\*", "\\a", false, true}, MatchCase{"a\\", "a\\", true, true},
        MatchCase{"[\\]]", "]", true, true}, MatchCase{"[a\\-c]", "b", true, false},
        MatchCase{"[a\\-c]", "-", true, true}, MatchCase{"[\\!a]", "!", true, true},
        MatchCase{"\\[a]", "[a]", true, true}));

TEST(NamePattern, HasWildcards) {
    for (const char* pattern : {"*", "a?", "[ab]", "x[!]]"}) {
        EXPECT_TRUE(has_wildcards(pattern)) << pattern;
    }
    for (const char* pattern : {"", "plain", "[ab", "a]"}) {
        EXPECT_FALSE(has_wildcards(pattern)) << pattern;
    }
    EXPECT_TRUE(has_wildcards("\\*"));
    EXPECT_FALSE(has_wildcards("\\*\\?\\[a]", true));
    EXPECT_FALSE(has_wildcards("[a\\]", true));
    EXPECT_TRUE(has_wildcards("\\\\*", true));
}

} // namespace
