#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox/private_root.hpp"
#include "sandbox/spawner.hpp"

namespace {

namespace sb = ovaline::sandbox;
namespace fs = std::filesystem;

// Runs `script` under /bin/sh in a private root; its standard output and exit status.
std::pair<std::string, int> run_inside(const sb::RootPlan& plan, const std::string& script) {
    auto pipe = sb::make_pipe();
    EXPECT_TRUE(pipe);
    sb::ProgramLaunch launch;
    launch.path = "/bin/sh";
    launch.args = {"-c", script};
    launch.env = {"PATH=/usr/bin:/bin"};
    launch.streams[1] = pipe->write.get();
    launch.own_pid_namespace = true;
    launch.root = &plan;
    auto started = sb::spawn(launch);
    EXPECT_TRUE(started) << (started ? 0 : started.error());
    pipe->write.reset();
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe->read.get(), buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    int raw = 0;
    ::waitpid(started->pid, &raw, 0);
    return {out, sb::exit_status(*started, raw)};
}

class PrivateRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "building a root needs root";
        }
        host_ = fs::temp_directory_path() / ("ovaline-root-test-" + std::to_string(::getpid()));
        fs::create_directories(host_ / "staging");
        fs::create_directories(host_ / "writable");
        fs::create_directories(host_ / "shared");
        std::ofstream(host_ / "shared" / "seen") << "from the host\n";
    }
    void TearDown() override {
        if (!host_.empty()) {
            fs::remove_all(host_);
        }
    }
    sb::RootPlan plan() {
        auto made = sb::RootPlan::make(
            sb::RootOptions{(host_ / "staging").string(),
                            {{(host_ / "writable").string(), "/tmp/work", true},
                             {(host_ / "shared").string(), "/srv/shared", false}},
                            "tenant"});
        EXPECT_TRUE(made) << (made ? "" : made.error());
        return *made;
    }
    fs::path host_;
};

TEST_F(PrivateRoot, ShowsOnlyProgramsConfigurationAndTheBinds) {
    const auto [out, status] = run_inside(plan(), R"(
        ls /; echo --; ls /dev; echo --
        for p in /work /root /home /opt /run /etc/hostname /etc/machine-id /etc/ssh; do
            test -e $p && echo "visible $p"; done
        uname -n; cat /srv/shared/seen
        echo kept > /tmp/work/out && echo wrote
        for p in /usr/x /etc/x /x /dev/x /srv/shared/x; do
            touch $p 2>/dev/null && echo "writable $p"; done
        echo x > /dev/null && echo null
        set -- /proc/[0-9]*; echo $#
    )");
    EXPECT_EQ(status, 0);
    std::string top;
    for (const char* place : {"bin", "dev", "etc", "lib", "lib32", "lib64", "libx32", "proc",
                              "sbin", "srv", "tmp", "usr", "var"}) {
        if (fs::exists(fs::path("/") / place) || fs::is_symlink(fs::path("/") / place)) {
            top += std::string(place) + "\n";
        }
    }
    std::string devices;
    // Every name the root makes itself, and the devices the host has.
    for (const char* device : {"fd", "full", "null", "ptmx", "pts", "random", "shm", "stderr",
                               "stdin", "stdout", "tty", "urandom", "zero"}) {
        if (std::string_view("fd ptmx pts shm stderr stdin stdout").find(device) !=
                std::string_view::npos ||
            fs::exists(fs::path("/dev") / device)) {
            devices += std::string(device) + "\n";
        }
    }
    // The last figure counts the init and the shell: no process of the host.
    EXPECT_EQ(out, top + "--\n" + devices + "--\ntenant\nfrom the host\nwrote\nnull\n2\n");
    std::ifstream written(host_ / "writable" / "out");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(written)), {}), "kept\n");
}

TEST_F(PrivateRoot, MissingOrRelativePathsAreRefusedBeforeAnythingStarts) {
    for (const sb::Bind& bind :
         {sb::Bind{"/nonexistent/ovaline", "/x"}, sb::Bind{"/usr", "relative"}}) {
        auto made = sb::RootPlan::make(sb::RootOptions{(host_ / "staging").string(), {bind}, ""});
        ASSERT_FALSE(made);
        EXPECT_NE(made.error().find(bind.source == "/usr" ? "relative" : "/nonexistent"),
                  std::string::npos);
    }
    EXPECT_FALSE(sb::RootPlan::make(sb::RootOptions{"staging", {}, ""}));
}

} // namespace
