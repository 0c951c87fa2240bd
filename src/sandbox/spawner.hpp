#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

#include "sandbox/private_root.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

class SeccompFilter;
class SessionCgroup;

// Resource limits of a started program and everything it starts; none keeps the limit
// it would inherit.
struct Limits {
    std::optional<std::uint64_t> cpu_seconds;
    std::optional<std::uint64_t> address_space; // bytes
    std::optional<std::uint64_t> processes;     // of its real user, host-wide
    std::optional<std::uint64_t> file_size;     // bytes
    std::optional<std::uint64_t> open_files;

    bool any() const {
        return cpu_seconds || address_space || processes || file_size || open_files;
    }
    bool operator==(const Limits&) const = default;
};

// A user the program runs as instead of this process's.
struct Identity {
    std::uint32_t uid;
    std::uint32_t gid;
};

// Everything a host program starts with. No shell ever sees the arguments.
struct ProgramLaunch {
    std::string path;              // absolute; no search
    std::vector<std::string> args; // after argv[0], which is `path`
    std::vector<std::string> env;  // the whole environment
    std::string cwd;               // empty: this process's working directory
    // Become descriptors 0, 1 and 2; -1 is the null device. Nothing else is inherited.
    int streams[3] = {-1, -1, -1};
    // Become descriptors 3, 4, ... in order, beside the standard three.
    std::vector<int> extra_streams;
    Limits limits;
    std::optional<Identity> identity;
    // The program is the only child of a small init that is the first process of a new
    // PID namespace: when the init is killed, or this process dies, the kernel ends
    // every process inside, however it tried to get away. The init also reaps the
    // orphans inside.
    bool own_pid_namespace = false;
    // A new network namespace with only loopback up (needs own_pid_namespace).
    bool private_network = false;
    // A network namespace to enter instead, as a descriptor; -1 for none.
    int join_network = -1;
    // A root of its own, built by the init in new mount and UTS namespaces (needs
    // own_pid_namespace); the plan must outlive the spawn() call.
    const RootPlan* root = nullptr;
    // A cgroup the child joins first thing, so that the program and all it starts are
    // inside from their first instruction (under an init, the init as well). Must outlive
    // the call.
    const SessionCgroup* cgroup = nullptr;
    // A filter loaded right before exec, once the child has done everything that the
    // filter would refuse. It also stops exec from granting privileges, so a set-user-ID
    // program such as su works under it only when started as root. Must outlive the call.
    const SeccompFilter* seccomp = nullptr;
    // A new IPC namespace, so that System V and POSIX IPC objects go with the program
    // (needs own_pid_namespace); or the one of `join_ipc`, a descriptor (-1 for none).
    bool private_ipc = false;
    int join_ipc = -1;
    // A mount namespace of its own, copied from the host's (or from the namespace
    // `join_mount`, a descriptor), where /proc shows only the program's PID namespace,
    // and to a user only its own processes there (needs own_pid_namespace). No mount
    // made inside reaches the host.
    bool private_proc = false;
    int join_mount = -1;
    // The UTS namespace (host name) to enter, as a descriptor; -1 for none.
    int join_uts = -1;
};

// A started program, our direct child (its init, in its own PID namespace).
struct Started {
    pid_t pid = -1;
    UniqueFd pidfd; // none on kernels without process descriptors
    // With an init: where it leaves the program's wait status as it ends.
    UniqueFd status;
};

// Starts the program from a thread that lives as long as this process, so that its
// parent-death signal (SIGKILL) fires only when this process dies. The error is the
// errno of the failed step, in this process or in the child before exec.
std::expected<Started, int> spawn(const ProgramLaunch& launch);

// Runs `task` in a child forked from the spawner's thread, as every program is, and waits
// for it to end. The child is a copy of this process without its other threads, so `task`
// may only make async-signal-safe calls; what it returns is the child's exit code. The
// child's exit code or minus the signal that ended it, or the errno of the failed fork or
// wait.
std::expected<int, int> run_in_child(const std::function<int()>& task);

// The exit status of a started program once its pid has been reaped with the wait status
// `raw`: its exit code, or minus the number of the signal that ended it. Under an init,
// the program's own status; when the init was killed first, the init's.
int exit_status(const Started& started, int raw);

// Under an init, once exit_status() has been read: what the program and the processes
// the init reaped used, the init itself left out. None without an init, or when it was
// killed first.
std::optional<rusage> program_usage(const Started& started);

// The absolute path of `program` found through this process's search path, or the
// errno of the failure (ENOENT when there is none).
std::expected<std::string, int> find_program(const std::string& program);

// This process's environment as a list.
std::vector<std::string> inherited_environment();

} // namespace ovaline::sandbox
