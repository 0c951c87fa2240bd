#include "sandbox/private_root.hpp"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/host_process.hpp"

namespace ovaline::sandbox {

namespace {

// Where the host keeps its programs and libraries; links among them (a merged /usr)
// are copied as links.
constexpr std::array kProgramPlaces = {"usr", "bin", "sbin", "lib", "lib32", "lib64", "libx32"};

// What programs and the session's login read from /etc: accounts, the login's own
// configuration, the loader's cache, name service, locale, time zone, shells and the
// configuration of the language runtimes. Whatever the host lacks is left out.
constexpr std::array kConfiguration = {"passwd",
                                       "group",
                                       "shadow",
                                       "nsswitch.conf",
                                       "pam.conf",
                                       "pam.d",
                                       "security",
                                       "login.defs",
                                       "environment",
                                       "default",
                                       "ld.so.cache",
                                       "ld.so.conf",
                                       "ld.so.conf.d",
                                       "alternatives",
                                       "localtime",
                                       "timezone",
                                       "bash.bashrc",
                                       "profile",
                                       "profile.d",
                                       "inputrc",
                                       "hosts",
                                       "host.conf",
                                       "resolv.conf",
                                       "gai.conf",
                                       "protocols",
                                       "services",
                                       "networks",
                                       "ssl",
                                       "ca-certificates",
                                       "mime.types",
                                       "magic",
                                       "magic.mime",
                                       "terminfo",
                                       "locale.alias",
                                       "shells",
                                       "os-release",
                                       "debian_version",
                                       "mtab",
                                       "gitconfig",
                                       "fonts",
                                       "perl",
                                       "xdg"};
// Runtimes keep their configuration under versioned names.
constexpr std::array kConfigurationPrefixes = {"python", "java-"};

// The devices a program may expect; everything else of the host's /dev stays out.
constexpr std::array kDevices = {"null", "zero", "full", "random", "urandom", "tty"};

constexpr unsigned long kReadOnly = MS_BIND | MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV;

// Joined by appending: GCC 12 sees a false overlap in `"literal" + std::string` at -O3.
std::string concat(std::initializer_list<std::string_view> parts) {
    std::string joined;
    for (std::string_view part : parts) {
        joined.append(part);
    }
    return joined;
}

bool wanted_configuration(std::string_view name) {
    for (std::string_view wanted : kConfiguration) {
        if (name == wanted) {
            return true;
        }
    }
    for (std::string_view prefix : kConfigurationPrefixes) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

} // namespace

void RootPlan::add(Op op, std::string path, std::string source, std::string fstype,
                   unsigned long flags, std::string data) {
    steps_.push_back(
        Step{op, std::move(path), std::move(source), std::move(fstype), flags, std::move(data)});
}

void RootPlan::make_dirs(const std::string& path) {
    std::size_t slash = staging_.size();
    while ((slash = path.find('/', slash + 1)) != std::string::npos) {
        add(Op::Mkdir, path.substr(0, slash));
    }
    add(Op::Mkdir, path);
}

// A host path seen under the same kind of entry inside: a link is copied, a directory or
// file is bound, read-only unless asked otherwise.
std::expected<void, std::string> RootPlan::bind(const Bind& bind) {
    struct stat st;
    if (::lstat(bind.source.c_str(), &st) != 0) {
        return std::unexpected(bind.source + ": " + system_error_text(errno));
    }
    const std::string inside = staging_ + bind.target;
    const std::size_t parent = inside.rfind('/');
    if (parent > staging_.size()) {
        make_dirs(inside.substr(0, parent));
    }
    if (S_ISLNK(st.st_mode)) {
        std::error_code failed;
        const auto target = std::filesystem::read_symlink(bind.source, failed);
        if (failed) {
            return std::unexpected(bind.source + ": " + failed.message());
        }
        add(Op::Symlink, inside, target.string());
        return {};
    }
    add(S_ISDIR(st.st_mode) ? Op::Mkdir : Op::File, inside);
    add(Op::Mount, inside, bind.source, {}, MS_BIND | MS_REC);
    add(Op::Remount, inside, {}, {}, bind.writable ? kReadOnly & ~MS_RDONLY : kReadOnly);
    return {};
}

std::expected<RootPlan, std::string> RootPlan::make(const RootOptions& options) {
    const std::filesystem::path staging = options.staging;
    if (!staging.is_absolute() || staging == "/") {
        return std::unexpected("the root's staging directory must be an absolute path below /");
    }
    RootPlan plan;
    plan.staging_ = staging.lexically_normal().string();
    const std::string& root = plan.staging_;
    // Nothing mounted from here on reaches the host's tree, nor the other way round.
    plan.add(Op::Mount, "/", {}, {}, MS_REC | MS_PRIVATE);
    plan.add(Op::Mount, root, "tmpfs", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755,size=1m");
    for (std::string_view place : kProgramPlaces) {
        const std::string host = concat({"/", place});
        if (::access(host.c_str(), F_OK) == 0 || std::filesystem::is_symlink(host)) {
            if (auto bound = plan.bind(Bind{host, host}); !bound) {
                return std::unexpected(bound.error());
            }
        }
    }
    plan.add(Op::Mkdir, root + "/etc");
    std::error_code failed;
    for (const auto& entry : std::filesystem::directory_iterator("/etc", failed)) {
        const std::string name = entry.path().filename().string();
        if (wanted_configuration(name)) {
            if (auto bound = plan.bind(Bind{entry.path().string(), concat({"/etc/", name})});
                !bound) {
                return std::unexpected(bound.error());
            }
        }
    }
    if (failed) {
        return std::unexpected(concat({"/etc: ", failed.message()}));
    }
    plan.add(Op::Mkdir, root + "/dev");
    plan.add(Op::Mount, root + "/dev", "tmpfs", "tmpfs", MS_NOSUID | MS_NOEXEC,
             "mode=755,size=64k");
    for (std::string_view device : kDevices) {
        const std::string path = concat({"/dev/", device});
        if (::access(path.c_str(), F_OK) == 0) {
            plan.add(Op::File, root + path);
            plan.add(Op::Mount, root + path, path, {}, MS_BIND);
        }
    }
    plan.add(Op::Symlink, root + "/dev/fd", "/proc/self/fd");
    // Terminals of its own, for programs such as su that want one.
    plan.add(Op::Mkdir, root + "/dev/pts");
    plan.add(Op::Mount, root + "/dev/pts", "devpts", "devpts", MS_NOSUID | MS_NOEXEC,
             "newinstance,ptmxmode=0666,mode=0620");
    plan.add(Op::Symlink, root + "/dev/ptmx", "pts/ptmx");
    for (int fd = 0; fd < 3; ++fd) {
        static constexpr std::array kNames = {"stdin", "stdout", "stderr"};
        plan.add(Op::Symlink, concat({root, "/dev/", kNames[fd]}),
                 concat({"/proc/self/fd/", std::to_string(fd)}));
    }
    plan.add(Op::Mkdir, root + "/proc");
    plan.add(Op::Mount, root + "/proc", "proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
             "hidepid=2");
    for (const char* dir : {"/tmp", "/var", "/var/tmp", "/dev/shm"}) {
        plan.add(Op::Mkdir, root + dir);
    }
    for (const Bind& bind : options.binds) {
        if (!bind.target.starts_with('/')) {
            return std::unexpected(bind.target + ": not an absolute path");
        }
        if (auto bound = plan.bind(bind); !bound) {
            return std::unexpected(bound.error());
        }
    }
    // Nothing can be created beside what was placed: the root and /dev turn read-only.
    plan.add(Op::Remount, root + "/dev", {}, {}, kReadOnly & ~MS_NODEV);
    plan.add(Op::Remount, root, {}, {}, kReadOnly);
    plan.add(Op::Pivot, root);
    plan.add(Op::Hostname, options.hostname);
    return plan;
}

std::expected<RootPlan, std::string> RootPlan::overlay(const std::vector<Bind>& binds) {
    RootPlan plan;
    for (const Bind& bind : binds) {
        if (!bind.target.starts_with('/')) {
            return std::unexpected(bind.target + ": not an absolute path");
        }
        if (auto bound = plan.bind(bind); !bound) {
            return std::unexpected(bound.error());
        }
    }
    return plan;
}

int RootPlan::apply() const noexcept {
    auto text = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    for (const Step& step : steps_) {
        int done = 0;
        switch (step.op) {
        case Op::Mkdir:
            done = ::mkdir(step.path.c_str(), 0755) == 0 || errno == EEXIST ? 0 : -1;
            break;
        case Op::File: {
            const int fd = ::open(step.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            done = fd < 0 ? -1 : ::close(fd);
            break;
        }
        case Op::Symlink:
            done = ::symlink(step.source.c_str(), step.path.c_str());
            break;
        case Op::Mount:
            done = ::mount(text(step.source), step.path.c_str(), text(step.fstype), step.flags,
                           text(step.data));
            break;
        case Op::Remount:
            done = ::mount(nullptr, step.path.c_str(), nullptr, step.flags, nullptr);
            break;
        case Op::Pivot:
            // The old root is stacked under the new one and then let go of, so no
            // directory is needed for it in the read-only root.
            done = ::chdir(step.path.c_str()) == 0 && ::syscall(SYS_pivot_root, ".", ".") == 0 &&
                           ::umount2(".", MNT_DETACH) == 0 && ::chdir("/") == 0
                       ? 0
                       : -1;
            break;
        case Op::Hostname:
            done = step.path.empty() ? 0 : ::sethostname(step.path.data(), step.path.size());
            break;
        }
        if (done != 0) {
            return errno;
        }
    }
    return 0;
}

} // namespace ovaline::sandbox
