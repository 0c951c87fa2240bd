#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "fs/file_system.hpp"
#include "shell/shell_context.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::shell {

// What one line gives in the shell mode.
struct ShellResult {
    int status = 0;
    std::string out;
    std::string err;
};

// A terminal in the shell mode: operators, redirections, variables and globs over the
// commands of the shell table and those the host registers. Not synchronised: its owner
// serialises runs.
class ShellTerminal {
  public:
    static constexpr std::size_t kDefaultMaxOutput = std::size_t{16} << 20;

    ShellTerminal(std::shared_ptr<fs::FileSystem> filesystem, std::size_t max_output)
        : context_{std::move(filesystem), fs::FileSystem::kRoot}, max_output_(max_output) {}

    ShellResult run(std::string_view line);

    // A registered name shadows a built-in command of the same name.
    void register_command(std::string name, ShellCommands::Handler command) {
        registered_.set(std::move(name), std::move(command));
    }

    // A name that a line can call: non-empty, without blanks, quotes or operators.
    static bool valid_command_name(std::string_view name);

  private:
    friend class LineRun;

    terminal::TerminalContext context_;
    std::map<std::string, std::string> variables_;
    ShellCommands registered_;
    int last_status_ = 0;
    std::size_t max_output_;
};

} // namespace ovaline::shell
