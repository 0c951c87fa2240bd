#include "pool/terminal_session.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <pwd.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <utility>

#include "error/internal_error.hpp"
#include "pool/account_leftovers.hpp"
#include "pool/account_lock.hpp"
#include "pool/home_directory.hpp"
#include "pool/session_closer.hpp"
#include "sandbox/account_keyrings.hpp"
#include "sandbox/account_processes.hpp"
#include "sandbox/host_process.hpp"
#include "sandbox/per_process.hpp"
#include "sandbox/private_root.hpp"
#include "sandbox/seccomp_filter.hpp"

namespace ovaline::pool {

namespace {

// Where a sandbox's root is assembled, inside its own mount namespace only.
std::string root_staging() {
    return std::string(account_lock_dir) + "/root";
}

std::string scratch_dir(const std::string& name) {
    return std::string(account_lock_dir) + "/" + name + ".scratch";
}

// Runs on other threads end once their processes are gone; a run only just starting
// is ended by a later round, until this long has passed.
constexpr auto runs_grace = std::chrono::seconds(2);
// How long su is given to notice its shell ended and exit on its own before it is
// killed with its namespace.
constexpr auto su_round = std::chrono::milliseconds(5);
// What su reports of a shell it lost to SIGKILL.
constexpr int killed_shell_status = 128 + SIGKILL;
// How many accounts one start passes over when they cannot be made ready.
constexpr int max_passed_over = 8;

// The sessions still open, so that the process's exit can end their processes.
class LiveSessions {
  public:
    // A process forked from this one owns none of these sessions.
    static LiveSessions& instance() {
        static const bool registered = std::atexit(TerminalSession::close_all_at_exit) == 0;
        (void)registered;
        return sandbox::per_process<LiveSessions>();
    }

    void add(TerminalSession* session) {
        std::lock_guard lock(mutex_);
        sessions_.insert(session);
    }
    void remove(TerminalSession* session) {
        std::lock_guard lock(mutex_);
        sessions_.erase(session);
    }
    template <class F> void for_each(F&& body) {
        std::lock_guard lock(mutex_);
        for (TerminalSession* session : sessions_) {
            body(*session);
        }
    }

  private:
    std::mutex mutex_;
    std::unordered_set<TerminalSession*> sessions_;
};

// The primary group of the account, as the password database says; its uid when the
// database does not know it.
std::uint32_t group_of(std::uint32_t uid) {
    passwd entry;
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_gid;
    }
    return uid;
}

std::optional<UserAccount> acquire(PoolHolder& pool) {
    auto guard = pool.mutex.lock();
    return pool.pool.acquire_user();
}

void retire(PoolHolder& pool, std::uint32_t uid) {
    auto guard = pool.mutex.lock();
    pool.pool.retire_user(uid);
}

void release(PoolHolder& pool, const std::vector<UserAccount>& accounts) {
    auto guard = pool.mutex.lock();
    for (const auto& account : accounts) {
        pool.pool.release_user(account.uid);
    }
}

// The accounts that a session being made has taken from its pool. Whatever it still
// holds when it goes goes back, so no failure, returned or thrown, loses an account.
class Claim {
  public:
    explicit Claim(PoolHolder& pool) : pool_(pool) {}
    ~Claim() {
        try {
            release(pool_, held_);
        } catch (...) {
            // Only a poisoned pool refuses them, and it hands out nothing any more.
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    void hold(UserAccount account) { held_.push_back(std::move(account)); }
    const UserAccount& last() const { return held_.back(); }
    void release_all_but_last() {
        UserAccount kept = std::move(held_.back());
        held_.pop_back();
        release(pool_, held_);
        held_ = {std::move(kept)};
    }
    // The last account is passed over: the pool never hands it out again.
    void retire_last() {
        UserAccount passed = std::move(held_.back());
        held_.pop_back();
        retire(pool_, passed.uid);
    }
    // The session now owns the last account; nothing is given back.
    void keep() { held_.clear(); }

  private:
    PoolHolder& pool_;
    std::vector<UserAccount> held_;
};

// The namespace `kind` ("net", "ipc", "mnt") of the started process `pid`; throws
// InternalError naming it as `what` when it cannot be opened (the shell then dies with
// its ShellProcess).
sandbox::UniqueFd open_namespace(pid_t pid, const char* kind, const char* what) {
    std::string path = "/proc/" + std::to_string(pid) + "/ns/" + kind;
    sandbox::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw InternalError(std::string("Failed to open the session's ") + what + ": " +
                            sandbox::system_error_text(errno));
    }
    return fd;
}

// Why an account could not be made ready; `internal` when it is a failure of the host
// that would otherwise have been thrown.
struct AccountFailure {
    std::string message;
    bool internal = false;
};

// Where a prepared account lives: canonical paths of its home and of its own temporary
// places.
struct AccountPlaces {
    std::string home;
    std::string private_places;
};

// Removes the account's own temporary places with all it put there.
bool remove_own_places(const std::string& name) {
    auto parent = HomeParent::open(home_parent);
    return parent && parent->remove_private(name) == 0;
}

// Makes the account, whose lock is held as `lock`, ready for a new user: ends what still
// runs under it (an owner that died without closing leaves such processes), clears what
// it left outside its home unless its last close did, and gives it a fresh home and
// fresh temporary places.
std::expected<AccountPlaces, AccountFailure> prepare_account(HomeParent& parent,
                                                             const UserAccount& account, int lock) {
    if (auto killed = sandbox::kill_account_processes(account.uid); !killed) {
        return std::unexpected(AccountFailure{killed.error()});
    }
    if (!take_clean_mark(lock)) {
        if (auto cleared = clear_account_leftovers(account.uid); !cleared) {
            return std::unexpected(AccountFailure{cleared.error()});
        }
    }
    // A sandbox of an owner that died may have left its writable places mounted.
    sandbox::ScratchSpace::detach_stale(scratch_dir(account.name),
                                        std::string(home_parent) + "/" + account.name);
    try {
        auto home = parent.prepare_home(account.name, account.uid);
        if (!home) {
            return std::unexpected(AccountFailure{home.error()});
        }
        auto places = parent.prepare_private(account.name);
        if (!places) {
            return std::unexpected(AccountFailure{places.error()});
        }
        return AccountPlaces{std::move(*home), std::move(*places)};
    } catch (const InternalError& failure) {
        return std::unexpected(AccountFailure{failure.what(), true});
    }
}

// The account writes only to its home and to places of its own: inside the session,
// /tmp, /var/tmp, /dev/shm and /run/lock are its own directories beside its home, with
// the home where it always is, so nothing it writes there outlives the session or meets
// another account.
std::expected<sandbox::RootPlan, std::string> own_temporary_places(const AccountPlaces& places) {
    const std::string& own = places.private_places;
    // The places live below /tmp on the host, so /tmp is covered last.
    std::vector<sandbox::Bind> binds = {{own + "/var-tmp", "/var/tmp", true},
                                        {own + "/shm", "/dev/shm", true}};
    struct stat st;
    if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode)) {
        binds.push_back({own + "/run-lock", "/run/lock", true});
    }
    if (places.home.starts_with("/tmp/")) {
        binds.push_back({places.home, own + places.home, true});
    }
    binds.push_back({own + "/tmp", "/tmp", true});
    return sandbox::RootPlan::overlay(binds);
}

// The tenants' system-call filter, compiled once; null when it cannot be.
const sandbox::SeccompFilter* tenant_filter() {
    static const auto filter = sandbox::SeccompFilter::tenant();
    return filter ? &*filter : nullptr;
}

// What a sandbox holds besides its shell.
struct SandboxParts {
    std::optional<sandbox::SessionCgroup> cgroup;
    sandbox::ScratchSpace scratch;
    sandbox::RootPlan root;
};

// The cgroup, the writable places and the root of a sandbox for the account. A cgroup
// that cannot be made is no failure unless a limit was asked of it: it would carry only
// the session's kill and figures.
std::expected<SandboxParts, SessionError>
make_sandbox(const SandboxOptions& options, const UserAccount& account, const std::string& home) {
    if (tenant_filter() == nullptr) {
        return std::unexpected(SessionError("Failed to prepare the sandbox's system-call filter: " +
                                                sandbox::SeccompFilter::tenant().error(),
                                            ENOSYS));
    }
    // What the session writes lives in memory too, and counts there: the memory bound
    // leaves room for a full disk beside it.
    sandbox::CgroupLimits group = options.group;
    if (group.memory && options.disk) {
        group.memory = *group.memory + *options.disk;
    }
    std::optional<sandbox::SessionCgroup> cgroup;
    if (auto made = sandbox::SessionCgroup::create(account.name, group)) {
        cgroup = std::move(*made);
    } else if (options.group.any()) {
        return std::unexpected(SessionError(made.error().message, made.error().error));
    }
    if (::mkdir(root_staging().c_str(), 0755) != 0 && errno != EEXIST) {
        return std::unexpected(SessionError(
            "Failed to make " + root_staging() + ": " + sandbox::system_error_text(errno), errno));
    }
    auto scratch = sandbox::ScratchSpace::create(scratch_dir(account.name), home, options.disk,
                                                 account.uid, group_of(account.uid));
    if (!scratch) {
        return std::unexpected(SessionError(scratch.error().second, scratch.error().first));
    }
    // /tmp first: the home is bound inside it.
    std::vector<sandbox::Bind> binds = {{scratch->tmp(), "/tmp", true},
                                        {scratch->var_tmp(), "/var/tmp", true},
                                        {scratch->shm(), "/dev/shm", true},
                                        {home, home, true}};
    for (const std::string& path : options.host_paths) {
        binds.push_back({path, path, false});
    }
    auto root = sandbox::RootPlan::make({root_staging(), std::move(binds), "sandbox"});
    if (!root) {
        return std::unexpected(SessionError(root.error(), ENOENT));
    }
    return SandboxParts{std::move(cgroup), std::move(*scratch), std::move(*root)};
}

} // namespace

std::vector<std::string> shell_environment() {
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
    for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE", "TERM"}) {
        if (const char* value = std::getenv(name)) {
            env.push_back(std::string(name) + "=" + value);
        }
    }
    return env;
}

TerminalSession::TerminalSession(std::string home, UserAccount account, std::uint32_t gid,
                                 std::shared_ptr<PoolHolder> pool, SessionOptions options)
    : home_(std::move(home)), user_(std::move(account.name)), uid_(account.uid), gid_(gid),
      options_(std::move(options)), pool_(std::move(pool)),
      turn_notifier_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), owner_(::getpid()) {}

TerminalSession::~TerminalSession() {
    try {
        close();
    } catch (...) {
        // A destructor cannot report; the processes are gone or beyond reach.
    }
}

std::expected<std::unique_ptr<TerminalSession>, SessionError>
TerminalSession::create(std::shared_ptr<PoolHolder> pool, SessionOptions options) {
    // A sandbox says first what the host lacks, rather than which step then failed; a
    // plain session keeps its own messages for those steps.
    if (options.sandbox) {
        if (::geteuid() != 0) {
            return std::unexpected(SessionError(
                "Sandboxes need root: they make accounts with useradd, give them homes and "
                "start their shells with su; run this process as root",
                EPERM));
        }
        for (const char* program : {"su", "useradd"}) {
            if (!sandbox::find_program(program)) {
                return std::unexpected(SessionError(
                    std::string("Sandboxes need the host's `") + program +
                        "` (Debian: apt-get install login passwd); it is not on the PATH",
                    ENOENT));
            }
        }
    }
    // A session this process dropped a moment ago gives its account back first.
    wait_for_background_closes();
    Claim claim(*pool);
    std::optional<HomeParent> parent;
    std::optional<AccountLocks> locks;
    sandbox::UniqueFd lock;
    sandbox::UniqueFd legacy_lock;
    AccountPlaces places;
    int passed_over = 0;
    for (;;) {
        auto account = acquire(*pool);
        if (!account) {
            return std::unexpected(SessionError("Failed to acquire a user account"));
        }
        claim.hold(std::move(*account));
        if (!parent) {
            auto opened = HomeParent::open(home_parent);
            if (!opened) {
                return std::unexpected(opened.error());
            }
            parent = std::move(*opened);
            auto locks_opened = AccountLocks::open(account_lock_dir);
            if (!locks_opened) {
                return std::unexpected(locks_opened.error());
            }
            locks = std::move(*locks_opened);
        }
        auto locked = locks->lock(claim.last().name);
        if (!locked) {
            return std::unexpected(locked.error());
        }
        if (!*locked) {
            continue;
        }
        auto beside_homes = parent->lock_account(claim.last().name);
        if (!beside_homes) {
            return std::unexpected(beside_homes.error());
        }
        if (!*beside_homes) {
            continue;
        }
        auto prepared = prepare_account(*parent, claim.last(), (**locked).get());
        if (prepared) {
            places = std::move(*prepared);
            lock = std::move(**locked);
            legacy_lock = std::move(**beside_homes);
            break;
        }
        // One broken account (a home that cannot be removed, say) must not stop every
        // later start: it is passed over for the next, up to a bound.
        claim.retire_last();
        if (++passed_over == max_passed_over) {
            if (prepared.error().internal) {
                throw InternalError(prepared.error().message);
            }
            return std::unexpected(prepared.error().message);
        }
    }
    // Accounts that another live session holds were kept aside until one was free, so
    // the pool did not hand them out again within this search.
    claim.release_all_but_last();
    const UserAccount& account = claim.last();

    auto su = sandbox::find_program("su");
    if (!su) {
        throw InternalError("Failed to execute the command `su`: " +
                            sandbox::system_error_text(su.error()));
    }
    sandbox::ProgramLaunch launch;
    launch.path = std::move(*su);
    launch.args = {"-s", "/bin/bash", "-P", "-c", "exec /bin/bash", account.name};
    launch.env = shell_environment();
    launch.cwd = "/";
    launch.limits = options.limits;
    launch.own_pid_namespace = true;
    launch.private_network = !options.network;
    launch.private_ipc = true;
    launch.private_proc = true;
    std::optional<SandboxParts> parts;
    std::optional<sandbox::RootPlan> own_places;
    if (options.sandbox) {
        auto made = make_sandbox(*options.sandbox, account, places.home);
        if (!made) {
            return std::unexpected(std::move(made.error()));
        }
        parts.emplace(std::move(*made));
        launch.root = &parts->root;
        launch.cgroup = parts->cgroup ? &*parts->cgroup : nullptr;
        launch.seccomp = tenant_filter();
    } else {
        auto overlay = own_temporary_places(places);
        if (!overlay) {
            throw InternalError("Failed to prepare the session's temporary places: " +
                                overlay.error());
        }
        own_places = std::move(*overlay);
        launch.root = &*own_places;
    }
    auto shell = sandbox::ShellProcess::start(std::move(launch));
    if (!shell) {
        throw InternalError("Failed to execute the command `su`: " + shell.error());
    }
    // The runs join the shell's namespaces: they share its IPC objects and, on a private
    // network, its loopback.
    sandbox::UniqueFd network;
    if (!options.network) {
        network = open_namespace((*shell)->pid(), "net", "network");
    }
    sandbox::UniqueFd ipc = open_namespace((*shell)->pid(), "ipc", "IPC namespace");
    sandbox::UniqueFd mount = open_namespace((*shell)->pid(), "mnt", "mount namespace");
    sandbox::UniqueFd uts;
    if (options.sandbox) {
        uts = open_namespace((*shell)->pid(), "uts", "host name");
    }
    std::unique_ptr<TerminalSession> session(new TerminalSession(
        std::move(places.home), account, group_of(account.uid), pool, std::move(options)));
    session->lock_ = std::move(lock);
    session->legacy_lock_ = std::move(legacy_lock);
    session->shell_ = std::move(*shell);
    session->network_ = std::move(network);
    session->ipc_ = std::move(ipc);
    session->mount_ = std::move(mount);
    session->uts_ = std::move(uts);
    if (parts) {
        session->cgroup_ = std::move(parts->cgroup);
        session->scratch_.emplace(std::move(parts->scratch));
    }
    claim.keep();
    LiveSessions::instance().add(session.get());
    return session;
}

std::expected<std::unique_ptr<sandbox::CommandRun>, std::string>
TerminalSession::start_run(RunRequest request) {
    {
        std::lock_guard lock(runs_mutex_);
        if (refusing_runs_) {
            return std::unexpected(std::string());
        }
        ++active_runs_;
    }
    auto launch = launch_for({"-c", std::move(request.command)}, std::move(request.cwd));
    auto run = sandbox::CommandRun::start(std::move(launch), std::move(request.input),
                                          request.max_output, request.deadline);
    if (!run) {
        run_ended();
        return std::unexpected(std::move(run.error()));
    }
    std::unique_ptr<sandbox::CommandRun> started = std::move(*run);
    started->when_done([this] { run_ended(); });
    if (cgroup_) {
        // The kernel's kills for memory are counted for the whole session: one more
        // since the start is this run's, or another's at the same moment.
        started->when_killed([this, before = cgroup_->oom_kills().value_or(0)] {
            return cgroup_->oom_kills().value_or(0) > before;
        });
    }
    return started;
}

sandbox::ProgramLaunch TerminalSession::launch_for(std::vector<std::string> args,
                                                   std::optional<std::string> cwd) {
    sandbox::ProgramLaunch launch;
    launch.path = "/bin/bash";
    launch.args = std::move(args);
    launch.env = shell_environment();
    launch.env.push_back("HOME=" + home_);
    launch.cwd = cwd ? std::move(*cwd) : home_;
    launch.limits = options_.limits;
    launch.identity = sandbox::Identity{uid_, gid_};
    launch.join_network = network_.get();
    launch.join_ipc = ipc_.get();
    launch.private_proc = true;
    launch.join_mount = mount_.get();
    launch.join_uts = uts_.get();
    if (options_.sandbox) {
        launch.cgroup = cgroup_ ? &*cgroup_ : nullptr;
        launch.seccomp = tenant_filter();
    }
    return launch;
}

std::expected<std::shared_ptr<sandbox::Job>, int>
TerminalSession::start_job(std::string command, std::optional<std::string> cwd,
                           std::optional<std::size_t> max_output,
                           std::optional<std::string> input) {
    // Under the lock, so that close() either refuses it or finds it to kill.
    std::lock_guard lock(runs_mutex_);
    if (refusing_runs_) {
        return std::unexpected(0);
    }
    auto job = sandbox::Job::start(launch_for({"-c", std::move(command)}, std::move(cwd)),
                                   max_output, std::move(input));
    if (!job) {
        return std::unexpected(job.error());
    }
    std::erase_if(jobs_, [](const std::weak_ptr<sandbox::Job>& held) {
        auto alive = held.lock();
        return !alive || alive->poll();
    });
    jobs_.push_back(*job);
    return std::move(*job);
}

std::expected<std::shared_ptr<sandbox::PersistentShell>, std::string>
TerminalSession::take_shell(bool wait) {
    {
        std::unique_lock lock(turn_mutex_);
        if (turn_taken_ && !wait) {
            return nullptr;
        }
        turn_given_.wait(lock, [&] { return !turn_taken_; });
        turn_taken_ = true;
    }
    std::lock_guard lock(runs_mutex_);
    if (refusing_runs_) {
        give_shell();
        return std::unexpected(std::string());
    }
    if (!persistent_) {
        // Aliases too carry over from one command to the next.
        auto shell = sandbox::PersistentShell::start(
            launch_for({"--noprofile", "--norc", "-O", "expand_aliases", "-s"}, std::nullopt));
        if (!shell) {
            give_shell();
            return std::unexpected(std::move(shell.error()));
        }
        persistent_ = std::move(*shell);
    }
    return persistent_;
}

void TerminalSession::give_shell() {
    {
        std::lock_guard lock(turn_mutex_);
        if (persistent_ && !persistent_->alive()) {
            persistent_.reset();
        }
        turn_taken_ = false;
    }
    turn_given_.notify_one();
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(turn_notifier_.get(), &one, sizeof one);
}

void TerminalSession::run_ended() {
    std::lock_guard lock(runs_mutex_);
    --active_runs_;
}

bool TerminalSession::runs_ended() {
    std::lock_guard lock(runs_mutex_);
    return active_runs_ == 0;
}

void TerminalSession::close() {
    auto guard = close_mutex_.lock();
    if (closed_) {
        return;
    }
    closed_ = true;
    {
        std::lock_guard lock(runs_mutex_);
        refusing_runs_ = true;
    }
    shell_->shut_down();
    if (!owned_here()) {
        return;
    }
    {
        // Refused from here on, so none is missed; the jobs are this process's only.
        std::lock_guard lock(runs_mutex_);
        for (const auto& held : jobs_) {
            if (auto job = held.lock()) {
                job->kill();
            }
        }
        jobs_.clear();
    }
    // Registered until the end, whichever way the close ends, so that the process's exit
    // still ends what a close on another thread has not ended yet.
    struct Unregister {
        TerminalSession* session;
        ~Unregister() { LiveSessions::instance().remove(session); }
    } unregister{this};
    // The account's processes go first; su, if it notices in a moment, reports its
    // killed shell itself, and otherwise the terminate at the end takes the namespace
    // down with it and reports what su would have.
    for (const auto& mount : std::exchange(mounts_, {})) {
        mount->unmount();
    }
    if (cgroup_) {
        // A sandbox ends through its cgroup, however fast its processes fork.
        (void)cgroup_->kill_all();
    }
    std::expected<void, std::string> killed;
    const auto give_up = sandbox::Clock::now() + runs_grace;
    for (bool first = true;; first = false) {
        killed = sandbox::kill_account_processes(uid_);
        if (first) {
            // su stops itself when its shell is stopped, and would never notice the end.
            shell_->resume();
            (void)shell_->wait(sandbox::Clock::now() + su_round);
        }
        if (!killed || runs_ended() || sandbox::Clock::now() >= give_up) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    shell_->terminate(killed_shell_status);
    {
        // Its processes are gone; a caller that still holds it sees it ended.
        std::lock_guard lock(turn_mutex_);
        persistent_.reset();
    }
    if (!killed) {
        throw InternalError("Failed to kill the terminal session: " + killed.error());
    }
    if (cgroup_) {
        // Reaped above, so no zombie of ours holds it.
        (void)cgroup_->remove();
    }
    if (scratch_) {
        scratch_->close();
    }
    {
        // The namespaces, and the IPC objects in them, go once no run holds them.
        std::lock_guard lock(runs_mutex_);
        if (active_runs_ == 0) {
            network_.reset();
            ipc_.reset();
            mount_.reset();
            uts_.reset();
        }
    }
    // Nothing of this tenant may reach the next: an account whose leftovers stay is
    // never handed out by this pool again (a start elsewhere passes over it too). It
    // wrote nowhere on the host but its home and its own places.
    const bool cleared = remove_own_places(user_) && sandbox::clear_account_keyrings(uid_);
    if (cleared) {
        mark_clean(lock_.get());
    }
    lock_.reset();
    legacy_lock_.reset();
    if (cleared) {
        release(*pool_, {UserAccount{uid_, user_}});
    } else {
        retire(*pool_, uid_);
    }
}

std::expected<std::shared_ptr<bridge::LiveMount>, SessionError>
TerminalSession::mount_tree(std::shared_ptr<fs::FileSystem> fs, const std::string& at,
                            bool read_only) {
    const std::filesystem::path relative = std::filesystem::path(at).lexically_normal();
    if (at.empty() || relative.is_absolute() || relative.empty() || *relative.begin() == ".." ||
        relative == ".") {
        return std::unexpected(
            SessionError("The mount point must be a path inside the home: " + at, EINVAL));
    }
    auto guard = close_mutex_.lock();
    if (closed_) {
        return std::unexpected(SessionError("The terminal session is closed", EBADF));
    }
    // Made as root and given to the account, without following a link the account may
    // have put on the way.
    const std::string target = home_ + "/" + relative.string();
    std::string made = home_;
    for (const auto& part : relative) {
        made += "/" + part.string();
        struct stat st;
        if (::lstat(made.c_str(), &st) != 0) {
            if (::mkdir(made.c_str(), 0755) != 0 || ::lchown(made.c_str(), uid_, gid_) != 0) {
                return std::unexpected(SessionError(
                    "Cannot make " + made + ": " + sandbox::system_error_text(errno), errno));
            }
        } else if (!S_ISDIR(st.st_mode)) {
            return std::unexpected(SessionError(made + ": not a directory", ENOTDIR));
        }
    }
    std::error_code failed;
    if (!std::filesystem::is_empty(target, failed)) {
        return std::unexpected(SessionError(target + ": the mount point is not empty", ENOTEMPTY));
    }
    sandbox::UniqueFd fuse(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!fuse) {
        return std::unexpected(
            SessionError("Cannot open /dev/fuse: " + sandbox::system_error_text(errno), errno));
    }
    const bridge::LiveMountOptions options{read_only, uid_, gid_};
    const std::string data = bridge::LiveMount::mount_options(fuse.get(), options);
    const int ns = mount_.get();
    // Made from a child inside the session's mount namespace, on the descriptor this
    // process keeps and serves.
    auto mounted = sandbox::run_in_child([&] {
        if (::setns(ns, CLONE_NEWNS) != 0) {
            return errno;
        }
        return ::mount("ovaline", target.c_str(), "fuse.ovaline", MS_NOSUID | MS_NODEV,
                       data.c_str()) == 0
                   ? 0
                   : errno;
    });
    if (!mounted || *mounted != 0) {
        const int err = mounted ? *mounted : mounted.error();
        return std::unexpected(SessionError(
            "Cannot mount at " + target + ": " + sandbox::system_error_text(err), err));
    }
    // Detached inside the namespace, which a duplicate of its descriptor keeps reachable.
    auto kept = std::make_shared<sandbox::UniqueFd>(::fcntl(ns, F_DUPFD_CLOEXEC, 0));
    auto detach = [kept, target] {
        if (*kept) {
            (void)sandbox::run_in_child([&] {
                return ::setns(kept->get(), CLONE_NEWNS) == 0 &&
                               ::umount2(target.c_str(), MNT_DETACH) == 0
                           ? 0
                           : errno;
            });
        }
    };
    auto served = bridge::LiveMount::serve(std::move(fs), std::move(fuse), target, options, detach);
    if (!served) {
        detach();
        return std::unexpected(SessionError(served.error().what, served.error().number));
    }
    std::shared_ptr<bridge::LiveMount> mount = std::move(*served);
    mounts_.push_back(mount);
    return mount;
}

std::expected<void, sandbox::ShellFailure> TerminalSession::write(std::span<const char>& data) {
    return shell_->write(data);
}

std::expected<std::size_t, sandbox::ShellFailure>
TerminalSession::read(Stream stream, std::span<char> buffer, sandbox::Deadline deadline) {
    return shell_->read(stream, buffer, deadline);
}

void TerminalSession::close_all_at_exit() {
    LiveSessions::instance().for_each([](TerminalSession& session) {
        session.shell_->shut_down();
        (void)sandbox::kill_account_processes(session.uid_);
        try {
            session.shell_->terminate();
        } catch (...) {
            // Nothing is left to report to at exit.
        }
    });
}

} // namespace ovaline::pool
