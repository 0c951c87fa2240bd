#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ovaline::sandbox {

// Ends every process on the host that runs as `uid` and waits until none is left
// alive. Each round signals them all at once from a child that takes on the uid (so a
// process forking as fast as it can is still caught), then kills any survivor by pid.
// Refuses uid 0, which would take the whole host down. The error says why processes
// are left.
std::expected<void, std::string> kill_account_processes(std::uint32_t uid);

// The live processes (zombies left out) whose real, effective or saved uid is `uid`.
std::vector<pid_t> account_processes(std::uint32_t uid);

} // namespace ovaline::sandbox
