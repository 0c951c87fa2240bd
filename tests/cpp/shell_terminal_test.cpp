#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fs/file_system.hpp"
#include "shell/shell_terminal.hpp"

using namespace ovaline;
using shell::ShellTerminal;

namespace {

struct Case {
    std::string line;
    int status;
    std::string out;
    // Checked only when not empty.
    std::string err = "";
};

class ShellTest : public testing::Test {
  protected:
    std::shared_ptr<fs::FileSystem> fs = fs::FileSystem::create();
    ShellTerminal shell{fs, ShellTerminal::kDefaultMaxOutput};

    void run_cases(const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            const auto result = shell.run(c.line);
            EXPECT_EQ(result.status, c.status) << c.line << "\nstderr: " << result.err;
            EXPECT_EQ(result.out, c.out) << c.line;
            if (!c.err.empty()) {
                EXPECT_EQ(result.err, c.err) << c.line;
            }
        }
    }
};

TEST_F(ShellTest, OperatorsAndStatus) {
    run_cases({
        {"echo a; echo b", 0, "a\nb\n"},
        {"true && echo yes || echo no", 0, "yes\n"},
        {"false && echo yes || echo no", 0, "no\n"},
        {"false; echo $?", 0, "1\n"},
        {"false || false", 1, ""},
        {"nope; echo $?", 0, "127\n", "nope: command not found\n"},
        {"echo 'a;b' \"c&&d\" e\\|f", 0, "a;b c&&d e|f\n"},
        {"echo a # comment", 0, "a\n"},
        {"", 0, ""},
        {"echo a\necho b", 0, "a\nb\n"},
    });
}

TEST_F(ShellTest, SyntaxErrorsRunNothing) {
    run_cases({
        {"echo a > f; ; echo b", 2, "", "syntax error near unexpected token `;'\n"},
        {"echo a |", 2, "", "syntax error: unexpected end of line\n"},
        {"echo a >", 2, "", "syntax error near unexpected token `newline'\n"},
        {"echo 'a", 2, "", "The command was not correctly formatted\n"},
        {"sleep 1 &", 2, ""},
        {"echo a; <(echo b)", 2, ""},
        {"echo a; for", 2, ""},
    });
    // Nothing of the first line ran.
    EXPECT_FALSE(fs->find_inode_by_name(0, "f"));
}

TEST_F(ShellTest, RedirectionsAndPipes) {
    run_cases({
        {"echo hello > f; cat f", 0, "hello\n"},
        {"echo more >> f; cat < f", 0, "hello\nmore\n"},
        {"echo new > f; cat f", 0, "new\n"},
        {"cat nope 2> err; cat err", 0, "cat: nope: No such file or directory\n"},
        {"cat nope > both 2>&1; cat both", 0, "cat: nope: No such file or directory\n"},
        {"cat nope 2>&1 > out | wc -l", 0, "1\n"},
        {"echo x >&2", 0, "", "x\n"},
        {"nope", 127, ""},
        {"echo b; echo a | sort", 0, "b\na\n"},
        {"echo c b a | cut -d ' ' -f 2,3 | cat", 0, "b a\n"},
        {"cat < nope", 1, "", "nope: No such file or directory\n"},
        {"> empty; cat empty", 0, ""},
        {"mkdir d; echo x > d", 1, "", "d: Is a directory\n"},
    });
}

TEST_F(ShellTest, PipelineStagesDoNotChangeTheShell) {
    run_cases({
        {"mkdir d; cd d | true; pwd", 0, "/\n"},
        {"X=1 | true; echo \"[$X]\"", 0, "[]\n"},
        {"cd d && pwd", 0, "/d\n"},
    });
}

TEST_F(ShellTest, Variables) {
    run_cases({
        {"A=1; echo $A ${A}x \"$A\" '$A'", 0, "1 1x 1 $A\n"},
        {"B='x  y'; echo [$B] \"[$B]\"", 0, "[x y] [x  y]\n"},
        {"export C=3 D; echo $C$D.", 0, "3.\n"},
        {"echo $NOPE. \"$NOPE\". $ a$", 0, ". . $ a$\n"},
        {"E=; for_words() ; true", 2, ""},
        {"export 1x=2", 1, ""},
        {"echo ${A", 2, ""},
    });
}

TEST_F(ShellTest, Globbing) {
    run_cases({
        {"mkdir -p d/e; touch b.txt a.txt .hidden d/c.txt d/e/f.txt", 0, ""},
        {"echo *.txt", 0, "a.txt b.txt\n"},
        {"echo *", 0, "a.txt b.txt d\n"},
        {"echo .*", 0, ".hidden\n"},
        {"echo ?.txt [ab].txt [!a].txt", 0, "a.txt b.txt a.txt b.txt b.txt\n"},
        {"echo d/*.txt */e/*", 0, "d/c.txt d/e/f.txt\n"},
        {"echo */", 0, "d/\n"},
        {"echo /d/*", 0, "/d/c.txt /d/e\n"},
        {"echo *.none '*.txt' \"*\" \\*", 0, "*.none *.txt * *\n"},
        {"P='*.txt'; echo $P \"$P\"", 0, "a.txt b.txt *.txt\n"},
        {"cd d; echo ../*.txt", 0, "../a.txt ../b.txt\n"},
    });
}

TEST_F(ShellTest, FileCommands) {
    run_cases({
        {"mkdir a a/b", 0, ""},
        {"mkdir a", 1, "", "mkdir: cannot create directory 'a': File exists\n"},
        {"mkdir x/y", 1, ""},
        {"mkdir -p x/y/z a; cd x/y/z; pwd; cd ../../..", 0, "/x/y/z\n"},
        {"touch a/f a/f; ls a", 0, "b\nf\n"},
        {"ls a nope", 2, "a:\nb\nf\n", "ls: cannot access 'nope': No such file or directory\n"},
        {"ls a/f a", 0, "a/f\n\na:\nb\nf\n"},
        {"rm a", 1, "", "rm: cannot remove 'a': Is a directory\n"},
        {"rm -f nope; rm nope", 1, ""},
        {"rm -r a x; ls", 0, ""},
        {"cd nope", 1, "", "cd: nope: No such file or directory\n"},
        {"touch f; cd f", 1, "", "cd: f: Not a directory\n"},
        {"echo hi | tee g h; cat g h", 0, "hi\nhi\nhi\n"},
        {"stat -c '%n %s %F' f g", 0, "f 0 regular empty file\ng 3 regular file\n"},
    });
}

TEST_F(ShellTest, RemovedCurrentDirectory) {
    run_cases({
        {"mkdir -p d/e; cd d/e; rm -r /d; ls", 2, "",
         "ls: cannot access '.': No such file or directory\n"},
        // Relative globs match nothing; paths from the root still resolve.
        {"echo *; touch /f; ls /", 0, "*\nf\n"},
        {"mv /f g", 1, "", "mv: cannot move '/f' to 'g': No such file or directory\n"},
        {"cd /; pwd", 0, "/\n"},
    });
}

TEST_F(ShellTest, MoveAndCopy) {
    run_cases({
        {"mkdir d; echo one > f; echo two > g", 0, ""},
        {"cp f h; mv g f; cat f h", 0, "two\none\n"},
        {"cp f h d; ls d", 0, "f\nh\n"},
        {"cp d e", 1, "", "cp: -r not specified; omitting directory 'd'\n"},
        {"cp -r d e; mv e d; find d | sort", 0, "d\nd/e\nd/e/f\nd/e/h\nd/f\nd/h\n"},
        {"mv f h nope", 1, "", "mv: target 'nope' is not a directory\n"},
        {"mv nope d", 1, "", "mv: cannot stat 'nope': No such file or directory\n"},
        {"cp h h || cat h", 0, "one\n", "cp: 'h' and 'h' are the same file\n"},
        {"cd d; mv h .", 1, "", "mv: 'h' and './h' are the same file\n"},
    });
}

TEST_F(ShellTest, Find) {
    run_cases({
        {"mkdir -p d/e; touch d/a.txt d/e/b.txt d/e/c.md", 0, ""},
        {"find d", 0, "d\nd/a.txt\nd/e\nd/e/b.txt\nd/e/c.md\n"},
        {"find d -name '*.txt' -type f", 0, "d/a.txt\nd/e/b.txt\n"},
        {"find d -maxdepth 1 -type d", 0, "d\nd/e\n"},
        {"find nope", 1, ""},
        {"find d -size 1", 1, ""},
    });
}

TEST_F(ShellTest, TextCommands) {
    run_cases({
        {"echo one > f; echo two >> f; echo three >> f", 0, ""},
        {"head -n 2 f", 0, "one\ntwo\n"},
        {"head -1 f; head -c 5 f", 0, "one\none\nt"},
        {"head -n -1 f", 0, "one\ntwo\n"},
        {"tail -n 1 f; tail -n +2 f; tail -c 3 f", 0, "three\ntwo\nthree\nee\n"},
        {"head -n x f", 1, "", "head: invalid number of lines: 'x'\n"},
        {"head -n 1 f f", 0, "==> f <==\none\n\n==> f <==\none\n"},
        {"wc -l f; wc -w < f; cat f | wc", 0, "3 f\n3\n      3       3      14\n"},
        {"wc f f", 0, " 3  3 14 f\n 3  3 14 f\n 6  6 28 total\n"},
        {"sort f; sort -r f", 0, "one\nthree\ntwo\ntwo\nthree\none\n"},
        {"echo '10\n9\n10\nx' > n; sort -n n | uniq -c", 0, "      1 x\n      1 9\n      2 10\n"},
        {"sort -nu n", 0, "x\n9\n10\n"},
        {"cut -d : -f 1,3- < /dev/null", 0, ""},
        {"echo 'a:b:c:d\nnone' > c; cut -d : -f 1,3- c; cut -f 2 -d : c", 0,
         "a:c:d\nnone\nb\nnone\n"},
        {"cut c", 1, ""},
        {"uniq -c nope", 1, "", "uniq: nope: No such file or directory\n"},
    });
}

TEST_F(ShellTest, Grep) {
    run_cases({
        {"echo 'apple\nBanana\ncherry pie\napple pie' > f; mkdir d; echo 'pie' > d/g", 0, ""},
        {"grep apple f", 0, "apple\napple pie\n"},
        {"grep -c pie f; grep -n -i banana f", 0, "2\n2:Banana\n"},
        {"grep -v pie f", 0, "apple\nBanana\n"},
        {"grep -E 'an+a|^c' f", 0, "Banana\ncherry pie\n"},
        {"grep 'an\\+a' f; grep 'a+' f", 1, "Banana\n"},
        {"grep -F '.' f", 1, ""},
        {"grep -l pie f d/g", 0, "f\nd/g\n"},
        {"grep -r pie d f", 0, "d/g:pie\nf:cherry pie\nf:apple pie\n"},
        {"cd d; grep -r pie; cd ..", 0, "g:pie\n"},
        {"grep pie d", 2, "", "grep: d: Is a directory\n"},
        {"grep pie nope f", 2, "f:cherry pie\nf:apple pie\n"},
        {"grep '(' f", 1, ""},
        {"grep -E '(' f", 2, ""},
        {"cat f | grep -c '^a'", 0, "2\n"},
        {"echo 'ab\ncd' | grep 'b.c'", 1, ""},
        // A match found across a line break is checked again within each line.
        {"echo 'xa\ncy\nac' | grep -n 'a[^b]*c'", 0, "3:ac\n"},
        {"echo 'a\nb\nab' | grep -n 'b$'", 0, "2:b\n3:ab\n"},
    });
}

TEST_F(ShellTest, HelpAndUsage) {
    auto help = shell.run("help");
    EXPECT_EQ(help.status, 0);
    for (const char* name :
         {"grep", "mv", "cp", "tee", "stat", "find", "Not supported: background"}) {
        EXPECT_NE(help.out.find(name), std::string::npos) << name;
    }
    for (const char* name : {"grep", "cp", "mv", "tee", "pwd", "export", "cd"}) {
        auto usage = shell.run(std::string(name) + " --help");
        EXPECT_TRUE(usage.out.starts_with("Usage: " + std::string(name))) << usage.out;
    }
    run_cases({
        {"sort -x", 2, "",
         "sort: invalid option -- 'x'\nTry 'sort --help' for more information.\n"},
        {"head -n", 1, "",
         "head: option requires an argument -- 'n'\nTry 'head --help' for more information.\n"},
    });
}

TEST_F(ShellTest, OutputLimitStopsTheLine) {
    ShellTerminal small(fs, 64);
    ASSERT_EQ(small.run("echo 0123456789012345678901234567890123456789 > f").status, 0);
    // The file doubles with each copy until a line would pass the limit.
    auto grown = small.run("cat f f > g; cat g g g > h; echo after");
    EXPECT_EQ(grown.status, 1);
    EXPECT_EQ(grown.out, "");
    EXPECT_NE(grown.err.find("output limit of 64 bytes exceeded"), std::string::npos);
    auto same = small.run("cat f f > f; cat f");
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "");
}

TEST_F(ShellTest, RegisteredCommands) {
    shell.register_command("rev",
                           [](shell::ShellContext& context, std::span<const std::string> args) {
                               std::string text(context.input.rbegin(), context.input.rend());
                               for (const auto& arg : args) {
                                   text += arg;
                               }
                               context.write(text);
                               return 0;
                           });
    run_cases({{"echo -n abc | rev X > f; cat f; echo", 0, "cbaX\n"}});

    // A registered name shadows a built-in one, a second registration replaces the first,
    // and help lists them in name order.
    auto says = [](std::string text) {
        return [text](shell::ShellContext& context, std::span<const std::string>) {
            context.write(text);
            return 0;
        };
    };
    shell.register_command("cat", says("first"));
    shell.register_command("cat", says("second"));
    shell.register_command("alpha", says(""));
    run_cases({{"cat f", 0, "second"}});
    const std::string help = shell.run("help").out;
    EXPECT_NE(help.find("Registered:\n  alpha\n  cat\n  rev\n"), std::string::npos) << help;
}

TEST_F(ShellTest, CommandsThatRunCommands) {
    // xargs and env run the shell's own commands, registered ones first.
    shell.register_command("show",
                           [](shell::ShellContext& context, std::span<const std::string> args) {
                               const auto x = context.variables.find("X");
                               context.write("[" + (x == context.variables.end() ? "" : x->second));
                               for (const auto& arg : args) {
                                   context.write(" " + arg);
                               }
                               context.write("]\n");
                               return args.size() == 1 && args[0] == "bad" ? 3 : 0;
                           });
    run_cases({
        {"echo a b c | xargs -n 2 show", 0, "[ a b]\n[ c]\n"},
        {"echo a bad | xargs -n 1 show", 123, "[ a]\n[ bad]\n"},
        {"echo f | xargs -I{} show {}.txt", 0, "[ f.txt]\n"},
        {"X=outer; env X=inner show; show", 0, "[inner]\n[outer]\n"},
        {"env -u X show", 0, "[]\n"},
        {"echo a | xargs nosuch", 127, ""},
    });
    auto listed = shell.run("X=1; env");
    EXPECT_NE(listed.out.find("X=1\n"), std::string::npos) << listed.out;
}

TEST_F(ShellTest, NewCommandsHaveUsage) {
    const std::string help = shell.run("help").out;
    for (const char* name : {"awk", "basename", "comm", "diff", "dirname", "env", "nl", "paste",
                             "rev", "sed", "seq", "sleep", "tac", "tr", "xargs"}) {
        EXPECT_NE(help.find(std::string("\n  ") + name + " "), std::string::npos) << name;
        auto usage = shell.run(std::string(name) + " --help");
        EXPECT_EQ(usage.status, 0) << name;
        EXPECT_TRUE(usage.out.starts_with("Usage: " + std::string(name))) << usage.out;
    }
}

TEST_F(ShellTest, SedAndAwkWriteTheTree) {
    run_cases({
        {"seq 3 > f; sed -i.orig 2d f; cat f f.orig", 0, "1\n3\n1\n2\n3\n"},
        {"seq 4 | awk '{ print > ($1 % 2 ? \"odd\" : \"even\") }'; cat odd even", 0,
         "1\n3\n2\n4\n"},
        {"seq 2 | sed -n 'w copy'; cat copy", 0, "1\n2\n"},
    });
}

TEST_F(ShellTest, SleepWaits) {
    const auto start = std::chrono::steady_clock::now();
    run_cases({{"sleep 0.05", 0, ""}, {"sleep -1", 1, ""}, {"sleep inf", 1, ""}});
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

} // namespace

namespace {

TEST_F(ShellTest, GrammarBeyondTheDifferentialTest) {
    run_cases({
        // Functions: recursion, locals, positional parameters and "$@".
        {"fact() { if [ $1 -le 1 ]; then echo 1; else echo $(( $1 * $(fact $(($1-1))) )); fi; }; "
         "fact 10",
         0, "3628800\n"},
        {"f() { for a; do echo \"<$a>\"; done; }; f 'a b' '' c", 0, "<a b>\n<>\n<c>\n"},
        {"f() { echo $#; }; f \"$@\"; set -- 1 2; f \"$@\" \"$*\"", 0, "0\n3\n"},
        {"f() { echo ${10}${1}; }; f 1 2 3 4 5 6 7 8 9 ten", 0, "ten1\n"},
        // A subshell keeps its changes, exit included.
        {"x=1; (x=2; cd /; exit 3); echo $? $x", 0, "3 1\n"},
        {"f() { exit 4; }; (f; echo no); echo $?", 0, "4\n"},
        // break and continue leave as many loops as they name.
        {"for i in 1 2; do while :; do break 2; done; done; echo out", 0, "out\n"},
        // Here-documents: expansion, quoting, tab stripping, two on one line.
        {"x=v; cat <<A; cat <<'B'\n$x\nA\n$x\nB", 0, "v\n$x\n"},
        {"cat <<-E\n\t\tin\n\tE", 0, "in\n"},
        // read: pipes, several names, IFS, -r, the status at the end of input.
        {"printf 'a:b:c\\nd' | { IFS=: read x y; echo \"$x|$y\"; read z; echo \"$?$z\"; }", 0,
         "a|b:c\n1d\n"},
        {"printf -v v '%s-%03d' x 5; echo $v", 0, "x-005\n"},
        // A command that reads the loop's input uses up the rest.
        {"printf 'a\\nb\\nc\\n' | while read x; do echo \"[$x]\"; wc -l; done", 0, "[a]\n2\n"},
        // set -u and ${x:?} end the line; an arithmetic error ends its own line only.
        {"set -u; echo $undefined; echo no", 127, ""},
        {"echo ${none:?gone}; echo no", 127, "", "none: gone\n"},
        {"echo $((1/0)); echo no\necho next", 0, "next\n"},
        // 2>&1 keeps one command's lines in the order it wrote them.
        {"echo x > f; cat f nope f 2>&1", 1, "x\ncat: nope: No such file or directory\nx\n"},
        // What the shell leaves out fails with 2 and says so.
        {"sleep 1 &", 2, "", "background jobs (&) are not supported in this shell (see help)\n"},
        {"trap 'echo t' EXIT", 2, "", "trap: not supported in this shell (see help)\n"},
        {"a=(1 2)", 2, "", "arrays are not supported in this shell (see help)\n"},
        // source and eval run in this shell.
        {"echo 'y=$1; return 5; echo no' > s.sh; source s.sh arg; echo $? $y", 0, "5 arg\n"},
        {"eval 'z=1; echo $z'", 0, "1\n"},
        {"echo ~ ~/a \"~\"; HOME=/h; x=~/y; echo $x; cd /; echo $PWD", 0, "/ /a ~\n/h/y\n/\n"},
        {"set -x; v='a b'; echo \"$v\" \"it's\"; set +x", 0, "a b it's\n",
         "+ v='a b'\n+ echo 'a b' 'it'\\''s'\n+ set +x\n"},
    });
}

TEST_F(ShellTest, AVariableCannotOutgrowTheOutputLimit) {
    ShellTerminal small(fs, 1000);
    const auto result = small.run("x=0123456789; while :; do x=$x$x; done");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "x: value longer than the output limit of 1000 bytes\n");
}

TEST_F(ShellTest, ToolsMeetDirectoriesAndBinaryTextAsGnuDoes) {
    run_cases({
        {"mkdir d; echo x > f; wc -l f < d", 0, "1 f\n"},
        {"wc -l < d", 1, "0\n", "wc: 'standard input': Is a directory\n"},
        {"wc d f", 1,
         "      0       0       0 d\n      1       1       2 f\n      1       1       2 total\n"},
        {"head -n 1 d f", 1, "==> d <==\n\n==> f <==\nx\n",
         "head: error reading 'd': Is a directory\n"},
        {"sort f nope > out; echo $?; cat out", 0, "2\n"},
        {"grep -E -F x f", 2, "", "grep: conflicting matchers specified\n"},
        {"printf 'a\\0b\\n' > bin; grep a bin", 0, "", "grep: bin: binary file matches\n"},
        {"grep -c a bin", 0, "1\n"},
        // Classes and \w reach beyond ASCII.
        {"echo 'Éa straße' | grep -c '^[[:upper:]]a \\w*$'", 0, "1\n"},
    });
}

} // namespace
