#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <linux/bpf.h>
#include <linux/keyctl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/command_run.hpp"
#include "sandbox/seccomp_filter.hpp"
#include "sandbox/spawner.hpp"

namespace {

using namespace std::chrono_literals;
using ovaline::sandbox::Clock;
using ovaline::sandbox::CommandRun;
using ovaline::sandbox::ProgramLaunch;
using ovaline::sandbox::run_in_child;
using ovaline::sandbox::SeccompFilter;

const SeccompFilter& tenant_filter() {
    static const SeccompFilter filter = [] {
        auto made = SeccompFilter::tenant();
        if (!made) {
            ADD_FAILURE() << made.error();
            std::abort();
        }
        return std::move(*made);
    }();
    return filter;
}

// Each call is harmless should the filter let it through: its arguments are wrong or it
// changes only the child that makes it.
struct Call {
    const char* name;
    long (*make)();
    int refused_with; // 0: allowed
};

const Call calls[] = {
    {"unshare a user namespace", [] { return static_cast<long>(::unshare(CLONE_NEWUSER)); }, EPERM},
    {"unshare a mount namespace", [] { return static_cast<long>(::unshare(CLONE_NEWNS)); }, EPERM},
    {"clone into a user namespace",
     [] {
         long pid = ::syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0);
         if (pid == 0) {
             ::_exit(0);
         }
         return pid < 0 ? pid : 0L;
     },
     EPERM},
    {"clone3", [] { return ::syscall(SYS_clone3, nullptr, 0); }, ENOSYS},
    {"setns", [] { return ::syscall(SYS_setns, -1, 0); }, EPERM},
    {"mount",
     [] {
         return static_cast<long>(
             ::mount("none", "/nonexistent-ovaline", "ovaline-none", 0, nullptr));
     },
     EPERM},
    {"umount2", [] { return static_cast<long>(::umount2("/nonexistent-ovaline", 0)); }, EPERM},
    {"keyctl",
     [] { return ::syscall(SYS_keyctl, KEYCTL_GET_KEYRING_ID, KEY_SPEC_SESSION_KEYRING, 0); },
     EPERM},
    {"bpf", [] { return ::syscall(SYS_bpf, BPF_MAP_CREATE, nullptr, 0); }, EPERM},
    {"perf_event_open", [] { return ::syscall(SYS_perf_event_open, nullptr, 0, -1, -1, 0); },
     EPERM},
    {"io_uring_setup", [] { return ::syscall(SYS_io_uring_setup, 0, nullptr); }, ENOSYS},
    {"personality without randomisation",
     [] { return static_cast<long>(::personality(ADDR_NO_RANDOMIZE)); }, EPERM},
    {"personality with a junk top bit",
     [] { return static_cast<long>(::personality(0x80000000 | READ_IMPLIES_EXEC)); }, EPERM},
    {"personality of 32-bit Linux", [] { return static_cast<long>(::personality(PER_LINUX32)); },
     0},
    {"personality query", [] { return static_cast<long>(::personality(0xffffffff)); }, 0},
    {"unshare the file table", [] { return static_cast<long>(::unshare(CLONE_FILES)); }, 0},
    {"fork",
     [] {
         long pid = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
         if (pid == 0) {
             ::_exit(0);
         }
         return pid < 0 ? pid : 0L;
     },
     0},
};

TEST(SeccompFilter, RefusesWhatATenantNeverNeedsAndNothingElse) {
    const SeccompFilter& filter = tenant_filter();
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        // The child's exit code: 0 when the call went as expected, else 100 + its errno.
        auto status = run_in_child([&] {
            if (int err = filter.load(); err != 0) {
                return 200 + err;
            }
            long got = call.make();
            int err = got < 0 ? errno : 0;
            return err == call.refused_with ? 0 : 100 + err;
        });
        ASSERT_TRUE(status);
        EXPECT_EQ(*status, 0);
    }
}

class SeccompSpawnTest : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "a PID namespace needs root";
        }
        std::signal(SIGPIPE, SIG_IGN);
    }

    static ovaline::sandbox::RunOutcome run(const std::string& path,
                                            std::vector<std::string> args) {
        ProgramLaunch launch;
        launch.path = path;
        launch.args = std::move(args);
        launch.env = {"PATH=/usr/bin:/bin"};
        launch.seccomp = &tenant_filter();
        auto started = CommandRun::start(launch, std::nullopt, std::nullopt, Clock::now() + 60s);
        EXPECT_TRUE(started) << started.error();
        while (!(*started)->wait()) {
        }
        return (*started)->outcome();
    }
};

TEST_F(SeccompSpawnTest, OrdinaryProgramsRunAndNamespacesAreRefused) {
    EXPECT_EQ(run("/bin/true", {}).status, 0);
    auto echo = run("/bin/sh", {"-c", "echo hi"});
    EXPECT_EQ(echo.status, 0);
    EXPECT_EQ(echo.out.text(), "hi\n");
    // Root is refused too: the filter does not ask for capabilities.
    auto unshare = run("/usr/bin/unshare", {"--user", "/bin/true"});
    EXPECT_NE(unshare.status, 0);
    EXPECT_NE(unshare.err.text().find("Operation not permitted"), std::string::npos)
        << unshare.err.text();
}

// A session's shell starts through su under the filter; su's PAM session must not need
// anything it refuses.
TEST_F(SeccompSpawnTest, SuStartsAShellUnderTheFilter) {
    auto su = ovaline::sandbox::find_program("su");
    if (!su) {
        GTEST_SKIP() << "no su";
    }
    auto outcome = run(*su, {"-s", "/bin/sh", "nobody", "-c", "id -un"});
    EXPECT_EQ(outcome.status, 0) << outcome.err.text();
    EXPECT_EQ(outcome.out.text(), "nobody\n");
}

} // namespace
