#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <sys/types.h>

namespace ovaline::sandbox {

// A host program that has ended, with everything it wrote.
struct ProgramResult {
    std::optional<int> exit_code; // none when a signal ended it
    std::string out;
    std::string err;
};

// Runs `program`, found through the search path, with `args` as its arguments and this
// process's environment and working directory, its standard input on the null device;
// captures its standard output and standard error and waits for it to end. Arguments
// go to the program as they are; no shell ever sees them. The error is the system's
// description of why the program could not be started.
std::expected<ProgramResult, std::string> run_program(const std::string& program,
                                                      std::span<const std::string> args);

// The system's description of an errno value.
std::string system_error_text(int err);

} // namespace ovaline::sandbox
