#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sandbox/account_processes.hpp"
#include "sandbox/shell_process.hpp"

namespace {

using namespace std::chrono_literals;
using ovaline::sandbox::Clock;
using ovaline::sandbox::find_program;
using ovaline::sandbox::ShellFailure;
using ovaline::sandbox::ShellProcess;
using Stream = ShellProcess::Stream;

std::unique_ptr<ShellProcess> start(const std::string& program, std::vector<std::string> args,
                                    std::vector<std::string> env = {}) {
    auto path = find_program(program);
    EXPECT_TRUE(path) << program;
    ovaline::sandbox::ProgramLaunch launch;
    launch.path = *path;
    launch.args = std::move(args);
    launch.env = std::move(env);
    auto process = ShellProcess::start(std::move(launch));
    EXPECT_TRUE(process) << process.error();
    return std::move(*process);
}

std::string read_all(ShellProcess& process, Stream stream = Stream::Output) {
    std::string out;
    char buffer[256];
    for (;;) {
        auto n = process.read(stream, buffer, Clock::now() + 10s);
        if (!n || *n == 0) {
            return out;
        }
        out.append(buffer, *n);
    }
}

// Writing to a shell that has gone must fail, not end the test process.
class ShellProcessTest : public testing::Test {
  protected:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};

TEST_F(ShellProcessTest, ProgramGetsExactlyItsArgumentsEnvironmentAndThreeDescriptors) {
    auto env = start("env", {}, {"A=1", "B=two words"});
    EXPECT_EQ(read_all(*env), "A=1\nB=two words\n");
    EXPECT_EQ(env->wait(std::nullopt), 0);

    auto fds = start("ls", {"/proc/self/fd"});
    // 3 is the directory ls itself reads.
    EXPECT_EQ(read_all(*fds), "0\n1\n2\n3\n");

    auto sh = start("sh", {"-c", "echo \"$1\" >&2", "sh", "$HOME *"});
    EXPECT_EQ(read_all(*sh, Stream::Error), "$HOME *\n");
}

TEST_F(ShellProcessTest, WriteAndReadRoundTrip) {
    auto cat = start("cat", {});
    std::string text(200000, 'x');
    std::span<const char> rest(text);
    std::thread writer([&] { EXPECT_TRUE(cat->write(rest)); });
    std::string seen;
    char buffer[4096];
    while (seen.size() < text.size()) {
        auto n = cat->read(Stream::Output, buffer, Clock::now() + 10s);
        ASSERT_TRUE(n && *n > 0);
        seen.append(buffer, *n);
    }
    writer.join();
    EXPECT_TRUE(rest.empty());
    EXPECT_EQ(seen, text);
}

TEST_F(ShellProcessTest, ReadTimesOutAndEmptyBufferReturnsAtOnce) {
    auto sleeper = start("sleep", {"30"});
    char buffer[16];
    auto began = Clock::now();
    auto n = sleeper->read(Stream::Output, buffer, Clock::now() + 100ms);
    ASSERT_FALSE(n);
    EXPECT_EQ(n.error(), ShellFailure::TimedOut);
    EXPECT_GE(Clock::now() - began, 100ms);
    EXPECT_EQ(sleeper->read(Stream::Error, std::span<char>(), std::nullopt), 0u);
    EXPECT_EQ(sleeper->wait(Clock::now() + 50ms).error(), ShellFailure::TimedOut);
    EXPECT_EQ(sleeper->poll(), std::nullopt);
    sleeper->terminate();
    EXPECT_EQ(sleeper->poll(), -SIGKILL);
    EXPECT_EQ(sleeper->wait(std::nullopt), -SIGKILL);
}

TEST_F(ShellProcessTest, ShutDownEndsPendingCallsAndWriteNeverWaitsBehindARead) {
    auto cat = start("cat", {});
    std::atomic<int> closed{0};
    std::vector<std::thread> readers;
    for (auto stream : {Stream::Output, Stream::Error}) {
        readers.emplace_back([&, stream] {
            char buffer[16];
            auto n = cat->read(stream, buffer, std::nullopt);
            closed += !n && n.error() == ShellFailure::Closed;
        });
    }
    std::this_thread::sleep_for(50ms);
    // The readers are waiting on both pipes; a write still goes through.
    std::string line = "ping\n";
    std::span<const char> rest(line);
    ASSERT_TRUE(cat->write(rest));

    auto began = Clock::now();
    EXPECT_TRUE(cat->shut_down());
    EXPECT_FALSE(cat->shut_down());
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_LT(Clock::now() - began, 1s);
    // The output reader may have taken "ping" before the wake-up.
    EXPECT_GE(closed.load(), 1);
    char buffer[16];
    EXPECT_EQ(cat->read(Stream::Output, buffer, std::nullopt).error(), ShellFailure::Closed);
    EXPECT_EQ(cat->write(rest).error(), ShellFailure::Closed);
    // Shutting down leaves the program running until it is terminated.
    EXPECT_EQ(cat->poll(), std::nullopt);
    cat->terminate();
    EXPECT_EQ(cat->poll(), -SIGKILL);
}

TEST_F(ShellProcessTest, ExitStatusIsKeptThroughTerminate) {
    auto three = start("sh", {"-c", "exit 3"});
    EXPECT_EQ(three->wait(Clock::now() + 10s), 3);
    EXPECT_EQ(three->poll(), 3);
    three->terminate();
    EXPECT_EQ(three->poll(), 3);

    auto quick = start("sh", {"-c", "sleep 0.1; exit 4"});
    ASSERT_TRUE(quick->wait(Clock::now() + 10s));
    quick->terminate();
    EXPECT_EQ(quick->poll(), 4);
}

TEST_F(ShellProcessTest, SignalInterruptsAWait) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction old {};
    ::sigaction(SIGUSR1, &action, &old);
    auto sleeper = start("sleep", {"30"});
    std::atomic<bool> interrupted{false};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char buffer[16];
        auto n = sleeper->read(Stream::Output, buffer, Clock::now() + 10s);
        interrupted = !n && n.error() == ShellFailure::Interrupted;
        done = true;
    });
    // A signal that comes before the reader waits is lost, so it comes again until the
    // wait has ended.
    while (!done) {
        ::pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
    }
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(interrupted);
}

TEST_F(ShellProcessTest, ProgramsAreFoundThroughThePath) {
    auto sh = find_program("sh");
    ASSERT_TRUE(sh);
    EXPECT_EQ(sh->front(), '/');
    EXPECT_EQ(find_program("ovaline-no-such-program").error(), ENOENT);
    ovaline::sandbox::ProgramLaunch missing;
    missing.path = "/nonexistent/ovaline";
    EXPECT_FALSE(ShellProcess::start(missing));
}

// Runs `sleep 30` as `uid` in a child of ours and returns its pid.
pid_t sleep_as(std::uint32_t uid) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::syscall(SYS_setresuid, uid, uid, uid) == 0) {
            ::execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    return pid;
}

TEST(AccountProcesses, EveryProcessOfTheUidIsEnded) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "taking on another uid needs root";
    }
    // An id no account uses, so nothing but this test runs under it.
    const std::uint32_t uid = 64000 + static_cast<std::uint32_t>(::getpid() % 1000);
    std::vector<pid_t> children = {sleep_as(uid), sleep_as(uid)};
    while (ovaline::sandbox::account_processes(uid).size() < children.size()) {
        std::this_thread::sleep_for(1ms);
    }
    auto killed = ovaline::sandbox::kill_account_processes(uid);
    ASSERT_TRUE(killed) << killed.error();
    EXPECT_TRUE(ovaline::sandbox::account_processes(uid).empty());
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
}

TEST(AccountProcesses, RootIsNeverTheTarget) {
    auto refused = ovaline::sandbox::kill_account_processes(0);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Refusing to end the processes of uid 0");
}

} // namespace
