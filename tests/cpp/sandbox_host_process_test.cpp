#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sandbox/host_process.hpp"

namespace {

using ovaline::sandbox::run_program;

TEST(HostProcess, ArgumentsReachTheProgramUnexpanded) {
    const std::vector<std::string> args = {"a  b", "$HOME", "*", "x;y"};
    auto result = run_program("echo", args);
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result->exit_code, 0);
    EXPECT_EQ(result->out, "a  b $HOME * x;y\n");
    EXPECT_EQ(result->err, "");
}

TEST(HostProcess, StandardInputIsTheNullDevice) {
    auto result = run_program("cat", {});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exit_code, 0);
    EXPECT_EQ(result->out, "");
}

TEST(HostProcess, ExitStatusAndStandardErrorAreCaptured) {
    const std::vector<std::string> args = {"/nonexistent/ovaline"};
    auto result = run_program("ls", args);
    ASSERT_TRUE(result);
    EXPECT_NE(result->exit_code, 0);
    EXPECT_NE(result->err.find("/nonexistent/ovaline"), std::string::npos);
    EXPECT_EQ(result->out, "");
}

TEST(HostProcess, OutputLargerThanAPipeIsCapturedWhole) {
    const std::vector<std::string> args = {"-c", "1000000", "/dev/zero"};
    auto result = run_program("head", args);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->out.size(), 1000000u);
}

TEST(HostProcess, MissingProgramIsAnError) {
    EXPECT_FALSE(run_program("ovaline-no-such-program", {}));
}

} // namespace
