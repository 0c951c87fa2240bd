#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/spawner.hpp"

namespace {

using ovaline::sandbox::run_in_child;

TEST(Spawner, ChildTaskEndsReapedWithItsStatus) {
    const pid_t parent = ::getpid();
    // The task runs in another process: it sees its own pid.
    EXPECT_EQ(run_in_child([parent] { return ::getpid() == parent ? 1 : 7; }), 7);
    EXPECT_EQ(run_in_child([] { return ::kill(::getpid(), SIGKILL); }), -SIGKILL);
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
