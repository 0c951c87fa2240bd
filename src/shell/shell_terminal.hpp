#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/file_system.hpp"
#include "shell/shell_context.hpp"
#include "shell/syntax.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::shell {

// What one line gives in the shell mode.
struct ShellResult {
    int status = 0;
    std::string out;
    std::string err;
};

// Bounds on one line: past either, the line stops with status 124.
struct ShellLimits {
    std::size_t max_output = std::size_t{16} << 20;
    std::optional<std::chrono::nanoseconds> timeout;
    std::optional<std::uint64_t> max_steps;
};

// What outlives a line, and what a subshell gets a copy of.
struct ShellState {
    terminal::TerminalContext context;
    std::map<std::string, std::string> variables;
    std::map<std::string, std::shared_ptr<const Command>> functions;
    std::vector<std::string> positional;
    int last_status = 0;
    // set -e, set -u, set -o pipefail, set -x.
    bool errexit = false;
    bool nounset = false;
    bool pipefail = false;
    bool xtrace = false;
};

// A terminal in the shell mode: the grammar, expansions and redirections over the
// commands of the shell table and those the host registers. Not synchronised: its owner
// serialises runs.
class ShellTerminal {
  public:
    static constexpr std::size_t kDefaultMaxOutput = std::size_t{16} << 20;

    ShellTerminal(std::shared_ptr<fs::FileSystem> filesystem, std::size_t max_output)
        : ShellTerminal(std::move(filesystem), limits_with(max_output)) {}
    ShellTerminal(std::shared_ptr<fs::FileSystem> filesystem, ShellLimits limits)
        : limits_(limits) {
        state_.context = {std::move(filesystem), fs::FileSystem::kRoot};
    }

    // `poll`, when given, is called every few milliseconds while the line runs; false
    // stops it (the host's interrupt), with status 130.
    ShellResult run(std::string_view line, const std::function<bool()>& poll = {});

    // A registered name shadows a built-in command of the same name.
    void register_command(std::string name, ShellCommands::Handler command) {
        registered_.set(std::move(name), std::move(command));
    }

    // A name that a line can call: non-empty, without blanks, quotes or operators.
    static bool valid_command_name(std::string_view name);

  private:
    friend class Interpreter;

    static ShellLimits limits_with(std::size_t max_output) {
        ShellLimits limits;
        limits.max_output = max_output;
        return limits;
    }

    ShellState state_;
    ShellCommands registered_;
    ShellLimits limits_;
};

} // namespace ovaline::shell
