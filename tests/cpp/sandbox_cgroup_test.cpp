#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sandbox/cgroup.hpp"
#include "sandbox/spawner.hpp"

namespace {

using namespace std::chrono_literals;
using ovaline::sandbox::CgroupHost;
using ovaline::sandbox::CgroupLimits;
using ovaline::sandbox::CgroupVersion;
using ovaline::sandbox::plan_cgroups;
using ovaline::sandbox::run_in_child;
using ovaline::sandbox::SessionCgroup;
namespace fs = std::filesystem;

constexpr std::uint64_t mib = 1 << 20;

// A made-up host: cgroup mounts described by a mountinfo file, as plain directories.
class FakeHost {
  public:
    FakeHost() {
        char dir[] = "/tmp/ovaline-cgroup-XXXXXX";
        root_ = ::mkdtemp(dir);
    }
    ~FakeHost() { fs::remove_all(root_); }

    // `mounts`: "<type> <options> <root> <point> <superoptions>" per line, the point
    // relative to the fake root; `self` is written as it is. Each mount holds the
    // directory "job", where the cases put this process.
    CgroupHost write(const std::vector<std::string>& mounts, const std::string& self,
                     const std::string& unified_controllers) {
        std::ofstream info(root_ + "/mountinfo");
        int id = 30;
        for (const std::string& line : mounts) {
            std::istringstream in(line);
            std::string type, root, point, options, super;
            in >> type >> options >> root >> point >> super;
            fs::create_directories(root_ + point + "/job");
            if (type == "cgroup2") {
                std::ofstream(root_ + point + "/job/cgroup.controllers") << unified_controllers;
            }
            ++id;
            info << id << " 25 0:" << id << " " << root << " " << root_ + point << " " << options
                 << " shared:1 - " << type << " cgroup " << super << "\n";
        }
        std::ofstream(root_ + "/cgroup") << self;
        return CgroupHost{root_ + "/mountinfo", root_ + "/cgroup"};
    }

    const std::string& root() const { return root_; }

  private:
    std::string root_;
};

struct PlanCase {
    const char* name;
    std::vector<std::string> mounts;
    std::string self;
    std::string unified_controllers;
    CgroupLimits limits;
    // The version and, relative to the fake root, each base with its controllers; or
    // part of the failure's message.
    std::optional<CgroupVersion> version;
    std::vector<std::pair<std::string, std::vector<std::string>>> bases;
    std::string failure;
};

const std::string hybrid_self = "4:memory:/job\n3:pids:/job\n2:cpu,cpuacct:/job\n0::/job\n";
const std::vector<std::string> hybrid = {
    "cgroup rw,relatime / /memory rw,memory", "cgroup rw,relatime / /pids rw,pids",
    "cgroup rw,relatime / /cpu rw,cpu,cpuacct", "cgroup2 rw,relatime / /unified rw"};

const PlanCase plan_cases[] = {
    {"unified with every controller",
     hybrid,
     hybrid_self,
     "cpuset cpu io memory pids",
     CgroupLimits{64 * mib, 10, 0.5},
     CgroupVersion::v2,
     {{"/unified/job", {"memory", "pids", "cpu"}}},
     ""},
    {"unified without controllers, as in a hybrid setup",
     hybrid,
     hybrid_self,
     "hugetlb",
     CgroupLimits{64 * mib, 10, std::nullopt},
     CgroupVersion::v1,
     {{"/memory/job", {"memory"}}, {"/pids/job", {"pids"}}, {"/cpu/job", {"cpu", "cpuacct"}}},
     ""},
    {"read-only unified",
     {"cgroup rw / /memory rw,memory", "cgroup2 ro / /unified ro"},
     "4:memory:/job\n0::/job\n",
     "memory pids cpu",
     CgroupLimits{64 * mib, {}, {}},
     CgroupVersion::v1,
     {{"/memory/job", {"memory"}}},
     ""},
    {"without limits, the one with more figures",
     hybrid,
     hybrid_self,
     "memory pids",
     CgroupLimits{},
     CgroupVersion::v1,
     {{"/memory/job", {"memory"}}, {"/pids/job", {"pids"}}, {"/cpu/job", {"cpu", "cpuacct"}}},
     ""},
    {"a limit that neither version offers",
     {"cgroup rw / /memory rw,memory"},
     "4:memory:/job\n",
     "",
     CgroupLimits{64 * mib, {}, 1.0},
     std::nullopt,
     {},
     "offers the cpu controller"},
    {"a mount of part of the hierarchy",
     {"cgroup2 rw /sessions /unified rw"},
     "0::/sessions/job\n",
     "memory pids cpu",
     CgroupLimits{{}, 5, {}},
     CgroupVersion::v2,
     {{"/unified/job", {"memory", "pids", "cpu"}}},
     ""},
};

TEST(CgroupPlan, ChoosesTheVersionThatCarriesTheLimits) {
    for (const PlanCase& c : plan_cases) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        auto plan = plan_cgroups(c.limits, host.write(c.mounts, c.self, c.unified_controllers));
        if (!c.version) {
            ASSERT_FALSE(plan);
            EXPECT_NE(plan.error().message.find(c.failure), std::string::npos)
                << plan.error().message;
            continue;
        }
        ASSERT_TRUE(plan) << plan.error().message;
        EXPECT_EQ(plan->version, *c.version);
        std::vector<std::pair<std::string, std::vector<std::string>>> bases;
        for (const auto& h : plan->hierarchies) {
            bases.emplace_back(h.base.substr(host.root().size()), h.controllers);
        }
        EXPECT_EQ(bases, c.bases);
    }
}

TEST(CgroupPlan, AFailedCreationLeavesNothing) {
    FakeHost fake;
    // Plain directories take no cgroup files: the cgroup cannot be joined.
    CgroupHost host = fake.write({"cgroup rw / /memory rw,memory"}, "4:memory:/\n", "");
    auto made = SessionCgroup::create("failing", CgroupLimits{64 * mib, {}, {}}, host);
    ASSERT_FALSE(made);
    EXPECT_NE(made.error().message.find("cgroup.procs"), std::string::npos);
    EXPECT_FALSE(fs::exists(fake.root() + "/memory/ovaline"));
}

// The real hierarchies: needs root and a writable cgroup filesystem.
class CgroupTest : public testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "cgroups need root";
        }
    }

    // A cgroup for this test, or none when this host has no hierarchy for `limits`.
    std::optional<SessionCgroup> make(const CgroupLimits& limits) {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        auto made = SessionCgroup::create(name, limits);
        if (!made && made.error().error == ENOENT) {
            return std::nullopt;
        }
        EXPECT_TRUE(made) << made.error().message;
        return made ? std::optional(std::move(*made)) : std::nullopt;
    }
};

#define MAKE_OR_SKIP(var, limits)                                                                  \
    auto var = make(limits);                                                                       \
    if (!var) {                                                                                    \
        GTEST_SKIP() << "no cgroup hierarchy for these limits";                                    \
    }

TEST_F(CgroupTest, MemoryLimitEndsAnAllocationAndIsReported) {
    MAKE_OR_SKIP(cgroup, (CgroupLimits{32 * mib, {}, {}}));
    auto status = run_in_child([&] {
        if (cgroup->join() != 0) {
            return 1;
        }
        std::size_t size = 256 * mib;
        void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) {
            return 2;
        }
        std::memset(memory, 1, size);
        return 0;
    });
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, -SIGKILL);
    EXPECT_GE(cgroup->oom_kills().value_or(0), 1u);
    auto peak = cgroup->peak_memory();
    ASSERT_TRUE(peak);
    EXPECT_GT(*peak, 16 * mib);
    EXPECT_LE(*peak, 32 * mib);
}

TEST_F(CgroupTest, ProcessLimitRefusesForksPastIt) {
    MAKE_OR_SKIP(cgroup, (CgroupLimits{{}, 6, {}}));
    // The child's exit code: how many of its forks succeeded; each child waits for its
    // parent to end it.
    auto status = run_in_child([&] {
        if (cgroup->join() != 0) {
            return 100;
        }
        pid_t children[20];
        int made = 0;
        int refused = 0;
        for (int i = 0; i < 20; ++i) {
            long pid = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
            if (pid == 0) {
                ::pause();
                ::_exit(0);
            }
            if (pid > 0) {
                children[made++] = static_cast<pid_t>(pid);
            } else if (errno == EAGAIN) {
                ++refused;
            }
        }
        for (int i = 0; i < made; ++i) {
            ::kill(children[i], SIGKILL);
            ::waitpid(children[i], nullptr, 0);
        }
        return made + refused == 20 ? made : 101;
    });
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 5);
}

// Spins until the calling process has used `cpu` of CPU time or `wall` has passed.
void spin(std::chrono::nanoseconds cpu, std::chrono::nanoseconds wall) {
    auto now = [](clockid_t clock) {
        timespec ts{};
        ::clock_gettime(clock, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    };
    auto start = now(CLOCK_MONOTONIC);
    while (now(CLOCK_PROCESS_CPUTIME_ID) < cpu && now(CLOCK_MONOTONIC) - start < wall) {
    }
}

TEST_F(CgroupTest, CpuTimeIsCountedAndLimited) {
    struct Case {
        std::optional<double> cores;
        std::chrono::nanoseconds at_least, at_most;
    };
    // A tenth of a core over half a second of wall time gets about 50ms: five periods'
    // quota, one more for rounding. Without a limit, the child spins until it used 50ms.
    for (const Case& c : {Case{std::nullopt, 50ms, 10s}, Case{0.1, 1ms, 200ms}}) {
        SCOPED_TRACE(c.cores ? "limited" : "unlimited");
        MAKE_OR_SKIP(cgroup, (CgroupLimits{{}, {}, c.cores}));
        auto status = run_in_child([&] {
            if (cgroup->join() != 0) {
                return 1;
            }
            spin(c.cores ? 10s : 50ms, c.cores ? 500ms : 60s);
            return 0;
        });
        ASSERT_EQ(status, 0);
        auto used = cgroup->cpu_time();
        ASSERT_TRUE(used);
        EXPECT_GE(*used, c.at_least);
        EXPECT_LE(*used, c.at_most);
    }
}

bool wait_for(const std::function<bool()>& done) {
    for (auto until = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(5ms)) {
        if (done()) {
            return true;
        }
    }
    return done();
}

TEST_F(CgroupTest, KillAllEndsAForkingTreeAndRemovalLeavesNothing) {
    for (bool own_namespace : {false, true}) {
        SCOPED_TRACE(own_namespace ? "in a PID namespace" : "as a plain child");
        MAKE_OR_SKIP(cgroup, (CgroupLimits{{}, 64, {}}));
        ovaline::sandbox::ProgramLaunch launch;
        launch.path = "/bin/sh";
        // Eight subshells with two sleepers each, and one that never stops forking.
        launch.args = {"-c", "for i in 1 2 3 4 5 6 7 8; do (sleep 300 & sleep 300 & wait) & done;"
                             "(while :; do /bin/true; done) & wait"};
        launch.env = {"PATH=/usr/bin:/bin"};
        launch.own_pid_namespace = own_namespace;
        launch.cgroup = &*cgroup;
        auto started = ovaline::sandbox::spawn(launch);
        ASSERT_TRUE(started) << std::strerror(started.error());
        // The sleepers and shells, the forking loop, and the init where there is one.
        std::size_t expected = 1 + 8 * 3 + 1 + (own_namespace ? 1 : 0);
        bool grown = wait_for([&] { return cgroup->processes().value().size() >= expected; });
        auto listed = cgroup->processes().value();
        if (!grown) {
            // Not inside: the cgroup could not end it.
            ::kill(started->pid, SIGKILL);
            ::waitpid(started->pid, nullptr, 0);
            FAIL() << listed.size();
        }
        EXPECT_NE(std::ranges::find(listed, started->pid), listed.end());

        auto killed = cgroup->kill_all();
        EXPECT_TRUE(killed) << killed.error().message;
        int raw = 0;
        if (!wait_for([&] { return ::waitpid(started->pid, &raw, WNOHANG) == started->pid; })) {
            ::kill(started->pid, SIGKILL);
            ::waitpid(started->pid, nullptr, 0);
            FAIL() << "the kill did not end the program";
        }
        EXPECT_TRUE(WIFSIGNALED(raw));

        auto directories = cgroup->directories();
        auto removed = cgroup->remove();
        EXPECT_TRUE(removed) << removed.error().message;
        for (const std::string& dir : directories) {
            EXPECT_FALSE(fs::exists(dir)) << dir;
        }
        EXPECT_TRUE(cgroup->remove());
    }
}

TEST_F(CgroupTest, SweepRemovesWhatDeadOwnersLeft) {
    MAKE_OR_SKIP(cgroup, (CgroupLimits{}));
    // A pid that names no process any more.
    pid_t dead = 0;
    ASSERT_TRUE(run_in_child([&] { return 0; }));
    for (dead = ::getpid() + 1; ::kill(dead, 0) == 0 || errno != ESRCH; ++dead) {
    }
    std::vector<std::string> leftovers;
    for (const std::string& dir : cgroup->directories()) {
        leftovers.push_back(fs::path(dir).parent_path() / (std::to_string(dead) + "-left"));
        ASSERT_EQ(::mkdir(leftovers.back().c_str(), 0755), 0) << std::strerror(errno);
    }
    EXPECT_GE(SessionCgroup::sweep(), leftovers.size());
    for (const std::string& dir : leftovers) {
        EXPECT_FALSE(fs::exists(dir)) << dir;
    }
    // This process's own is not touched.
    for (const std::string& dir : cgroup->directories()) {
        EXPECT_TRUE(fs::exists(dir)) << dir;
    }
}

} // namespace
