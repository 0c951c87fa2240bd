#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

// What one session's processes may use together.
struct CgroupLimits {
    std::optional<std::uint64_t> memory;    // bytes, with no swap beyond them
    std::optional<std::uint64_t> processes; // at once, threads included
    std::optional<double> cpu;              // cores' worth of time

    bool any() const { return memory || processes || cpu; }
    bool operator==(const CgroupLimits&) const = default;
};

// Why a cgroup could not be made or changed: the errno and what could not be done.
struct CgroupFailure {
    int error;
    std::string message;
};

enum class CgroupVersion { v1, v2 };

// Where this process's cgroup hierarchies are described; other files stand in for them in
// tests.
struct CgroupHost {
    std::string mountinfo = "/proc/self/mountinfo";
    std::string self = "/proc/self/cgroup";
};

// The directories a session's cgroup goes under, one per hierarchy: this process's own
// cgroup in each, so that the session also stays within whatever limits this process has.
struct CgroupPlan {
    struct Hierarchy {
        std::string base;
        std::vector<std::string> controllers; // those this session uses of it
    };
    CgroupVersion version;
    std::vector<Hierarchy> hierarchies;
};

// Chooses the unified hierarchy when it is writable and offers every controller that
// `limits` need, else the separate ones of the first version. The failure names the
// controller that neither offers.
std::expected<CgroupPlan, CgroupFailure> plan_cgroups(const CgroupLimits& limits,
                                                      const CgroupHost& host = {});

// One cgroup for all of a session's processes: `ovaline/<pid>-<name>` under this process's
// own cgroup in each hierarchy used. It carries the session's limits, its figures and its
// kill. Dropping it kills what is inside and removes it.
class SessionCgroup {
  public:
    // Fails rather than start without a limit that was asked for.
    static std::expected<SessionCgroup, CgroupFailure>
    create(const std::string& name, const CgroupLimits& limits, const CgroupHost& host = {});

    SessionCgroup(SessionCgroup&& other) noexcept = default;
    SessionCgroup& operator=(SessionCgroup&& other) noexcept;
    SessionCgroup(const SessionCgroup&) = delete;
    SessionCgroup& operator=(const SessionCgroup&) = delete;
    ~SessionCgroup();

    CgroupVersion version() const { return version_; }
    // One directory per hierarchy used.
    const std::vector<std::string>& directories() const { return directories_; }

    // Moves the calling process into the cgroup. Async-signal-safe, for a forked child
    // before exec: the descriptors were opened when the cgroup was made. 0, or the errno.
    int join() const noexcept;
    std::expected<void, CgroupFailure> add(pid_t pid) const;

    // The processes inside, as this process's PID namespace numbers them.
    std::expected<std::vector<pid_t>, CgroupFailure> processes() const;
    // Ends every process inside, however fast they fork, and returns once none is left
    // running (zombies wait for their parents). Gives up after a few seconds.
    std::expected<void, CgroupFailure> kill_all() const;

    // The most memory the processes inside used at once, in bytes.
    std::optional<std::uint64_t> peak_memory() const;
    // The CPU time the processes inside used, the ended ones included.
    std::optional<std::chrono::nanoseconds> cpu_time() const;
    // How many processes inside the kernel killed for want of memory.
    std::optional<std::uint64_t> oom_kills() const;

    // Kills what is inside and removes the directories; nothing is left once it succeeds.
    // A zombie inside holds its cgroup until reaped: a child of this process must be
    // waited for first.
    std::expected<void, CgroupFailure> remove();

    // Removes empty cgroups left by processes that died without removing theirs. The
    // number removed.
    static std::size_t sweep(const CgroupHost& host = {});

  private:
    SessionCgroup() = default;

    std::string file(const char* controller, const char* name) const;

    CgroupVersion version_ = CgroupVersion::v2;
    std::vector<std::string> directories_;
    // For each directory, the controllers it carries.
    std::vector<std::vector<std::string>> controllers_;
    // cgroup.procs of each directory, open for writing.
    std::vector<UniqueFd> procs_;
};

} // namespace ovaline::sandbox
