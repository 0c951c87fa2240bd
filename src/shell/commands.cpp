#include "shell/commands.hpp"

#include <algorithm>

#include "shell/awk_command.hpp"
#include "shell/builtin_commands.hpp"
#include "shell/diff_command.hpp"
#include "shell/file_commands.hpp"
#include "shell/grep_command.hpp"
#include "shell/options.hpp"
#include "shell/paths.hpp"
#include "shell/printf_command.hpp"
#include "shell/sed_command.hpp"
#include "shell/stream_commands.hpp"
#include "shell/test_command.hpp"
#include "shell/text_commands.hpp"
#include "shell/utility_commands.hpp"

namespace ovaline::shell {

namespace {

struct Usage {
    std::string_view name;
    std::string_view text;
};

// One line of usage and one of purpose per command, in the order help lists them.
constexpr Usage kUsages[] = {
    {"awk", "awk [-F SEP] [-v NAME=VALUE]... [-f FILE | 'PROGRAM'] [FILE]...\nRun a pattern-action "
            "program over the records and fields of the input."},
    {"basename", "basename NAME [SUFFIX] | basename -a [-s SUFFIX] NAME...\nPrint NAME without its "
                 "directory (and SUFFIX)."},
    {"cat", "cat [FILE]...\nConcatenate files (or the standard input) to the output."},
    {"cd", "cd [DIR]\nChange the current directory (to $HOME, or /, without DIR)."},
    {"comm", "comm [-123] FILE1 FILE2\nCompare two sorted files: lines only in FILE1, only in "
             "FILE2, in both."},
    {"cp", "cp [-r] SOURCE... DEST\nCopy files, and directories with -r."},
    {"cut", "cut -f LIST [-d DELIM] [FILE]...\nPrint the selected fields of each line."},
    {"dirname",
     "dirname NAME...\nPrint NAME without its last component (\".\" when it has no \"/\")."},
    {"diff", "diff [-u | -U N] [-qsibwN] FILE1 FILE2\nCompare two files line by line (exit 1 when "
             "they differ)."},
    {"echo", "echo [-n] [WORD]...\nPrint the words, then a newline unless -n."},
    {"env", "env [-i] [-u NAME] [NAME=VALUE]... [COMMAND [ARG]...]\nPrint the variables, or run "
            "COMMAND with them changed."},
    {"export", "export [NAME[=VALUE]]...\nSet variables; without names, list them."},
    {"false", "false\nDo nothing, unsuccessfully."},
    {"find", "find [PATH]... [-name PATTERN] [-type f|d] [-maxdepth N]\nList the paths below "
             "each PATH that pass every test."},
    {"grep", "grep [-ivnclrEFqowx] [-m N] PATTERN [FILE]...\nPrint the lines that match "
             "PATTERN (basic regular expression; -E extended, -F fixed strings)."},
    {"head", "head [-n [-]N | -c [-]N] [FILE]...\nPrint the first 10 lines (or N lines or bytes)."},
    {"help", "help\nList the commands and what this shell does not do."},
    {"ls", "ls [-a] [PATH]...\nList directories in name order, one entry per line."},
    {"mkdir", "mkdir [-p] DIR...\nCreate directories (with -p, parents too, and no error if "
              "they exist)."},
    {"mv", "mv SOURCE... DEST\nMove or rename files and directories."},
    {"nl", "nl [-b a|t|n] [-n ln|rn|rz] [-w N] [-s SEP] [-v N] [-i N] [FILE]...\nNumber the lines "
           "(by default "
           "the non-empty ones)."},
    {"paste", "paste [-s] [-d LIST] [FILE]...\nJoin the files' lines side by side (-s: each file's "
              "lines into one)."},
    {"printf", "printf [-v NAME] FORMAT [ARGUMENT]...\nPrint the arguments as FORMAT says (%s %d "
               "%x %o %c %b %f %%, widths, precisions), reusing it for extra arguments."},
    {"pwd", "pwd\nPrint the current directory."},
    {"rev", "rev [FILE]...\nReverse the characters of each line."},
    {"rm", "rm [-rf] PATH...\nRemove files, and directories with -r; -f ignores missing ones."},
    {"sed", "sed [-nEsiz] [-e SCRIPT]... [SCRIPT] [FILE]...\nEdit lines: s///, d, p, q, a/i/c, y, "
            "=, n/N, hold space, {...}, labels; -i edits files in place."},
    {"seq",
     "seq [-w | -f FORMAT] [-s SEP] [FIRST [INCREMENT]] LAST\nPrint numbers from FIRST to LAST."},
    {"sleep", "sleep NUMBER[smhd]...\nWait for the sum of the intervals (seconds by default), a "
              "minute at most."},
    {"sort", "sort [-rnu] [FILE]...\nSort lines by bytes (-n by leading number, -r reversed, -u "
             "unique)."},
    {"stat", "stat [-c FORMAT] PATH...\nDescribe entries; FORMAT knows %n %s %F %i."},
    {"tac", "tac [FILE]...\nPrint the lines of each file last first."},
    {"tail", "tail [-n [+]N | -c [+]N] [FILE]...\nPrint the last 10 lines (or N lines or bytes)."},
    {"test", "test EXPRESSION, [ EXPRESSION ]\nTest files (-e -f -d -s), strings (-z -n = != "
             "< >) and integers (-eq -ne -lt -le -gt -ge), with ! -a -o ( )."},
    {"tee", "tee [-a] [FILE]...\nCopy the standard input to the output and to each FILE."},
    {"touch", "touch FILE...\nCreate files that do not exist."},
    {"tr", "tr [-cdst] SET1 [SET2]\nTranslate, delete (-d) or squeeze (-s) characters of the "
           "standard input."},
    {"true", "true\nDo nothing, successfully."},
    {"uniq", "uniq [-c] [FILE]\nDrop repeated adjacent lines (-c counts them)."},
    {"wc", "wc [-lwc] [FILE]...\nCount lines, words and bytes."},
    {"xargs",
     "xargs [-0r] [-n N | -L N] [-I REPLACE] [-d DELIM] [COMMAND [ARG]...]\nRun COMMAND (echo) "
     "with the words of the standard input as arguments."},
};

constexpr std::string_view kNotSupported =
    "\nGrammar: ; && || | ! pipelines, if/elif/else, for (also for ((...))), while, until,\n"
    "case, functions (f() {...}, local, return), ( subshells ), { groups; }, [[ ... ]],\n"
    "(( arithmetic )), redirections > >> < 2> 2>&1 >&2 &> <<EOF <<-EOF <<<, /dev/null.\n"
    "Expansions: $NAME ${NAME...} (defaults, lengths, trims, replacements, substrings),\n"
    "$1.. $@ $* $# $?, $(...) and `...`, $((...)), {a,b} {1..5}, globs * ? [...].\n"
    "Shell built-ins: : break continue eval exit export let local read return set (-e -u\n"
    "-x -o pipefail) shift source . unset command.\n"
    "Not supported: background jobs (&), job control, process substitution, trap, arrays.\n";

std::string_view usage_of(std::string_view command) {
    for (const Usage& usage : kUsages) {
        if (usage.name == command) {
            return usage.text;
        }
    }
    return {};
}

int cmd_help(ShellContext& context, std::span<const std::string>) {
    std::string text = "Commands:\n";
    for (const Usage& usage : kUsages) {
        const std::string_view line = usage.text.substr(0, usage.text.find('\n'));
        text += "  " + std::string(line) + "\n";
    }
    if (!context.registered.empty()) {
        text += "Registered:\n";
        std::vector<std::string> names = context.registered.names();
        std::ranges::sort(names);
        for (const auto& name : names) {
            text += "  " + name + "\n";
        }
    }
    context.write(text + std::string(kNotSupported));
    return 0;
}

} // namespace

const ShellCommands& commands() {
    static const ShellCommands table{
        {"awk", cmd_awk},         {"basename", cmd_basename},
        {"cat", cmd_cat},         {"cd", cmd_cd},
        {"comm", cmd_comm},       {"cp", cmd_cp},
        {"cut", cmd_cut},         {"diff", cmd_diff},
        {"dirname", cmd_dirname}, {"echo", cmd_echo},
        {"env", cmd_env},         {"export", cmd_export},
        {"false", cmd_false},     {"find", cmd_find},
        {"grep", cmd_grep},       {"head", cmd_head},
        {"help", cmd_help},       {"ls", cmd_ls},
        {"mkdir", cmd_mkdir},     {"mv", cmd_mv},
        {"nl", cmd_nl},           {"paste", cmd_paste},
        {"pwd", cmd_pwd},         {"rev", cmd_rev},
        {"rm", cmd_rm},           {"sed", cmd_sed},
        {"seq", cmd_seq},         {"sleep", cmd_sleep},
        {"sort", cmd_sort},       {"stat", cmd_stat},
        {"tac", cmd_tac},         {"tail", cmd_tail},
        {"tee", cmd_tee},         {"touch", cmd_touch},
        {"tr", cmd_tr},           {"true", cmd_true},
        {"uniq", cmd_uniq},       {"wc", cmd_wc},
        {"xargs", cmd_xargs},     {"cat", cmd_cat},
        {"cd", cmd_cd},           {"cp", cmd_cp},
        {"mv", cmd_mv},           {"cut", cmd_cut},
        {"echo", cmd_echo},       {"export", cmd_export},
        {"false", cmd_false},     {"find", cmd_find},
        {"grep", cmd_grep},       {"head", cmd_head},
        {"help", cmd_help},       {"ls", cmd_ls},
        {"mkdir", cmd_mkdir},     {"pwd", cmd_pwd},
        {"rm", cmd_rm},           {"sort", cmd_sort},
        {"stat", cmd_stat},       {"tail", cmd_tail},
        {"tee", cmd_tee},         {"touch", cmd_touch},
        {"true", cmd_true},       {"uniq", cmd_uniq},
        {"wc", cmd_wc},           {"test", cmd_test},
        {"[", cmd_bracket},       {"printf", cmd_printf},
    };
    return table;
}

bool answer_help(CommandContext& context, std::string_view command,
                 std::span<const std::string> words) {
    if (!wants_help(words)) {
        return false;
    }
    context.write("Usage: " + std::string(usage_of(command)) + "\n");
    return true;
}

std::expected<ShellOptions, int> start_command(CommandContext& context, std::string_view command,
                                               std::span<const std::string> words,
                                               std::string_view letters, int usage_status) {
    if (answer_help(context, command, words)) {
        return std::unexpected(0);
    }
    auto options = parse_options(words, letters);
    if (!options) {
        return std::unexpected(usage_error(context, command, options.error(), usage_status));
    }
    return std::move(*options);
}

int usage_error(CommandContext& context, std::string_view command, std::string_view message,
                int status) {
    context.error(command, message);
    (context.errors_to_output ? context.out : context.err) +=
        "Try '" + std::string(command) + " --help' for more information.\n";
    return status;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool read_inputs(ShellContext& context, std::string_view command,
                 std::span<const std::string> operands,
                 const std::function<void(const std::string&, std::string_view)>& use,
                 const std::function<void(const std::string&)>& directory, bool in_place) {
    static const std::string kStdin = "-";
    const auto read_stdin = [&](const std::string& name) {
        context.used_input = true;
        if (!context.input_is_directory) {
            use(name, context.input);
            return true;
        }
        if (directory) {
            directory(kStdin);
        } else {
            context.error(command, "'standard input': Is a directory");
        }
        return false;
    };
    if (operands.empty()) {
        return read_stdin(kStdin);
    }
    bool ok = true;
    for (const auto& operand : operands) {
        if (operand == "-" || operand == "/dev/stdin") {
            ok = read_stdin(operand) && ok;
        } else if (operand == "/dev/null") {
            use(operand, "");
        } else if (auto file = in_place ? FileReader::open(context.terminal, operand)
                                        : std::unexpected(std::string());
                   file && file->view([&](std::string_view text) { use(operand, text); })) {
            // Seen where it lies; a file that cannot be is read below, for its error.
        } else {
            auto text = read_file(context.terminal, operand);
            if (!text) {
                const auto id = resolve_path(context.terminal, operand);
                const auto is_dir = id ? context.terminal.filesystem->is_directory_raw(*id)
                                       : fs::IoResult<bool>(false);
                if (directory && is_dir && *is_dir) {
                    directory(operand);
                } else {
                    context.error(command, operand + ": " + text.error());
                }
                ok = false;
                continue;
            }
            use(operand, *text);
        }
        if (context.overflow) {
            return false;
        }
    }
    return ok;
}

} // namespace ovaline::shell
