#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fs/file_handle.hpp"
#include "fs/file_system.hpp"
#include "terminal/simple_terminal.hpp"

using namespace ovaline;
using terminal::CommandResult;
using terminal::SimpleTerminal;

namespace {

// One line and what it must give: output text, or (ok = false) the failure message.
struct Step {
    std::string line;
    bool ok;
    std::string text;
};

Step ok(std::string line, std::string output = "") {
    return {std::move(line), true, output};
}
Step err(std::string line, std::string message) {
    return {std::move(line), false, message};
}

class TerminalTest : public testing::Test {
  protected:
    std::shared_ptr<fs::FileSystem> fs = fs::FileSystem::create();
    SimpleTerminal term{fs};

    void run_steps(const std::vector<Step>& steps) {
        for (const auto& step : steps) {
            const CommandResult result = term.run(step.line);
            ASSERT_EQ(result.has_value(), step.ok)
                << step.line << " -> " << (result ? *result : result.error());
            EXPECT_EQ(result ? *result : result.error(), step.text) << step.line;
        }
    }

    std::string id_of(const std::string& name, fs::InodeId dir = 0) {
        return std::to_string(fs->find_inode_by_name(dir, name).value());
    }

    void write_file(const std::string& name, const std::string& bytes) {
        auto handle = fs::FileSystem::open_raw(fs, fs->find_inode_by_name(0, name).value(),
                                               fs::FileHandleType(fs::FileHandleType::WRITE));
        ASSERT_TRUE(handle);
        ASSERT_TRUE(
            handle->write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
        ASSERT_TRUE(handle->close());
    }
};

} // namespace

TEST_F(TerminalTest, DispatchAndSplitting) {
    run_steps({
        ok(""),
        ok(" \t "),
        ok("# note"),
        err("foo", "foo: command not found"),
        err("CD", "CD: command not found"),
        err("''", ": command not found"),
        err("echo \"abc", "The command was not correctly formatted"),
        err("echo 'abc", "The command was not correctly formatted"),
        err("echo abc\\", "The command was not correctly formatted"),
        // Splitting fails before anything runs.
        err("mkdir x 'y", "The command was not correctly formatted"),
        ok("ls"),
    });
}

TEST_F(TerminalTest, Echo) {
    run_steps({
        ok("echo"),
        ok("echo  a   b", "a b"),
        ok(R"(echo 'a  b' "c\"d" e\ f)", "a  b c\"d e f"),
        ok("echo a#b #c", "a#b"),
        ok("echo '' x ''", " x "),
    });
}

TEST_F(TerminalTest, ListingAndCreation) {
    run_steps({
        ok("pwd", "/"),
        ok("ls"),
        ok("mkdir a"),
        ok("touch f"),
        ok("mkdir b"),
        ok("ls", "f\na/\nb/\n"),
        ok("ls /", "f\na/\nb/\n"),
        err("mkdir a", "mkdir: cannot create directory 'a': Resource already exists"),
        err("touch f", "touch: cannot create file 'f': Resource already exists"),
        err("mkdir a/", "mkdir: cannot create directory 'a/': Resource already exists"),
        err("touch .", "touch: cannot create file '.': Resource already exists"),
        err("mkdir a/b/x", "a/b: Inode not found"),
        err("mkdir", "mkdir: missing argument"),
        err("touch", "touch: missing argument"),
        err("ls nope", "nope: Inode not found"),
        ok("mkdir a/x"),
        ok("ls a", "x/\n"),
    });
    const std::string f = id_of("f");
    run_steps({
        err("ls f", "ls: " + f + ": Not a directory"),
        err("mkdir f/x", "mkdir: " + f + ": Not a directory"),
        err("touch f/x", "touch: " + f + ": Not a directory"),
    });
}

TEST_F(TerminalTest, CreationRelativeToCurrentDirectory) {
    run_steps({
        ok("mkdir a"),
        ok("cd a"),
        ok("mkdir /x"),
        ok("mkdir x"),
        ok("touch \\\\y"),
        ok("ls", "y\nx/\n"),
        ok("ls /", "a/\nx/\n"),
    });
}

TEST_F(TerminalTest, ChangingDirectory) {
    run_steps({
        ok("mkdir a"),
        ok("touch f"),
        ok("cd a"),
        ok("mkdir b"),
        ok("pwd", "/a"),
        ok("cd \"\""),
        ok("cd ."),
        ok("pwd", "/a"),
        ok("cd .."),
        ok("pwd", "/"),
        ok("cd .."),
        ok("pwd", "/"),
        err("cd", "cd: missing argument"),
        err("cd f", "cd: f: Not a directory"),
        err("cd /nope", "cd: cannot access '/nope': nope: Inode not found"),
        err("cd a/b", "cd: cannot access 'a/b': a/b: Inode not found"),
        err("cd //", "cd: cannot access '//': /: Inode not found"),
        ok("cd a"),
        ok("cd b"),
        ok("pwd", "/a/b"),
        ok("cd /"),
        ok("pwd", "/"),
    });
}

TEST_F(TerminalTest, RemovedCurrentDirectoryUntilAbsoluteCd) {
    run_steps({ok("mkdir e"), ok("touch g"), ok("cd e")});
    const std::string e = id_of("e");
    run_steps({
        ok("rm ."),
        err("pwd", "pwd: cannot access '" + e + "': Inode not found"),
        err("ls", "ls: cannot access '" + e + "': Inode not found"),
        err("ls x", "x: Inode not found"),
        err("cd ..", "cd: cannot access '..': ..: Inode not found"),
        err("touch x", "touch: cannot access '" + e + "': Inode not found"),
        ok("cat /g"),
        ok("cd /"),
        ok("pwd", "/"),
        ok("ls", "g\n"),
    });
}

TEST_F(TerminalTest, Cat) {
    run_steps({ok("mkdir a"), ok("touch f"), ok("touch h"), ok("touch bad")});
    write_file("h", "hi\n");
    write_file("bad", "a\xFF"
                      "b\xE2\x82");
    run_steps({
        ok("cat f"),
        ok("cat h", "hi\n"),
        ok("cat /h extra", "hi\n"),
        ok("cat bad", "a\xEF\xBF\xBD"
                      "b\xEF\xBF\xBD"),
        err("cat", "cat: missing argument"),
        err("cat a", "cat: a: Is a directory"),
        err("cat /nope", "nope: Inode not found"),
    });

    auto writer = fs::FileSystem::open_raw(fs, fs->find_inode_by_name(0, "h").value(),
                                           fs::FileHandleType(fs::FileHandleType::WRITE));
    ASSERT_TRUE(writer);
    run_steps({err("cat h", "cat: cannot access 'h': Resource is currently in use")});
    ASSERT_TRUE(writer->close());
    // cat leaves no reader behind: the file can be opened for writing and removed.
    run_steps({ok("cat h", "hi\n"), ok("rm h"), err("cat h", "h: Inode not found")});
}

TEST_F(TerminalTest, Rm) {
    run_steps({
        err("rm", "rm: missing argument"),
        ok("touch f"),
        ok("rm f"),
        err("rm f", "f: Inode not found"),
        err("rm /nope", "nope: Inode not found"),
        ok("mkdir a"),
        ok("mkdir a/b"),
        err("rm a/b", "a/b: Inode not found"),
        err("rm a", "rm: cannot remove 'a': Directory is not empty"),
        ok("rm -r a"),
        ok("mkdir d"),
        ok("touch d/x"),
        ok("rm d -r"),
        ok("mkdir d"),
        ok("touch d/x"),
        ok("rm --recursive d"),
        ok("touch ./-x"),
        ok("ls", "-x\n"),
        ok("rm -- -x"),
        ok("ls"),
    });
}

TEST_F(TerminalTest, RmReportsTheParser) {
    for (const char* line : {"rm -f x", "rm a b", "rm -r", "rm --help", "rm -h", "rm -V"}) {
        const CommandResult result = term.run(line);
        ASSERT_FALSE(result.has_value()) << line;
        EXPECT_TRUE(result.error().starts_with("rm: ")) << result.error();
        EXPECT_NE(result.error().find("ovaline"), std::string::npos) << result.error();
    }
    EXPECT_TRUE(term.run("rm --version").error().starts_with("rm: ovaline 0.2.0"));
    EXPECT_NE(term.run("rm --help").error().find("--recursive"), std::string::npos);
}

TEST_F(TerminalTest, RmRefusesAnOpenFile) {
    run_steps({ok("touch f")});
    auto reader = fs::FileSystem::open_raw(fs, fs->find_inode_by_name(0, "f").value(),
                                           fs::FileHandleType(fs::FileHandleType::READ));
    ASSERT_TRUE(reader);
    run_steps({err("rm f", "rm: cannot remove 'f': Resource is currently in use")});
    ASSERT_TRUE(reader->close());
    run_steps({ok("rm f")});
}

TEST_F(TerminalTest, TerminalsShareTheFilesystemNotTheDirectory) {
    SimpleTerminal other{fs};
    run_steps({ok("mkdir a"), ok("cd a")});
    EXPECT_EQ(other.run("ls"), "a/\n");
    EXPECT_EQ(other.run("pwd"), "/");
    ASSERT_TRUE(other.run("touch a/f"));
    run_steps({ok("ls", "f\n")});
}

TEST(CommandTable, HelpFromRacingThreads) {
    const std::set<std::string> expected{"cd",    "ls",   "pwd", "cat", "mkdir",
                                         "touch", "echo", "rm",  "help"};
    std::vector<std::string> outputs(4);
    std::vector<std::thread> threads;
    for (auto& out : outputs) {
        threads.emplace_back([&out] {
            SimpleTerminal term{fs::FileSystem::create()};
            out = term.run("help").value();
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const auto& out : outputs) {
        ASSERT_TRUE(out.ends_with('\n'));
        std::set<std::string> names;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            names.insert(line);
        }
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 9);
        EXPECT_EQ(names, expected);
    }
}
