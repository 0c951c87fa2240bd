#pragma once

#include <expected>
#include <span>
#include <string>

#include "terminal/command_context.hpp"

namespace ovaline::terminal {

// The parsed arguments of one rm call.
struct RmArgs {
    bool recursive = false;
    std::string target;

    // Parses rm's words (no program name among them). Every parser outcome that is not
    // a set of arguments (usage errors, help, version) comes back as the parser's
    // plain-text rendering.
    static std::expected<RmArgs, std::string> parse(std::span<const std::string> words);
};

int cmd_rm(CommandContext& context, std::span<const std::string> words);

} // namespace ovaline::terminal
