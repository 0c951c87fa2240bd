#pragma once

#include <memory>
#include <string_view>

#include "fs/file_system.hpp"
#include "terminal/command_result.hpp"
#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

// One terminal over a shared filesystem. Not synchronised: its owner serialises runs.
class SimpleTerminal {
  public:
    explicit SimpleTerminal(std::shared_ptr<fs::FileSystem> filesystem)
        : context_{std::move(filesystem), fs::FileSystem::kRoot} {}

    // Runs one command line.
    CommandResult run(std::string_view line);

  private:
    TerminalContext context_;
};

} // namespace ovaline::terminal
