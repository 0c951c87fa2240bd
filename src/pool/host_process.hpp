#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>

#include "pool/unique_fd.hpp"

namespace ovaline::pool {

// A host program that has ended, with everything it wrote.
struct ProgramResult {
    std::optional<int> exit_code; // none when a signal ended it
    std::string out;
    std::string err;
};

// A host program left running on three pipes.
struct RunningProgram {
    pid_t pid = -1;
    UniqueFd input;  // writing end of its standard input
    UniqueFd output; // reading end of its standard output
    UniqueFd error;  // reading end of its standard error
};

// Both start `program`, found through the search path, with `args` as its arguments
// and this process's environment and working directory. Arguments go to the program
// as they are; no shell ever sees them. The error is the system's description of why
// the program could not be started.

// Runs the program with its standard input on the null device, captures its standard
// output and standard error, and waits for it to end.
std::expected<ProgramResult, std::string> run_program(const std::string& program,
                                                      std::span<const std::string> args);

// Starts the program with its three standard streams on new pipes and does not wait.
std::expected<RunningProgram, std::string> start_program(const std::string& program,
                                                         std::span<const std::string> args);

// The system's description of an errno value.
std::string system_error_text(int err);

} // namespace ovaline::pool
