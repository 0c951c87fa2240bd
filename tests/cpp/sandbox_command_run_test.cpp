#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

#include "sandbox/command_run.hpp"

namespace {

using namespace std::chrono_literals;
using ovaline::sandbox::Clock;
using ovaline::sandbox::CommandRun;
using ovaline::sandbox::Deadline;
using ovaline::sandbox::ProgramLaunch;
using ovaline::sandbox::RunOutcome;

// A PID namespace of its own needs root.
class CommandRunTest : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "a PID namespace needs root";
        }
        std::signal(SIGPIPE, SIG_IGN);
    }
};

RunOutcome run(const std::string& command, std::optional<std::string> input = std::nullopt,
               std::optional<std::size_t> max_output = std::nullopt,
               Deadline deadline = Clock::now() + 60s) {
    ProgramLaunch launch;
    launch.path = "/bin/sh";
    launch.args = {"-c", command};
    launch.env = {"PATH=/usr/bin:/bin"};
    auto started = CommandRun::start(launch, std::move(input), max_output, deadline);
    EXPECT_TRUE(started) << started.error();
    while (!(*started)->wait()) {
    }
    return (*started)->outcome();
}

// The pids of live processes whose command line is exactly `args`, NULs included.
std::vector<pid_t> processes_running(const std::string& args) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = ::readdir(proc)) {
        // A process may end while we read it: a failed read is only an end, where a
        // stream would throw.
        std::string line;
        const std::string path = std::string("/proc/") + entry->d_name + "/cmdline";
        if (const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
            char buffer[4096];
            ssize_t got = 0;
            while ((got = ::read(fd, buffer, sizeof buffer)) > 0) {
                line.append(buffer, static_cast<std::size_t>(got));
            }
            ::close(fd);
        }
        if (line == args) {
            found.push_back(std::atoi(entry->d_name));
        }
    }
    ::closedir(proc);
    return found;
}

TEST_F(CommandRunTest, StatusStreamsAndInput) {
    auto plain = run("printf out; printf err >&2; exit 3");
    EXPECT_EQ(plain.status, 3);
    EXPECT_EQ(plain.out.text(), "out");
    EXPECT_EQ(plain.err.text(), "err");
    EXPECT_FALSE(plain.timed_out || plain.truncated);

    EXPECT_EQ(run("kill -TERM $$").status, -SIGTERM);
    // The command is the second process of its namespace, after the init.
    EXPECT_EQ(run("echo $$").out.text(), "2\n");

    std::string big(1 << 20, 'x');
    EXPECT_EQ(run("cat", big).out.text(), big);
    // Input the command never reads neither blocks nor fails the run.
    EXPECT_EQ(run("exit 0", big).status, 0);
}

TEST_F(CommandRunTest, OutputPastTheLimitIsReadAndDropped) {
    auto capped = run("head -c 1000000 /dev/zero; echo tail >&2", std::nullopt, 1000);
    EXPECT_EQ(capped.status, 0);
    EXPECT_EQ(capped.out.text(), std::string(1000, '\0'));
    EXPECT_EQ(capped.err.text(), "tail\n");
    EXPECT_TRUE(capped.truncated);
    EXPECT_FALSE(run("printf 12345", std::nullopt, 5).truncated);
}

TEST_F(CommandRunTest, TimeoutEndsEverythingTheCommandStarted) {
    const std::string escapes = "(trap '' HUP TERM; exec sleep 3141) & "
                                "setsid sleep 3142 & "
                                "(sleep 3143 &) ; "
                                "nohup sleep 3144 >/dev/null 2>&1 & "
                                "echo started; exec sleep 3145";
    // A loaded machine may not reach the echo within a short timeout; each try must still
    // end everything, and a longer one must also bring back the partial output.
    std::string out;
    for (auto timeout : {500ms, 2000ms, 8000ms, 32000ms}) {
        auto began = Clock::now();
        auto timed = run(escapes, std::nullopt, std::nullopt, Clock::now() + timeout);
        EXPECT_GE(Clock::now() - began, timeout);
        EXPECT_TRUE(timed.timed_out);
        EXPECT_EQ(timed.status, -SIGKILL);
        for (int n = 3141; n <= 3145; ++n) {
            EXPECT_TRUE(
                processes_running(std::string("sleep", 6) + std::to_string(n) + '\0').empty())
                << n;
        }
        out = timed.out.text();
        if (!out.empty()) {
            break;
        }
    }
    EXPECT_EQ(out, "started\n");
}

TEST_F(CommandRunTest, BackgroundJobsEndWithTheCommand) {
    // The command's end ends its namespace, and with it the job holding the pipe.
    auto ended = run("sleep 3146 & echo done");
    EXPECT_EQ(ended.out.text(), "done\n");
    EXPECT_FALSE(ended.timed_out);
    EXPECT_TRUE(processes_running(std::string("sleep", 6) + "3146" + '\0').empty());
}

} // namespace
