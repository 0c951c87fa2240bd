#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sandbox/persistent_shell.hpp"

namespace {

namespace sb = ovaline::sandbox;
using namespace std::chrono_literals;

std::unique_ptr<sb::PersistentShell> start_shell() {
    sb::ProgramLaunch launch;
    launch.path = "/bin/bash";
    launch.args = {"--noprofile", "--norc", "-s"};
    launch.env = {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8"};
    auto shell = sb::PersistentShell::start(launch);
    EXPECT_TRUE(shell) << (shell ? "" : shell.error());
    return std::move(*shell);
}

sb::RunOutcome run(sb::PersistentShell& shell, std::string_view command,
                   sb::Deadline deadline = std::nullopt,
                   std::optional<std::size_t> max_output = std::nullopt) {
    auto outcome = shell.execute(command, deadline, max_output);
    EXPECT_TRUE(outcome) << command << ": " << (outcome ? "" : outcome.error().message);
    return outcome ? std::move(*outcome) : sb::RunOutcome{};
}

TEST(PersistentShell, StateCarriesOverAndStreamsArriveExactlyAsWritten) {
    auto shell = start_shell();
    struct Case {
        std::string_view command;
        std::string out;
        std::string err; // unchecked when empty
        int status;
    };
    const Case cases[] = {
        {"cd /tmp && X=1 && f() { echo \"f:$1\"; } && alias ll='echo alias'", "", "", 0},
        {"shopt -s expand_aliases", "", "", 0},
        {"pwd; echo $X; f 'a b'; ll", "/tmp\n1\nf:a b\nalias\n", "", 0},
        // Bytes a marker protocol would trip on, and no newline at the end.
        {"printf 'a\\0b\\n__ovaline_run 0\\n'; printf 'é\\x01' >&2; false",
         std::string("a\0b\n__ovaline_run 0\n", 20), "é\x01", 1},
        {"echo $'quote\\' \"dq\" $HOME' ; (exit 7)", "quote' \"dq\" $HOME\n", "", 7},
        {"cat; read line; echo \"read:$?\"", "read:1\n", "", 0},
        {"echo 'unterminated", "", "", 2},
        {"echo 3 >&3", "", "", 1},
    };
    for (const Case& c : cases) {
        const auto outcome = run(*shell, c.command);
        EXPECT_EQ(outcome.out.text(), c.out) << c.command;
        if (!c.err.empty()) {
            EXPECT_EQ(outcome.err.text(), c.err) << c.command;
        }
        EXPECT_EQ(outcome.status, c.status) << c.command;
        EXPECT_FALSE(outcome.timed_out);
    }
}

TEST(PersistentShell, ATimeoutEndsWhatTheCommandStartedAndKeepsTheShell) {
    auto shell = start_shell();
    run(*shell, "cd /tmp; Y=kept");
    for (std::string_view command :
         {"sleep 1234", "while :; do :; done", "(setsid sleep 1234 &); sleep 1234"}) {
        const auto outcome = run(*shell, command, sb::Clock::now() + 200ms);
        EXPECT_TRUE(outcome.timed_out) << command;
        EXPECT_EQ(outcome.status, 124) << command;
        const auto after = run(*shell, "pwd; echo $Y; pgrep -f '^sleep 1234'");
        EXPECT_EQ(after.out.text(), "/tmp\nkept\n") << command;
    }
}

TEST(PersistentShell, ExitEndsTheShellAndOutputPastTheCapIsDropped) {
    auto shell = start_shell();
    const auto capped = run(*shell, "head -c 100000 /dev/zero; echo err >&2", std::nullopt, 1000);
    EXPECT_EQ(capped.out.size, 1000u);
    EXPECT_TRUE(capped.truncated);
    EXPECT_EQ(capped.err.text(), "err\n");
    auto ended = shell->execute("exit 3", std::nullopt, std::nullopt);
    ASSERT_FALSE(ended);
    EXPECT_EQ(ended.error().status, 3);
    EXPECT_FALSE(shell->alive());
    EXPECT_FALSE(shell->execute("true", std::nullopt, std::nullopt));
}

} // namespace
