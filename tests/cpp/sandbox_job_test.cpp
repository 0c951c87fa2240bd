#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <poll.h>
#include <string>

#include "sandbox/job.hpp"

namespace {

namespace sb = ovaline::sandbox;
using namespace std::chrono_literals;
using Stream = sb::Job::Stream;

std::shared_ptr<sb::Job> start(const std::string& script, std::optional<std::size_t> max = {}) {
    ::signal(SIGPIPE, SIG_IGN);
    sb::ProgramLaunch launch;
    launch.path = "/bin/sh";
    launch.args = {"-c", script};
    launch.env = {"PATH=/usr/bin:/bin"};
    auto job = sb::Job::start(launch, max);
    EXPECT_TRUE(job) << (job ? 0 : job.error());
    return *job;
}

std::string drain(sb::Job& job, Stream stream) {
    std::string all;
    for (;;) {
        auto piece = job.next(stream, sb::Clock::now() + 10s);
        EXPECT_TRUE(piece);
        if (!piece || !*piece) {
            return all;
        }
        all += **piece;
    }
}

// Reads output until it has `expected`'s length.
std::string drain_some(sb::Job& job, const std::string& expected) {
    std::string all;
    while (all.size() < expected.size()) {
        auto piece = job.next(Stream::Output, sb::Clock::now() + 10s);
        if (!piece || !*piece) {
            break;
        }
        all += **piece;
    }
    return all;
}

TEST(Job, InputGoesInAndOutputComesOutAsItIsWritten) {
    auto job = start("while read line; do echo \"got $line\"; echo \"err $line\" >&2; done");
    EXPECT_GT(job->pid(), 0);
    const std::string first = "one\n";
    ASSERT_TRUE(job->write(first, std::nullopt));
    auto piece = job->next(Stream::Output, sb::Clock::now() + 10s);
    ASSERT_TRUE(piece && *piece);
    EXPECT_EQ(**piece, "got one\n");
    // The event loop's way in: a notifier is readable once something changed.
    auto notifier = job->subscribe();
    ASSERT_TRUE(notifier);
    ASSERT_TRUE(job->write(std::string("ping\n"), std::nullopt));
    pollfd ready = {*notifier, POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 10000), 1);
    job->unsubscribe(*notifier);
    EXPECT_EQ(drain_some(*job, "got ping\n"), "got ping\n");
    EXPECT_FALSE(job->poll());
    ASSERT_TRUE(job->write(std::string("two\n"), std::nullopt));
    job->close_input();
    EXPECT_EQ(drain(*job, Stream::Output), "got two\n");
    auto outcome = job->wait(std::nullopt);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->status, 0);
    EXPECT_EQ(outcome->out.text(), "");
    EXPECT_EQ(outcome->err.text(), "err one\nerr ping\nerr two\n");
    EXPECT_FALSE(job->write(std::string("late\n"), std::nullopt));
}

TEST(Job, AReaderThatStopsNeverBlocksTheJob) {
    auto job = start("head -c 5000000 /dev/zero; echo done >&2", 1000);
    auto outcome = job->wait(sb::Clock::now() + 30s);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->timed_out);
    EXPECT_EQ(outcome->out.size, 1000u);
    EXPECT_TRUE(outcome->truncated);
    EXPECT_EQ(job->dropped(Stream::Output), 5000000u - 1000u);
    EXPECT_EQ(outcome->err.text(), "done\n");
}

TEST(Job, SignalsAndDeadlinesEndIt) {
    auto job = start("exec sleep 100");
    job->signal(SIGTERM);
    auto ended = job->wait(sb::Clock::now() + 30s);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, -SIGTERM);
    EXPECT_FALSE(ended->timed_out);
    auto stuck = start("trap '' TERM; sleep 100 & wait");
    auto timed = stuck->wait(sb::Clock::now() + 200ms);
    ASSERT_TRUE(timed);
    EXPECT_TRUE(timed->timed_out);
    EXPECT_EQ(stuck->poll(), timed->status);
}

} // namespace

namespace {

TEST(Job, GivenInputIsReadAtTheProgramsPaceAndStartNeverWaits) {
    // Far more than a pipe holds: starting must not wait for the program to read it.
    const std::string big(4 << 20, 'x');
    sb::ProgramLaunch launch;
    launch.path = "/bin/sh";
    launch.args = {"-c", "sleep 0.2; wc -c"};
    launch.env = {"PATH=/usr/bin:/bin"};
    auto job = sb::Job::start(launch, std::nullopt, big);
    ASSERT_TRUE(job) << job.error();
    // Its input is not a pipe of ours.
    EXPECT_FALSE((*job)->write(std::string("more"), std::nullopt));
    auto outcome = (*job)->wait(std::nullopt);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE((*job)->finished());
    EXPECT_EQ(outcome->out.text(), std::to_string(big.size()) + "\n");
    EXPECT_EQ(outcome->ended_by, sb::EndedBy::Exit);
    EXPECT_GT(outcome->wall_time, 150ms);
}

TEST(Job, ATimeOutEndsEverythingAndSaysSo) {
    auto job = start("sleep 300 & sleep 301");
    EXPECT_FALSE(job->finished());
    job->time_out();
    auto outcome = job->wait(sb::Clock::now() + 10s);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(job->finished());
    EXPECT_TRUE(outcome->timed_out);
    EXPECT_EQ(outcome->ended_by, sb::EndedBy::Timeout);
    EXPECT_EQ(outcome->status, -SIGKILL);
}

} // namespace
