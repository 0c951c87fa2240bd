#include "pool/account_processes.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <mutex>
#include <string_view>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "pool/host_process.hpp"

namespace ovaline::pool {

namespace {

constexpr int max_rounds = 200;

// Signals every process of `uid` the way `kill -1` would from that user: the kernel
// walks the process list once with new forks held off, so nothing escapes by forking.
std::expected<void, int> signal_all_as(std::uint32_t uid) {
    pid_t child = ::fork();
    if (child < 0) {
        return std::unexpected(errno);
    }
    if (child == 0) {
        // Raw system calls: the child of a threaded process may only make async-signal-
        // safe calls.
        if (::syscall(SYS_setresuid, uid, uid, uid) != 0) {
            ::_exit(1);
        }
        ::kill(-1, SIGKILL);
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::unexpected(errno);
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::unexpected(EPERM);
    }
    return {};
}

// Reads the state letter, the parent and the real, effective and saved uid from
// /proc/<pid>/status.
bool read_status(const char* pid, char& state, pid_t& parent, std::uint32_t (&uids)[3]) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/status", pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    bool have_state = false;
    bool have_parent = false;
    bool have_uids = false;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr &&
           !(have_state && have_parent && have_uids)) {
        std::string_view text = line;
        if (text.starts_with("State:")) {
            have_state = std::sscanf(line, "State: %c", &state) == 1;
        } else if (text.starts_with("PPid:")) {
            have_parent = std::sscanf(line, "PPid: %d", &parent) == 1;
        } else if (text.starts_with("Uid:")) {
            have_uids = std::sscanf(line, "Uid: %u %u %u", &uids[0], &uids[1], &uids[2]) == 3;
        }
    }
    std::fclose(file);
    return have_state && have_parent && have_uids;
}

// The processes of `uid` for which `wanted(state, parent)` holds.
template <class F> std::vector<pid_t> processes_of(std::uint32_t uid, F&& wanted) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (dirent* entry = ::readdir(proc)) {
        std::string_view name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) {
            continue;
        }
        char state = 0;
        pid_t parent = 0;
        std::uint32_t uids[3];
        if (read_status(entry->d_name, state, parent, uids) &&
            (uids[0] == uid || uids[1] == uid || uids[2] == uid) && wanted(state, parent)) {
            found.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
        }
    }
    ::closedir(proc);
    return found;
}

std::mutex adopting_mutex;
int adopting = 0;
bool adopting_set_here = false;

} // namespace

std::vector<pid_t> account_processes(std::uint32_t uid) {
    return processes_of(uid, [](char state, pid_t) { return state != 'Z' && state != 'X'; });
}

AdoptOrphans::AdoptOrphans() {
    std::lock_guard lock(adopting_mutex);
    if (adopting++ == 0) {
        int already = 0;
        adopting_set_here = ::prctl(PR_GET_CHILD_SUBREAPER, &already) == 0 && already == 0 &&
                            ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    }
}

AdoptOrphans::~AdoptOrphans() {
    std::lock_guard lock(adopting_mutex);
    if (--adopting == 0 && adopting_set_here) {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        adopting_set_here = false;
    }
}

void reap_adopted(std::uint32_t uid) {
    pid_t self = ::getpid();
    auto zombies =
        processes_of(uid, [&](char state, pid_t parent) { return state == 'Z' && parent == self; });
    for (pid_t zombie : zombies) {
        while (::waitpid(zombie, nullptr, WNOHANG) < 0 && errno == EINTR) {
        }
    }
}

std::expected<void, std::string> kill_account_processes(std::uint32_t uid) {
    if (uid == 0) {
        return std::unexpected("Refusing to end the processes of uid 0");
    }
    for (int round = 0; round < max_rounds; ++round) {
        if (auto sent = signal_all_as(uid); !sent) {
            return std::unexpected("Failed to end the processes of the account: " +
                                   system_error_text(sent.error()));
        }
        auto left = account_processes(uid);
        if (left.empty()) {
            return {};
        }
        // Those the account itself may not signal (another effective uid) are ours to end.
        for (pid_t pid : left) {
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::unexpected("Failed to end the processes of the account: they keep running");
}

} // namespace ovaline::pool
