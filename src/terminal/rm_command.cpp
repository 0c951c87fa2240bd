#include "terminal/rm_command.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>
#include <vector>

#include "error/internal_error.hpp"
#include "terminal/commands.hpp"

namespace ovaline::terminal {

namespace {

constexpr const char* kProgram = "ovaline";
constexpr const char* kVersion = OVALINE_VERSION;

// A usage error states the error, then the usage line, then where to find help.
std::string render_usage_error(const CLI::App* app, const CLI::Error& error) {
    return std::string(error.what()) + "\n" + CLI::Formatter().make_usage(app, app->get_name()) +
           "Run with --help for more information.\n";
}

} // namespace

std::expected<RmArgs, std::string> RmArgs::parse(std::span<const std::string> words) {
    RmArgs args;
    // Built anew for every call, so no parse leaves anything behind for the next.
    CLI::App app("", kProgram);
    app.set_version_flag("-V,--version", std::string(kProgram) + " " + kVersion);
    app.failure_message(render_usage_error);
    app.add_flag("-r,--recursive", args.recursive)->disable_flag_override();
    app.add_option("TARGET", args.target)->required();

    // The parser lets a flag be given the value it takes anyway (`--recursive=true`);
    // a flag takes no value here, so every value is refused like a contrary one.
    for (const std::string& word : words) {
        if (word == "--") {
            break;
        }
        if (word.starts_with("--recursive=")) {
            std::ostringstream text;
            app.exit(CLI::ArgumentMismatch::FlagOverride("recursive"), text, text);
            return std::unexpected(text.str());
        }
    }
    // The parser takes its words last first.
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        std::ostringstream text;
        app.exit(error, text, text);
        return std::unexpected(text.str());
    } catch (const CLI::Error& error) {
        throw InternalError(std::string("rm: broken argument definition: ") + error.what());
    }
    return args;
}

int cmd_rm(CommandContext& context, std::span<const std::string> words) {
    if (words.empty()) {
        return fail(context, "rm: missing argument");
    }
    auto args = RmArgs::parse(words);
    if (!args) {
        return fail(context, "rm: " + args.error());
    }
    auto target = context.terminal.get_target_inode(args->target);
    if (!target) {
        return fail(context, std::move(target.error()));
    }
    if (auto removed = context.terminal.filesystem->rm_raw(*target, args->recursive); !removed) {
        return fail(context,
                    "rm: cannot remove '" + args->target + "': " + removed.error().message());
    }
    return 0;
}

} // namespace ovaline::terminal
