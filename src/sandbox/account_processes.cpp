#include "sandbox/account_processes.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string_view>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "sandbox/host_process.hpp"
#include "sandbox/spawner.hpp"

namespace ovaline::sandbox {

namespace {

constexpr int max_rounds = 200;

// Signals every process of `uid` the way `kill -1` would from that user: the kernel
// walks the process list once with new forks held off, so nothing escapes by forking.
std::expected<void, int> signal_all_as(std::uint32_t uid) {
    auto status = run_in_child([uid] {
        // Raw system calls: the child of a threaded process may only make async-signal-
        // safe calls.
        if (::syscall(SYS_setresuid, uid, uid, uid) != 0) {
            return 1;
        }
        ::kill(-1, SIGKILL);
        return 0;
    });
    if (!status) {
        return std::unexpected(status.error());
    }
    if (*status != 0) {
        return std::unexpected(EPERM);
    }
    return {};
}

// Reads the state letter and the real, effective and saved uid from /proc/<pid>/status.
bool read_status(const char* pid, char& state, std::uint32_t (&uids)[3]) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/status", pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    bool have_state = false;
    bool have_uids = false;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr && !(have_state && have_uids)) {
        std::string_view text = line;
        if (text.starts_with("State:")) {
            have_state = std::sscanf(line, "State: %c", &state) == 1;
        } else if (text.starts_with("Uid:")) {
            have_uids = std::sscanf(line, "Uid: %u %u %u", &uids[0], &uids[1], &uids[2]) == 3;
        }
    }
    std::fclose(file);
    return have_state && have_uids;
}

} // namespace

std::vector<pid_t> account_processes(std::uint32_t uid) {
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
        std::uint32_t uids[3];
        if (read_status(entry->d_name, state, uids) && state != 'Z' && state != 'X' &&
            (uids[0] == uid || uids[1] == uid || uids[2] == uid)) {
            found.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
        }
    }
    ::closedir(proc);
    return found;
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

} // namespace ovaline::sandbox
