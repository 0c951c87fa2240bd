#include "sandbox/seccomp_filter.hpp"

#include <cerrno>
#include <linux/seccomp.h>
#include <memory>
#include <sched.h>
#include <seccomp.h>
#include <span>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/host_process.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::sandbox {

namespace {

// Allowed on purpose: ptrace and process_vm_readv/writev, so that a debugger or strace
// works inside. A tenant's PID namespace shows it only its own processes, and since
// Linux 4.8 the filter sees a call again after a tracer changed it.

// Refused with EPERM outright. Names this architecture lacks are skipped.
constexpr const char* refused[] = {
    // Namespaces and mounts: the sandbox made the ones the tenant gets. The new mount API
    // is listed too, or it would be a way around mount.
    "setns", "mount", "umount2", "pivot_root", "chroot", "move_mount", "open_tree", "fsopen",
    "fsconfig", "fsmount", "fspick", "mount_setattr",
    // Keyrings outlive every process that made them: nothing of a tenant may.
    "keyctl", "add_key", "request_key",
    // The kernel itself.
    "init_module", "finit_module", "delete_module", "create_module", "kexec_load",
    "kexec_file_load", "reboot", "bpf", "perf_event_open", "lookup_dcookie", "uselib", "nfsservctl",
    "_sysctl", "get_kernel_syms", "query_module",
    // Blocking page faults is a tool for winning races in the kernel.
    "userfaultfd",
    // A handle opens any file of a filesystem, whatever root the process has.
    "open_by_handle_at", "name_to_handle_at",
    // The host's devices, clock, swap, logs and accounting.
    "iopl", "ioperm", "vm86", "vm86old", "swapon", "swapoff", "acct", "settimeofday",
    "clock_settime", "clock_adjtime", "adjtimex", "stime", "syslog", "quotactl", "quotactl_fd",
    "vhangup", "sethostname", "setdomainname", "fanotify_init"};

// Refused as if this kernel lacked them, so that programs take their ordinary path: glibc
// falls back from clone3 to clone, whose flags a filter can see, and io_uring's users to
// plain reads and writes. io_uring's rings reach a large part of the kernel that the
// filter would never see.
constexpr const char* absent[] = {"clone3", "io_uring_setup", "io_uring_enter",
                                  "io_uring_register"};

// Flags that make new namespaces. A user namespace would give the tenant every capability
// inside it; the others need one and are refused alike.
constexpr unsigned long namespace_flags[] = {CLONE_NEWNS,    CLONE_NEWUTS, CLONE_NEWIPC,
                                             CLONE_NEWUSER,  CLONE_NEWPID, CLONE_NEWNET,
                                             CLONE_NEWCGROUP};

// The personality flags that programs ask for in practice: 32-bit Linux and an old kernel
// version for old programs. Others switch off address-space randomisation, make data
// executable or map page zero. All bits set is the query, which changes nothing.
constexpr std::uint32_t kept_personality = 0x20008;

struct ContextFree {
    void operator()(void* ctx) const { seccomp_release(ctx); }
};

std::string failure(const char* what, int rc) {
    return std::string(what) + ": " + system_error_text(-rc);
}

} // namespace

std::expected<SeccompFilter, std::string> SeccompFilter::tenant() {
    std::unique_ptr<void, ContextFree> ctx(seccomp_init(SCMP_ACT_ALLOW));
    if (!ctx) {
        return std::unexpected("Cannot start a system-call filter");
    }
    // seccomp_init adds the native architecture only; any other is killed, not allowed.
    if (int rc = seccomp_attr_set(ctx.get(), SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS);
        rc != 0) {
        return std::unexpected(failure("Cannot kill foreign system calls", rc));
    }
    auto add = [&](const char* name, std::uint32_t action, unsigned count,
                   const scmp_arg_cmp* args) -> std::expected<void, std::string> {
        int nr = seccomp_syscall_resolve_name(name);
        if (nr == __NR_SCMP_ERROR) {
            return {};
        }
        if (int rc = seccomp_rule_add_array(ctx.get(), action, nr, count, args); rc != 0) {
            return std::unexpected(failure((std::string("Cannot filter ") + name).c_str(), rc));
        }
        return {};
    };
    for (const char* name : refused) {
        if (auto added = add(name, SCMP_ACT_ERRNO(EPERM), 0, nullptr); !added) {
            return std::unexpected(added.error());
        }
    }
    for (const char* name : absent) {
        if (auto added = add(name, SCMP_ACT_ERRNO(ENOSYS), 0, nullptr); !added) {
            return std::unexpected(added.error());
        }
    }
    for (unsigned long flag : namespace_flags) {
        scmp_arg_cmp has_flag = SCMP_A0_64(SCMP_CMP_MASKED_EQ, flag, flag);
        for (const char* name : {"unshare", "clone"}) {
            if (auto added = add(name, SCMP_ACT_ERRNO(EPERM), 1, &has_flag); !added) {
                return std::unexpected(added.error());
            }
        }
    }
    // libseccomp compares each argument once per rule, so "none but these" is spelled out
    // bit by bit: a flag set that is not kept, outside the query; or the top bit set with
    // any other clear, which is not the query either.
    constexpr std::uint32_t top = 0x80000000;
    for (std::uint32_t bit = 1; bit != top; bit <<= 1) {
        scmp_arg_cmp rules[] = {SCMP_A0_32(SCMP_CMP_MASKED_EQ, top | bit, top),
                                SCMP_A0_32(SCMP_CMP_MASKED_EQ, top | bit, bit)};
        bool kept = (bit & kept_personality) != 0;
        for (const scmp_arg_cmp& rule : std::span(rules).first(kept ? 1 : 2)) {
            if (auto added = add("personality", SCMP_ACT_ERRNO(EPERM), 1, &rule); !added) {
                return std::unexpected(added.error());
            }
        }
    }

    UniqueFd memory(::memfd_create("ovaline-seccomp", MFD_CLOEXEC));
    if (!memory) {
        return std::unexpected(failure("Cannot hold a system-call filter", -errno));
    }
    if (int rc = seccomp_export_bpf(ctx.get(), memory.get()); rc != 0) {
        return std::unexpected(failure("Cannot compile a system-call filter", rc));
    }
    struct stat st;
    if (::fstat(memory.get(), &st) != 0) {
        return std::unexpected(failure("Cannot read a system-call filter", -errno));
    }
    std::vector<sock_filter> program(static_cast<std::size_t>(st.st_size) / sizeof(sock_filter));
    std::size_t size = program.size() * sizeof(sock_filter);
    if (program.empty() || static_cast<std::size_t>(st.st_size) != size ||
        ::pread(memory.get(), program.data(), size, 0) != static_cast<ssize_t>(size)) {
        return std::unexpected("Cannot read a system-call filter: it is incomplete");
    }
    return SeccompFilter(std::move(program));
}

int SeccompFilter::load() const noexcept {
    sock_fprog fprog{static_cast<unsigned short>(program_.size()),
                     const_cast<sock_filter*>(program_.data())};
    // Without this only a process with CAP_SYS_ADMIN may load a filter; with it, no exec
    // can give the process privileges that the filter would then constrain.
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &fprog) != 0) {
        return errno;
    }
    return 0;
}

} // namespace ovaline::sandbox
