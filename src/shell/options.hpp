#pragma once

#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovaline::shell {

// The options and operands of one shell-mode command, read the way GNU tools read them:
// clustered short flags (-in), values attached or following (-n5, -n 5), options
// anywhere among the operands, and "--" ending the options.
struct ShellOptions {
    // Each option given, with its value ("" for a flag); the last one counts.
    std::map<char, std::string> given;
    std::vector<std::string> operands;

    bool has(char option) const { return given.contains(option); }
};

// `letters` lists the short options, each followed by ':' when it takes a value. Fails
// with the tool's message for an unknown option or a missing value.
std::expected<ShellOptions, std::string> parse_options(std::span<const std::string> words,
                                                       std::string_view letters);

// Whether the words ask for help ("--help" before any "--").
bool wants_help(std::span<const std::string> words);

} // namespace ovaline::shell
