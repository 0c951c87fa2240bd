#include "sandbox/spawner.hpp"

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <linux/close_range.h>
#include <mutex>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sandbox/cgroup.hpp"
#include "sandbox/per_process.hpp"
#include "sandbox/seccomp_filter.hpp"

extern char** environ;

namespace ovaline::sandbox {

namespace {

// Runs tasks on one thread that lives as long as the process. A child's parent-death
// signal fires when the thread that forked it ends, so children are forked here rather
// than on a caller's thread, which may end long before the child should.
// Its thread starts with the first task and outlasts every child it started.
class SpawnerThread {
  public:
    static SpawnerThread& instance() { return per_process<SpawnerThread>(); }

    // A process descriptor of this process, readable once it has died; -1 without
    // process descriptors.
    int owner_pidfd() const { return owner_pidfd_; }

    void call(const std::function<void()>& task) {
        Task item{&task, false};
        std::unique_lock lock(mutex_);
        if (!started_) {
            std::thread([this] { run(); }).detach();
            started_ = true;
        }
        queue_.push_back(&item);
        changed_.notify_all();
        changed_.wait(lock, [&] { return item.done; });
    }

  private:
    struct Task {
        const std::function<void()>* body;
        bool done;
    };

    void run() {
        // Signals are for the embedding program's threads, never for this one.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return !queue_.empty(); });
            Task* task = queue_.front();
            queue_.pop_front();
            lock.unlock();
            (*task->body)();
            lock.lock();
            task->done = true;
            changed_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task*> queue_;
    bool started_ = false;
    const int owner_pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, ::getpid(), 0));
};

// What the child needs, made before the fork: after it only async-signal-safe calls.
struct Prepared {
    const ProgramLaunch& launch;
    std::vector<char*> argv;
    std::vector<char*> envp;
    int report;      // the child writes its errno here when a step fails
    int status;      // the init leaves the program's wait status here
    int owner_pidfd; // readable once this process has died
    pid_t owner;
    // Sized here, filled by the child, which may not allocate.
    mutable std::vector<int> lifted;
};

std::vector<char*> c_strings(const std::string* first, const std::vector<std::string>& rest) {
    std::vector<char*> out;
    out.reserve(rest.size() + 2);
    if (first != nullptr) {
        out.push_back(const_cast<char*>(first->c_str()));
    }
    for (const auto& item : rest) {
        out.push_back(const_cast<char*>(item.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

// fork() without glibc's bookkeeping, which a child of a threaded process must not run;
// `flags` may add namespaces.
long raw_fork(unsigned long flags) {
    return ::syscall(SYS_clone, flags | SIGCHLD, 0, 0, 0, 0);
}

// Forks from the spawner's thread. The child runs `child` and exits with what it returns,
// unless it execs first; the parent, still on that thread, runs `forked` with the child's
// pid before the caller gets it. The pid, or the errno of the failed fork.
std::expected<pid_t, int> fork_from_thread(unsigned long flags, const std::function<int()>& child,
                                           const std::function<void(pid_t)>& forked) {
    long pid = -1;
    int fork_error = 0;
    SpawnerThread::instance().call([&] {
        pid = raw_fork(flags);
        if (pid == 0) {
            ::_exit(child());
        }
        if (pid < 0) {
            fork_error = errno;
            return;
        }
        forked(static_cast<pid_t>(pid));
    });
    if (pid < 0) {
        return std::unexpected(fork_error);
    }
    return static_cast<pid_t>(pid);
}

[[noreturn]] void fail(int report, int err) {
    [[maybe_unused]] ssize_t n = ::write(report, &err, sizeof err);
    ::_exit(127);
}

// A fresh program's signal state, not what the embedding interpreter handles or
// ignores or what the forking thread blocks.
void reset_signals() {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) {
            ::sigaction(sig, &dfl, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool set_limit(int resource, const std::optional<std::uint64_t>& value, rlim_t grace = 0) {
    if (!value) {
        return true;
    }
    auto soft = static_cast<rlim_t>(*value);
    rlimit limit{soft, soft >= RLIM_INFINITY - grace ? RLIM_INFINITY : soft + grace};
    return ::setrlimit(resource, &limit) == 0;
}

bool apply_limits(const Limits& limits) {
    // A second past the CPU limit, so that SIGXCPU ends the program before SIGKILL would.
    return set_limit(RLIMIT_CPU, limits.cpu_seconds, 1) &&
           set_limit(RLIMIT_AS, limits.address_space) &&
           set_limit(RLIMIT_NPROC, limits.processes) && set_limit(RLIMIT_FSIZE, limits.file_size) &&
           set_limit(RLIMIT_NOFILE, limits.open_files);
}

[[noreturn]] void exec_program(const Prepared& p) {
    const ProgramLaunch& launch = p.launch;
    // Lift each stream above every number it may take, so no dup2 overwrites another.
    const int count = 3 + static_cast<int>(launch.extra_streams.size());
    for (int i = 0; i < count; ++i) {
        const int wanted = i < 3 ? launch.streams[i] : launch.extra_streams[i - 3];
        const int fd = wanted >= 0 ? wanted : ::open("/dev/null", O_RDWR | O_CLOEXEC);
        const int lifted = fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, count);
        if (lifted < 0) {
            fail(p.report, errno);
        }
        p.lifted[i] = lifted;
    }
    for (int i = 0; i < count; ++i) {
        if (::dup2(p.lifted[i], i) < 0) {
            fail(p.report, errno);
        }
    }
    if (launch.join_network >= 0 && ::setns(launch.join_network, CLONE_NEWNET) != 0) {
        fail(p.report, errno);
    }
    // Limits first: raising a hard limit past the current one needs privileges that the
    // identity below gives up.
    if (!apply_limits(launch.limits)) {
        fail(p.report, errno);
    }
    if (launch.identity) {
        // Raw system calls: glibc's would try to change every thread of the forking
        // process, which this copy does not have.
        gid_t gid = launch.identity->gid;
        if (::syscall(SYS_setgroups, 1, &gid) != 0 ||
            ::syscall(SYS_setresgid, gid, gid, gid) != 0 ||
            ::syscall(SYS_setresuid, launch.identity->uid, launch.identity->uid,
                      launch.identity->uid) != 0) {
            fail(p.report, errno);
        }
    }
    // After the identity, so that the program only gets a directory it may enter.
    if (!launch.cwd.empty() && ::chdir(launch.cwd.c_str()) != 0) {
        fail(p.report, errno);
    }
    ::syscall(SYS_close_range, static_cast<unsigned>(count), ~0u, CLOSE_RANGE_CLOEXEC);
    if (launch.seccomp != nullptr) {
        if (int err = launch.seccomp->load(); err != 0) {
            fail(p.report, err);
        }
    }
    ::execve(launch.path.c_str(), p.argv.data(), p.envp.data());
    fail(p.report, errno);
}

// Before the program or an init forks anything, so that nothing escapes the cgroup.
void join_cgroup(const Prepared& p) {
    if (p.launch.cgroup != nullptr) {
        if (int err = p.launch.cgroup->join(); err != 0) {
            fail(p.report, err);
        }
    }
}

bool loopback_up() {
    int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, "lo", 3);
    bool up = ::ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    }
    int err = errno;
    ::close(sock);
    errno = err;
    return up;
}

// Enters the namespaces to share and makes the private /proc; in the init, before the
// program is forked, so that both live in them. A joined mount namespace is copied, so
// the /proc mounted here shadows only this copy's.
bool enter_namespaces(const ProgramLaunch& launch) {
    if ((launch.join_ipc >= 0 && ::setns(launch.join_ipc, CLONE_NEWIPC) != 0) ||
        (launch.join_uts >= 0 && ::setns(launch.join_uts, CLONE_NEWUTS) != 0)) {
        return false;
    }
    if (!launch.private_proc) {
        return true;
    }
    if (launch.join_mount >= 0 &&
        (::setns(launch.join_mount, CLONE_NEWNS) != 0 || ::unshare(CLONE_NEWNS) != 0)) {
        return false;
    }
    // Slave before anything is mounted: host mounts still show up inside, but nothing
    // mounted inside propagates out. In the new /proc an account sees only its own
    // processes, not the init's or su's, which are copies of this process (its command
    // line included).
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == 0 &&
           ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, "hidepid=2") == 0;
}

// The init's program. Only the init's copy of memory ever sets it.
volatile sig_atomic_t init_program = 0;

// The init of a PID namespace gets no signal from outside that it does not handle
// (SIGKILL aside), so it hands a SIGCONT on to the program: a su that stopped itself with
// its stopped shell can be woken to notice the shell's end.
void pass_on_continue(int) {
    if (init_program > 0) {
        ::kill(init_program, SIGCONT);
    }
}

[[noreturn]] void run_init(const Prepared& p) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // This process may have died before the signal was armed; the parent's pid means
    // nothing inside the new namespace, its process descriptor does.
    if (p.owner_pidfd >= 0) {
        pollfd owner = {p.owner_pidfd, POLLIN, 0};
        if (::poll(&owner, 1, 0) != 0) {
            ::_exit(127);
        }
    }
    join_cgroup(p);
    reset_signals();
    struct sigaction forward {};
    forward.sa_handler = pass_on_continue;
    forward.sa_flags = SA_RESTART;
    ::sigaction(SIGCONT, &forward, nullptr);
    if ((p.launch.private_network && !loopback_up()) || !enter_namespaces(p.launch)) {
        fail(p.report, errno);
    }
    if (p.launch.root != nullptr) {
        if (int err = p.launch.root->apply(); err != 0) {
            fail(p.report, err);
        }
    }
    long program = raw_fork(0);
    if (program == 0) {
        exec_program(p);
    }
    if (program < 0) {
        fail(p.report, errno);
    }
    init_program = static_cast<sig_atomic_t>(program);
    // Holding nothing of this process or of the program, the init keeps no pipe open.
    auto status = static_cast<unsigned>(p.status);
    if (status > 0) {
        ::syscall(SYS_close_range, 0u, status - 1, 0u);
    }
    ::syscall(SYS_close_range, status + 1, ~0u, 0u);
    for (;;) {
        int raw = 0;
        pid_t got = ::waitpid(-1, &raw, 0);
        if (got == program) {
            // Then what the program and everything it left to the init used, without
            // the init itself, a copy of this process.
            rusage usage{};
            ::getrusage(RUSAGE_CHILDREN, &usage);
            [[maybe_unused]] ssize_t n = ::write(p.status, &raw, sizeof raw);
            n = ::write(p.status, &usage, sizeof usage);
            // Ending the init ends everything else inside.
            ::_exit(0);
        }
        if (got < 0 && errno != EINTR) {
            ::_exit(127);
        }
    }
}

[[noreturn]] void run_child(const Prepared& p) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have died before the signal was armed.
    if (::getppid() != p.owner) {
        ::_exit(127);
    }
    join_cgroup(p);
    reset_signals();
    exec_program(p);
}

int decode(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return -WTERMSIG(raw);
    }
    return 255;
}

} // namespace

std::expected<Started, int> spawn(const ProgramLaunch& launch) {
    auto report = make_pipe();
    if (!report) {
        return std::unexpected(report.error());
    }
    PipeEnds status;
    if (launch.own_pid_namespace) {
        auto made = make_pipe();
        if (!made) {
            return std::unexpected(made.error());
        }
        status = std::move(*made);
        if (::fcntl(status.read.get(), F_SETFL, O_NONBLOCK) != 0) {
            return std::unexpected(errno);
        }
    }
    SpawnerThread& thread = SpawnerThread::instance();
    Prepared p{launch,
               c_strings(&launch.path, launch.args),
               c_strings(nullptr, launch.env),
               report->write.get(),
               status.write.get(),
               thread.owner_pidfd(),
               ::getpid(),
               std::vector<int>(3 + launch.extra_streams.size())};
    unsigned long flags = 0;
    if (launch.own_pid_namespace) {
        flags |= CLONE_NEWPID;
        if (launch.private_network) {
            flags |= CLONE_NEWNET;
        }
        if (launch.root != nullptr) {
            flags |= CLONE_NEWNS | CLONE_NEWUTS;
        }
        if (launch.private_ipc && launch.join_ipc < 0) {
            flags |= CLONE_NEWIPC;
        }
        if (launch.private_proc && launch.join_mount < 0) {
            flags |= CLONE_NEWNS;
        }
    }
    UniqueFd pidfd;
    auto pid = fork_from_thread(
        flags,
        [&]() -> int {
            if (launch.own_pid_namespace) {
                run_init(p);
            }
            run_child(p);
        },
        [&](pid_t child) {
            // Opened before anyone can reap the child, so it always names this child.
            pidfd = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
        });
    if (!pid) {
        return std::unexpected(pid.error());
    }
    report->write.reset();
    status.write.reset();

    int child_error = 0;
    ssize_t got;
    while ((got = ::read(report->read.get(), &child_error, sizeof child_error)) < 0 &&
           errno == EINTR) {
    }
    if (got == sizeof child_error) {
        while (::waitpid(*pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return std::unexpected(child_error);
    }
    return Started{*pid, std::move(pidfd), std::move(status.read)};
}

std::expected<int, int> run_in_child(const std::function<int()>& task) {
    auto pid = fork_from_thread(0, task, [](pid_t) {});
    if (!pid) {
        return std::unexpected(pid.error());
    }
    int raw = 0;
    while (::waitpid(*pid, &raw, 0) < 0) {
        if (errno != EINTR) {
            return std::unexpected(errno);
        }
    }
    return decode(raw);
}

std::optional<rusage> program_usage(const Started& started) {
    rusage usage{};
    if (started.status &&
        ::read(started.status.get(), &usage, sizeof usage) == static_cast<ssize_t>(sizeof usage)) {
        return usage;
    }
    return std::nullopt;
}

int exit_status(const Started& started, int raw) {
    int program = 0;
    if (started.status && ::read(started.status.get(), &program, sizeof program) ==
                              static_cast<ssize_t>(sizeof program)) {
        return decode(program);
    }
    return decode(raw);
}

std::expected<std::string, int> find_program(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    int err = ENOENT;
    for (;;) {
        std::size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + program;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
            err = EACCES;
        }
        if (colon == std::string_view::npos) {
            return std::unexpected(err);
        }
        dirs.remove_prefix(colon + 1);
    }
}

std::vector<std::string> inherited_environment() {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        env.emplace_back(*entry);
    }
    return env;
}

} // namespace ovaline::sandbox
