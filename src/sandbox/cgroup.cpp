#include "sandbox/cgroup.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "sandbox/host_process.hpp"

namespace ovaline::sandbox {

namespace {

using namespace std::chrono_literals;

constexpr const char* parent_name = "ovaline";
// The controllers a session uses where it can: each carries a limit or a figure.
constexpr const char* wanted[] = {"memory", "pids", "cpu"};
// How long a removal waits for zombies inside to be reaped, and a kill for the processes
// inside to end.
constexpr auto removal_wait = 2s;
constexpr auto kill_wait = 5s;

std::expected<std::string, int> read_file(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return std::unexpected(errno);
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::unexpected(errno);
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

// 0, or the errno. A cgroup file takes one value per write.
int write_file(const std::string& path, std::string_view text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) {
        return errno;
    }
    ssize_t put;
    while ((put = ::write(fd.get(), text.data(), text.size())) < 0 && errno == EINTR) {
    }
    return put < 0 ? errno : 0;
}

CgroupFailure system_failure(int err, const std::string& what) {
    return CgroupFailure{err, what + ": " + system_error_text(err)};
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> out;
    for (;;) {
        std::size_t at = text.find(separator);
        if (!text.substr(0, at).empty()) {
            out.push_back(text.substr(0, at));
        }
        if (at == std::string_view::npos) {
            return out;
        }
        text.remove_prefix(at + 1);
    }
}

// Words separated by spaces or newlines.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    for (std::string_view line : split(text, '\n')) {
        auto more = split(line, ' ');
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

bool contains(const std::vector<std::string_view>& list, std::string_view item) {
    return std::ranges::find(list, item) != list.end();
}

// mountinfo writes space, tab, newline and backslash in octal.
std::string unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            int value = 0;
            auto [end, ec] = std::from_chars(field.data() + i + 1, field.data() + i + 4, value, 8);
            if (ec == std::errc() && end == field.data() + i + 4) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The number after `key` in a file of "key value" lines.
std::optional<std::uint64_t> keyed_number(const std::string& path, std::string_view key) {
    auto text = read_file(path);
    if (!text) {
        return std::nullopt;
    }
    for (std::string_view line : split(*text, '\n')) {
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ' ') {
            return parse_number(line.substr(key.size() + 1));
        }
    }
    return std::nullopt;
}

struct Mount {
    std::string root;  // the hierarchy's directory mounted here
    std::string point; // where
    bool read_only;
    std::string type; // cgroup or cgroup2
    std::vector<std::string_view> options;
};

// A hierarchy as this process sees it: where its own cgroup is, if it can be reached.
struct Candidate {
    std::string base;
    bool writable;
    std::vector<std::string> offered; // of `wanted`, and cpuacct for the first version
};

struct Found {
    std::optional<Candidate> unified;
    std::vector<Candidate> separate;
};

std::string join_path(const Mount& mount, std::string_view own) {
    std::string_view root = mount.root;
    if (root == "/") {
        root = "";
    }
    // A cgroup outside what is mounted here cannot be reached through it.
    if (!own.starts_with(root) || (own.size() > root.size() && own[root.size()] != '/')) {
        return mount.point;
    }
    own.remove_prefix(root.size());
    std::string base = mount.point;
    if (own.size() > 1) {
        base += own;
    }
    return base;
}

std::expected<Found, CgroupFailure> find_hierarchies(const CgroupHost& host) {
    auto info = read_file(host.mountinfo);
    auto self = read_file(host.self);
    if (!info || !self) {
        int err = info ? self.error() : info.error();
        return std::unexpected(
            system_failure(err, "Cannot read " + (info ? host.self : host.mountinfo)));
    }
    std::vector<Mount> mounts;
    for (std::string_view line : split(*info, '\n')) {
        auto fields = split(line, ' ');
        auto dash = std::ranges::find(fields, "-");
        if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 4) {
            continue;
        }
        std::string_view type = dash[1];
        if (type != "cgroup" && type != "cgroup2") {
            continue;
        }
        mounts.push_back(Mount{unescape(fields[3]), unescape(fields[4]),
                               contains(split(fields[5], ','), "ro"), std::string(type),
                               split(dash[3], ',')});
    }
    Found found;
    for (std::string_view line : split(*self, '\n')) {
        // hierarchy:controllers:path; the unified one is 0 with no controllers.
        std::size_t first = line.find(':');
        std::size_t second = line.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) {
            continue;
        }
        auto listed = split(line.substr(first + 1, second - first - 1), ',');
        std::string_view own = line.substr(second + 1);
        bool unified = line.substr(0, first) == "0" && listed.empty();
        for (const Mount& mount : mounts) {
            bool same = unified ? mount.type == "cgroup2"
                                : mount.type == "cgroup" && !listed.empty() &&
                                      std::ranges::all_of(listed, [&](std::string_view c) {
                                          return contains(mount.options, c);
                                      });
            if (!same) {
                continue;
            }
            Candidate candidate{join_path(mount, own), false, {}};
            candidate.writable =
                !mount.read_only && ::access(candidate.base.c_str(), W_OK | X_OK) == 0;
            if (unified) {
                std::string controllers =
                    read_file(candidate.base + "/cgroup.controllers").value_or("");
                auto available = words(controllers);
                for (const char* c : wanted) {
                    if (contains(available, c)) {
                        candidate.offered.emplace_back(c);
                    }
                }
                found.unified = std::move(candidate);
            } else {
                for (std::string_view c : listed) {
                    if (std::ranges::find(wanted, c) != std::end(wanted) || c == "cpuacct") {
                        candidate.offered.emplace_back(c);
                    }
                }
                if (!candidate.offered.empty()) {
                    found.separate.push_back(std::move(candidate));
                }
            }
            break;
        }
    }
    return found;
}

std::vector<std::string> needed_by(const CgroupLimits& limits) {
    std::vector<std::string> needed;
    if (limits.memory) {
        needed.emplace_back("memory");
    }
    if (limits.processes) {
        needed.emplace_back("pids");
    }
    if (limits.cpu) {
        needed.emplace_back("cpu");
    }
    return needed;
}

bool offers(const std::vector<CgroupPlan::Hierarchy>& hierarchies, const std::string& c) {
    return std::ranges::any_of(hierarchies, [&](const auto& h) {
        return std::ranges::find(h.controllers, c) != h.controllers.end();
    });
}

std::size_t wanted_count(const std::vector<CgroupPlan::Hierarchy>& hierarchies) {
    return static_cast<std::size_t>(std::ranges::count_if(
        wanted, [&](const char* c) { return offers(hierarchies, std::string(c)); }));
}

// Whether a process with this pid still runs: not gone, and not a zombie.
bool running(pid_t pid) {
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) {
        return false;
    }
    std::size_t close = stat->rfind(')');
    return close == std::string::npos || close + 2 >= stat->size() || (*stat)[close + 2] != 'Z';
}

int remove_directory(const std::string& path, std::chrono::steady_clock::time_point until) {
    auto pause = 1ms;
    for (;;) {
        if (::rmdir(path.c_str()) == 0 || errno == ENOENT) {
            return 0;
        }
        if (errno != EBUSY || std::chrono::steady_clock::now() >= until) {
            return errno;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, 50ms);
    }
}

std::string parent_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

} // namespace

std::expected<CgroupPlan, CgroupFailure> plan_cgroups(const CgroupLimits& limits,
                                                      const CgroupHost& host) {
    auto found = find_hierarchies(host);
    if (!found) {
        return std::unexpected(found.error());
    }
    std::vector<std::string> needed = needed_by(limits);
    std::optional<CgroupPlan> unified;
    if (found->unified && found->unified->writable) {
        unified = CgroupPlan{CgroupVersion::v2, {{found->unified->base, found->unified->offered}}};
    }
    CgroupPlan separate{CgroupVersion::v1, {}};
    for (const Candidate& candidate : found->separate) {
        if (candidate.writable) {
            separate.hierarchies.push_back({candidate.base, candidate.offered});
        }
    }
    auto covers = [&](const CgroupPlan& plan) {
        return !plan.hierarchies.empty() && std::ranges::all_of(needed, [&](const auto& c) {
            return offers(plan.hierarchies, c);
        });
    };
    bool v2 = unified && covers(*unified);
    bool v1 = covers(separate);
    // The one with more of the wanted controllers, for its figures; the unified one when
    // they offer as many.
    if (v2 && (!v1 || wanted_count(unified->hierarchies) >= wanted_count(separate.hierarchies))) {
        return std::move(*unified);
    }
    if (v1) {
        return separate;
    }
    for (const std::string& c : needed) {
        if (!(unified && offers(unified->hierarchies, c)) && !offers(separate.hierarchies, c)) {
            return std::unexpected(CgroupFailure{
                ENOENT, "No writable cgroup hierarchy offers the " + c + " controller"});
        }
    }
    return std::unexpected(CgroupFailure{ENOENT, "No writable cgroup hierarchy was found"});
}

std::expected<SessionCgroup, CgroupFailure>
SessionCgroup::create(const std::string& name, const CgroupLimits& limits, const CgroupHost& host) {
    if (name.empty() || name.size() > 200 ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
        return std::unexpected(CgroupFailure{EINVAL, "Invalid cgroup name: " + name});
    }
    if ((limits.cpu && !(*limits.cpu > 0.0 && *limits.cpu <= 1e6)) ||
        (limits.processes && *limits.processes == 0) || (limits.memory && *limits.memory == 0)) {
        return std::unexpected(CgroupFailure{EINVAL, "Invalid cgroup limit"});
    }
    auto plan = plan_cgroups(limits, host);
    if (!plan) {
        return std::unexpected(plan.error());
    }
    bool v2 = plan->version == CgroupVersion::v2;
    const std::string leaf = std::to_string(::getpid()) + "-" + name;
    SessionCgroup cgroup;
    cgroup.version_ = plan->version;
    for (const auto& hierarchy : plan->hierarchies) {
        std::string parent = hierarchy.base + "/" + parent_name;
        std::string dir = parent + "/" + leaf;
        // The second version hands a controller down only through every level's
        // subtree_control; a level that holds processes refuses (EBUSY).
        auto enable = [&](const std::string& level) -> std::expected<void, CgroupFailure> {
            if (!v2 || hierarchy.controllers.empty()) {
                return {};
            }
            std::string enabled = read_file(level + "/cgroup.subtree_control").value_or("");
            auto on = words(enabled);
            for (const std::string& c : hierarchy.controllers) {
                if (contains(on, c)) {
                    continue;
                }
                if (int err = write_file(level + "/cgroup.subtree_control", "+" + c); err != 0) {
                    std::string what = "Cannot enable the " + c + " controller below " + level;
                    if (err == EBUSY) {
                        what += ", which holds processes of its own";
                    }
                    return std::unexpected(system_failure(err, what));
                }
            }
            return {};
        };
        if (auto done = enable(hierarchy.base); !done) {
            return std::unexpected(done.error());
        }
        // Another session's removal may take the shared parent away at any point here,
        // leaving ENOENT: it is made again.
        for (int attempt = 1;; ++attempt) {
            if (::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
                return std::unexpected(system_failure(errno, "Cannot create " + parent));
            }
            auto done = enable(parent);
            if (done && ::mkdir(dir.c_str(), 0755) == 0) {
                break;
            }
            CgroupFailure failed =
                done ? system_failure(errno, "Cannot create " + dir) : done.error();
            if (failed.error != ENOENT || attempt == 3) {
                return std::unexpected(failed);
            }
        }
        cgroup.directories_.push_back(dir);
        cgroup.controllers_.push_back(hierarchy.controllers);
        cgroup.procs_.emplace_back(::open((dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC));
        if (!cgroup.procs_.back()) {
            return std::unexpected(system_failure(errno, "Cannot open " + dir + "/cgroup.procs"));
        }
    }
    auto set = [&](const char* controller, const char* name,
                   const std::string& value) -> std::expected<void, CgroupFailure> {
        std::string path = cgroup.file(controller, name);
        if (int err = path.empty() ? ENOENT : write_file(path, value); err != 0) {
            return std::unexpected(system_failure(err, "Cannot write " + value + " to " +
                                                           (path.empty() ? name : path)));
        }
        return {};
    };
    // The first limit that cannot be written fails the whole cgroup, which the destructor
    // then removes.
    std::expected<void, CgroupFailure> done;
    if (limits.memory) {
        std::string bytes = std::to_string(*limits.memory);
        if (v2) {
            done = set("memory", "memory.max", bytes);
            // Swap would be memory beyond the limit.
            if (done && exists(cgroup.file("memory", "memory.swap.max"))) {
                done = set("memory", "memory.swap.max", "0");
            }
        } else {
            done = set("memory", "memory.limit_in_bytes", bytes);
            if (done && exists(cgroup.file("memory", "memory.memsw.limit_in_bytes"))) {
                done = set("memory", "memory.memsw.limit_in_bytes", bytes);
            }
        }
    }
    if (done && limits.processes) {
        done = set("pids", "pids.max", std::to_string(*limits.processes));
    }
    if (done && limits.cpu) {
        constexpr std::uint64_t period = 100000; // microseconds
        // The kernel takes no quota below a millisecond.
        auto quota =
            std::max<std::uint64_t>(1000, static_cast<std::uint64_t>(*limits.cpu * period));
        if (v2) {
            done = set("cpu", "cpu.max", std::to_string(quota) + " " + std::to_string(period));
        } else {
            done = set("cpu", "cpu.cfs_period_us", std::to_string(period));
            if (done) {
                done = set("cpu", "cpu.cfs_quota_us", std::to_string(quota));
            }
        }
    }
    if (!done) {
        return std::unexpected(done.error());
    }
    return cgroup;
}

SessionCgroup& SessionCgroup::operator=(SessionCgroup&& other) noexcept {
    if (this != &other) {
        [[maybe_unused]] auto removed = remove();
        version_ = other.version_;
        directories_ = std::move(other.directories_);
        controllers_ = std::move(other.controllers_);
        procs_ = std::move(other.procs_);
        other.directories_.clear();
        other.controllers_.clear();
        other.procs_.clear();
    }
    return *this;
}

SessionCgroup::~SessionCgroup() {
    [[maybe_unused]] auto removed = remove();
}

std::string SessionCgroup::file(const char* controller, const char* name) const {
    for (std::size_t i = 0; i < directories_.size(); ++i) {
        // Under the second version one directory has every file.
        if (version_ == CgroupVersion::v2 ||
            std::ranges::find(controllers_[i], controller) != controllers_[i].end()) {
            return directories_[i] + "/" + name;
        }
    }
    return {};
}

int SessionCgroup::join() const noexcept {
    // Each hierarchy is joined separately under the first version. "0" is the writer.
    for (const UniqueFd& fd : procs_) {
        if (::write(fd.get(), "0", 1) < 0) {
            return errno;
        }
    }
    return 0;
}

std::expected<void, CgroupFailure> SessionCgroup::add(pid_t pid) const {
    for (const std::string& dir : directories_) {
        if (int err = write_file(dir + "/cgroup.procs", std::to_string(pid)); err != 0) {
            return std::unexpected(
                system_failure(err, "Cannot move " + std::to_string(pid) + " into " + dir));
        }
    }
    return {};
}

std::expected<std::vector<pid_t>, CgroupFailure> SessionCgroup::processes() const {
    if (directories_.empty()) {
        return std::vector<pid_t>();
    }
    std::string path = directories_.front() + "/cgroup.procs";
    auto text = read_file(path);
    if (!text) {
        return std::unexpected(system_failure(text.error(), "Cannot read " + path));
    }
    std::vector<pid_t> pids;
    for (std::string_view line : split(*text, '\n')) {
        if (auto pid = parse_number(line)) {
            pids.push_back(static_cast<pid_t>(*pid));
        }
    }
    return pids;
}

std::expected<void, CgroupFailure> SessionCgroup::kill_all() const {
    if (directories_.empty()) {
        return {};
    }
    // The kernel's own kill reaches every process at once, new forks included.
    bool killed = version_ == CgroupVersion::v2 &&
                  write_file(directories_.front() + "/cgroup.kill", "1") == 0;
    auto until = std::chrono::steady_clock::now() + kill_wait;
    auto pause = 1ms;
    for (;;) {
        auto listed = processes();
        if (!listed) {
            return std::unexpected(listed.error());
        }
        std::erase_if(*listed, [](pid_t pid) { return !running(pid); });
        if (listed->empty()) {
            return {};
        }
        if (std::chrono::steady_clock::now() >= until) {
            return std::unexpected(CgroupFailure{EBUSY, "Processes of " + directories_.front() +
                                                            " outlived every kill"});
        }
        if (!killed) {
            // A pid read from the list may have been reaped and taken by a process outside
            // before the signal: hold each by a descriptor first, and signal only those
            // that a second reading still lists. A process killed cannot fork again, so
            // each round leaves only what the previous one's survivors started.
            // Without process descriptors (before Linux 5.3), the pid is all there is.
            std::vector<std::pair<pid_t, UniqueFd>> held;
            for (pid_t pid : *listed) {
                UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
                if (fd || errno == ENOSYS) {
                    held.emplace_back(pid, std::move(fd));
                }
            }
            auto again = processes();
            if (!again) {
                return std::unexpected(again.error());
            }
            for (const auto& [pid, fd] : held) {
                if (std::ranges::find(*again, pid) == again->end()) {
                    continue;
                }
                if (fd) {
                    ::syscall(SYS_pidfd_send_signal, fd.get(), SIGKILL, nullptr, 0);
                } else {
                    ::kill(pid, SIGKILL);
                }
            }
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, 20ms);
    }
}

std::optional<std::uint64_t> SessionCgroup::peak_memory() const {
    std::string path =
        file("memory", version_ == CgroupVersion::v2 ? "memory.peak" : "memory.max_usage_in_bytes");
    auto text =
        path.empty() ? std::expected<std::string, int>(std::unexpected(ENOENT)) : read_file(path);
    return text ? parse_number(*text) : std::nullopt;
}

std::optional<std::chrono::nanoseconds> SessionCgroup::cpu_time() const {
    if (version_ == CgroupVersion::v2) {
        auto usec = keyed_number(file("cpu", "cpu.stat"), "usage_usec");
        return usec ? std::optional(std::chrono::microseconds(*usec)) : std::nullopt;
    }
    std::string path = file("cpuacct", "cpuacct.usage");
    auto text =
        path.empty() ? std::expected<std::string, int>(std::unexpected(ENOENT)) : read_file(path);
    auto nsec = text ? parse_number(*text) : std::nullopt;
    return nsec ? std::optional(std::chrono::nanoseconds(*nsec)) : std::nullopt;
}

std::optional<std::uint64_t> SessionCgroup::oom_kills() const {
    std::string path =
        file("memory", version_ == CgroupVersion::v2 ? "memory.events" : "memory.oom_control");
    return path.empty() ? std::nullopt : keyed_number(path, "oom_kill");
}

std::expected<void, CgroupFailure> SessionCgroup::remove() {
    if (directories_.empty()) {
        return {};
    }
    auto killed = kill_all();
    procs_.clear();
    auto until = std::chrono::steady_clock::now() + removal_wait;
    while (!directories_.empty()) {
        if (int err = remove_directory(directories_.back(), until); err != 0) {
            return std::unexpected(system_failure(err, "Cannot remove " + directories_.back()));
        }
        // The shared parent goes with the last session inside; one still inside keeps it.
        ::rmdir(parent_of(directories_.back()).c_str());
        directories_.pop_back();
        controllers_.pop_back();
    }
    if (!killed) {
        return std::unexpected(killed.error());
    }
    return {};
}

std::size_t SessionCgroup::sweep(const CgroupHost& host) {
    auto found = find_hierarchies(host);
    if (!found) {
        return 0;
    }
    std::vector<Candidate> all = found->separate;
    if (found->unified) {
        all.push_back(*found->unified);
    }
    std::size_t removed = 0;
    for (const Candidate& candidate : all) {
        std::string parent = candidate.base + "/" + parent_name;
        DIR* dir = ::opendir(parent.c_str());
        if (dir == nullptr) {
            continue;
        }
        std::vector<std::string> dead;
        while (dirent* entry = ::readdir(dir)) {
            std::string_view leaf = entry->d_name;
            std::size_t dash = leaf.find('-');
            auto owner = parse_number(leaf.substr(0, dash));
            // Its owner's pid names no process: the owner died without removing it. An
            // rmdir only ever removes an empty cgroup.
            if (entry->d_type == DT_DIR && dash != std::string_view::npos && owner &&
                ::kill(static_cast<pid_t>(*owner), 0) != 0 && errno == ESRCH) {
                dead.emplace_back(leaf);
            }
        }
        ::closedir(dir);
        for (const std::string& leaf : dead) {
            if (::rmdir((parent + "/" + leaf).c_str()) == 0) {
                ++removed;
            }
        }
        ::rmdir(parent.c_str());
    }
    return removed;
}

} // namespace ovaline::sandbox
