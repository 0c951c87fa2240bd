#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/rm_command.hpp"

namespace {

using ovaline::terminal::RmArgs;
using Words = std::vector<std::string>;

struct Parsed {
    Words words;
    bool recursive;
    std::string target;
};

TEST(RmArgs, ParsesFlagAndTargetInAnyOrder) {
    const std::vector<Parsed> cases{
        {{"f"}, false, "f"},         {{"-r", "d"}, true, "d"},
        {{"d", "-r"}, true, "d"},    {{"--recursive", "d"}, true, "d"},
        {{"--", "-x"}, false, "-x"}, {{"-r", "--", "-r"}, true, "-r"},
    };
    for (const auto& c : cases) {
        auto args = RmArgs::parse(c.words);
        ASSERT_TRUE(args.has_value()) << c.words[0] << ": " << args.error();
        EXPECT_EQ(args->recursive, c.recursive) << c.words[0];
        EXPECT_EQ(args->target, c.target) << c.words[0];
    }
}

// The parser's wording is its own; only the facts of the definition are checked.
TEST(RmArgs, UsageErrorsShowTheUsage) {
    for (const Words& words : std::vector<Words>{
             {"-f", "x"}, {"a", "b"}, {"-r"}, {"--recursive=yes", "x"}, {"--nope", "x"}}) {
        auto args = RmArgs::parse(words);
        ASSERT_FALSE(args.has_value()) << words[0];
        EXPECT_NE(args.error().find("ovaline"), std::string::npos) << args.error();
        EXPECT_NE(args.error().find("TARGET"), std::string::npos) << args.error();
        EXPECT_NE(args.error().find("--help"), std::string::npos) << args.error();
    }
}

TEST(RmArgs, AFlagTakesNoValueEvenItsOwn) {
    const auto refused = RmArgs::parse(Words{"--recursive=false", "d"});
    ASSERT_FALSE(refused.has_value());
    for (const Words& words :
         std::vector<Words>{{"--recursive=true", "d"}, {"d", "--recursive={}"}}) {
        auto args = RmArgs::parse(words);
        ASSERT_FALSE(args.has_value()) << words[0];
        EXPECT_EQ(args.error(), refused.error());
    }
    // After `--` it is a name.
    auto args = RmArgs::parse(Words{"--", "--recursive=true"});
    ASSERT_TRUE(args.has_value());
    EXPECT_EQ(args->target, "--recursive=true");
}

TEST(RmArgs, HelpNamesEveryFlag) {
    for (const char* flag : {"-h", "--help"}) {
        auto args = RmArgs::parse(Words{flag});
        ASSERT_FALSE(args.has_value());
        for (const char* fact :
             {"ovaline", "TARGET", "-r", "--recursive", "-h", "--help", "-V", "--version"}) {
            EXPECT_NE(args.error().find(fact), std::string::npos) << fact;
        }
    }
}

TEST(RmArgs, VersionLine) {
    for (const Words& words : std::vector<Words>{{"-V"}, {"--version"}, {"x", "-V"}}) {
        auto args = RmArgs::parse(words);
        ASSERT_FALSE(args.has_value());
        EXPECT_EQ(args.error().find("ovaline 0.2.0"), 0U) << args.error();
    }
}

} // namespace
