#include "shell/commands.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

#include "fs/name_pattern.hpp"
#include "shell/grep_command.hpp"
#include "shell/options.hpp"
#include "shell/paths.hpp"
#include "shell/text_commands.hpp"

namespace ovaline::shell {

namespace {

struct Usage {
    std::string_view name;
    std::string_view text;
};

// One line of usage and one of purpose per command, in the order help lists them.
constexpr Usage kUsages[] = {
    {"cat", "cat [FILE]...\nConcatenate files (or the standard input) to the output."},
    {"cd", "cd [DIR]\nChange the current directory (to $HOME, or /, without DIR)."},
    {"cp", "cp [-r] SOURCE... DEST\nCopy files, and directories with -r."},
    {"cut", "cut -f LIST [-d DELIM] [FILE]...\nPrint the selected fields of each line."},
    {"echo", "echo [-n] [WORD]...\nPrint the words, then a newline unless -n."},
    {"export", "export [NAME[=VALUE]]...\nSet variables; without names, list them."},
    {"false", "false\nDo nothing, unsuccessfully."},
    {"find", "find [PATH]... [-name PATTERN] [-type f|d] [-maxdepth N]\nList the paths below "
             "each PATH that pass every test."},
    {"grep", "grep [-ivnclrEF] PATTERN [FILE]...\nPrint the lines that match PATTERN (basic "
             "regular expression; -E extended, -F fixed strings)."},
    {"head", "head [-n [-]N | -c [-]N] [FILE]...\nPrint the first 10 lines (or N lines or bytes)."},
    {"help", "help\nList the commands and what this shell does not do."},
    {"ls", "ls [-a] [PATH]...\nList directories in name order, one entry per line."},
    {"mkdir", "mkdir [-p] DIR...\nCreate directories (with -p, parents too, and no error if "
              "they exist)."},
    {"mv", "mv SOURCE... DEST\nMove or rename files and directories."},
    {"pwd", "pwd\nPrint the current directory."},
    {"rm", "rm [-rf] PATH...\nRemove files, and directories with -r; -f ignores missing ones."},
    {"sort", "sort [-rnu] [FILE]...\nSort lines by bytes (-n by leading number, -r reversed, -u "
             "unique)."},
    {"stat", "stat [-c FORMAT] PATH...\nDescribe entries; FORMAT knows %n %s %F %i."},
    {"tail", "tail [-n [+]N | -c [+]N] [FILE]...\nPrint the last 10 lines (or N lines or bytes)."},
    {"tee", "tee [-a] [FILE]...\nCopy the standard input to the output and to each FILE."},
    {"touch", "touch FILE...\nCreate files that do not exist."},
    {"true", "true\nDo nothing, successfully."},
    {"uniq", "uniq [-c] [FILE]\nDrop repeated adjacent lines (-c counts them)."},
    {"wc", "wc [-lwc] [FILE]...\nCount lines, words and bytes."},
};

constexpr std::string_view kNotSupported =
    "\nOperators: ; && || | and redirections > >> < 2> 2>> 2>&1 >&2.\n"
    "Expansions: $NAME ${NAME} $? and globs * ? [...] (a glob without a match stays as "
    "written).\n"
    "Not supported: loops, conditionals, functions, subshells, background jobs, command "
    "substitution, here-documents and arithmetic.\n";

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

int cmd_echo(ShellContext& context, std::span<const std::string> words) {
    const bool newline = words.empty() || words[0] != "-n";
    std::string text;
    for (std::size_t i = newline ? 0 : 1; i < words.size(); ++i) {
        if (!text.empty() || i > (newline ? 0u : 1u)) {
            text += ' ';
        }
        text += words[i];
    }
    if (newline) {
        text += '\n';
    }
    context.write(text);
    return 0;
}

int cmd_true(ShellContext&, std::span<const std::string>) {
    return 0;
}

int cmd_false(ShellContext&, std::span<const std::string>) {
    return 1;
}

int cmd_cat(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "cat", words, "");
    if (!options) {
        return options.error();
    }
    const bool ok =
        read_inputs(context, "cat", options->operands,
                    [&](const std::string&, std::string_view text) { context.write(text); });
    return ok ? 0 : 1;
}

int cmd_pwd(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "pwd", words)) {
        return 0;
    }
    auto path = context.terminal.filesystem->get_path_by_inode(context.terminal.current_dir);
    if (!path) {
        context.error("pwd", error_text(path.error()));
        return 1;
    }
    context.write(*path + "\n");
    return 0;
}

int cmd_cd(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "cd", words)) {
        return 0;
    }
    if (words.size() > 1) {
        context.error("cd", "too many arguments");
        return 1;
    }
    const auto home = context.variables.find("HOME");
    const std::string target =
        !words.empty() ? words[0] : (home != context.variables.end() ? home->second : "/");
    auto id = resolve_path(context.terminal, target);
    fs::IoResult<bool> is_dir = id ? context.terminal.filesystem->is_directory_raw(*id)
                                   : fs::IoResult<bool>(std::unexpected(id.error()));
    if (!is_dir) {
        context.error("cd", target + ": " + error_text(is_dir.error()));
        return 1;
    }
    if (!*is_dir) {
        context.error("cd", target + ": Not a directory");
        return 1;
    }
    context.terminal.current_dir = *id;
    return 0;
}

int cmd_export(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "export", words)) {
        return 0;
    }
    if (words.empty()) {
        for (const auto& [name, value] : context.variables) {
            context.write("declare -x " + name + "=\"" + value + "\"\n");
        }
        return 0;
    }
    int status = 0;
    for (const auto& word : words) {
        const std::size_t eq = word.find('=');
        const std::string name = word.substr(0, eq);
        const bool valid = !name.empty() &&
                           (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_') &&
                           std::ranges::all_of(name, [](char c) {
                               return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
                           });
        if (!valid) {
            context.error("export", "'" + word + "': not a valid identifier");
            status = 1;
            continue;
        }
        if (eq != std::string::npos) {
            context.variables[name] = word.substr(eq + 1);
        } else {
            context.variables.try_emplace(name);
        }
    }
    return status;
}

// The names in a directory in byte order, those beginning with "." only when asked.
std::vector<std::string> sorted_names(const TerminalContext& context, fs::InodeId dir, bool all) {
    std::vector<std::string> names;
    if (auto listing = context.filesystem->ls_raw(dir)) {
        for (auto* list : {&listing->files, &listing->directories}) {
            for (auto& name : *list) {
                if (all || !name.starts_with('.')) {
                    names.push_back(std::move(name));
                }
            }
        }
    }
    std::ranges::sort(names);
    return names;
}

bool is_directory(const TerminalContext& context, fs::InodeId id) {
    auto is_dir = context.filesystem->is_directory_raw(id);
    return is_dir && *is_dir;
}

int cmd_ls(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "ls", words, "a1", 2);
    if (!options) {
        return options.error();
    }
    std::vector<std::string> operands = options->operands;
    if (operands.empty()) {
        operands.push_back(".");
    }
    std::ranges::sort(operands);
    int status = 0;
    std::vector<std::pair<std::string, fs::InodeId>> directories;
    std::string files;
    for (const auto& operand : operands) {
        auto id = resolve_path(context.terminal, operand);
        if (!id) {
            context.error("ls", "cannot access '" + operand + "': " + error_text(id.error()));
            status = 2;
        } else if (is_directory(context.terminal, *id)) {
            directories.emplace_back(operand, *id);
        } else {
            files += operand + "\n";
        }
    }
    context.write(files);
    const bool headers = operands.size() > 1;
    for (std::size_t i = 0; i < directories.size(); ++i) {
        if (headers) {
            context.write((i > 0 || !files.empty() ? "\n" : "") + directories[i].first + ":\n");
        }
        if (options->has('a')) {
            context.write(".\n..\n");
        }
        for (const auto& name :
             sorted_names(context.terminal, directories[i].second, options->has('a'))) {
            context.write(name + "\n");
        }
    }
    return status;
}

int cmd_mkdir(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "mkdir", words, "p");
    if (!options) {
        return options.error();
    }
    if (options->operands.empty()) {
        return usage_error(context, "mkdir", "missing operand");
    }
    const bool parents = options->has('p');
    int status = 0;
    for (const auto& operand : options->operands) {
        fs::IoResult<fs::InodeId> made = std::unexpected(fs::IoErrorKind::InodeNotFound);
        if (parents) {
            // Each prefix in turn; those that exist as directories are fine.
            for (std::size_t end = 0; end != std::string::npos;) {
                end = operand.find('/', end + 1);
                const std::string prefix = operand.substr(0, end);
                if (prefix.empty() || prefix.ends_with('/')) {
                    continue;
                }
                auto id = resolve_path(context.terminal, prefix);
                made = id && is_directory(context.terminal, *id)
                           ? id
                           : create_at(context.terminal, prefix, fs::Directory{});
                if (!made) {
                    break;
                }
            }
        } else {
            std::string path = operand;
            while (path.size() > 1 && path.ends_with('/')) {
                path.pop_back();
            }
            made = create_at(context.terminal, path, fs::Directory{});
        }
        if (!made) {
            context.error("mkdir",
                          "cannot create directory '" + operand + "': " + error_text(made.error()));
            status = 1;
        }
    }
    return status;
}

int cmd_touch(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "touch", words, "");
    if (!options) {
        return options.error();
    }
    if (options->operands.empty()) {
        return usage_error(context, "touch", "missing file operand");
    }
    int status = 0;
    for (const auto& operand : options->operands) {
        if (resolve_path(context.terminal, operand)) {
            continue;
        }
        auto made = create_at(context.terminal, operand, fs::File{});
        if (!made) {
            context.error("touch", "cannot touch '" + operand + "': " + error_text(made.error()));
            status = 1;
        }
    }
    return status;
}

int cmd_rm(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "rm", words, "rRf");
    if (!options) {
        return options.error();
    }
    const bool recursive = options->has('r') || options->has('R');
    const bool force = options->has('f');
    if (options->operands.empty() && !force) {
        return usage_error(context, "rm", "missing operand");
    }
    int status = 0;
    for (const auto& operand : options->operands) {
        const std::string_view last = std::string_view(operand).substr(operand.rfind('/') + 1);
        if (last == "." || last == "..") {
            context.error("rm",
                          "refusing to remove '.' or '..' directory: skipping '" + operand + "'");
            status = 1;
            continue;
        }
        auto id = resolve_path(context.terminal, operand);
        if (!id) {
            if (!force || id.error().kind() != fs::IoErrorKind::InodeNotFound) {
                context.error("rm", "cannot remove '" + operand + "': " + error_text(id.error()));
                status = 1;
            }
            continue;
        }
        if (!recursive && is_directory(context.terminal, *id)) {
            context.error("rm", "cannot remove '" + operand + "': Is a directory");
            status = 1;
            continue;
        }
        if (auto removed = context.terminal.filesystem->rm_raw(*id, recursive); !removed) {
            context.error("rm", "cannot remove '" + operand + "': " + error_text(removed.error()));
            status = 1;
        }
    }
    return status;
}

int cmd_tee(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "tee", words, "a");
    if (!options) {
        return options.error();
    }
    int status = 0;
    for (const auto& operand : options->operands) {
        if (auto written = write_file(context.terminal, operand, context.input, options->has('a'));
            !written) {
            context.error("tee", operand + ": " + written.error());
            status = 1;
        }
    }
    context.write(context.input);
    return status;
}

int cmd_stat(ShellContext& context, std::span<const std::string> words) {
    auto options = start_command(context, "stat", words, "c:");
    if (!options) {
        return options.error();
    }
    if (options->operands.empty()) {
        return usage_error(context, "stat", "missing operand");
    }
    const std::string format =
        options->has('c') ? options->given['c'] : "  File: %n\n  Size: %s\tType: %F\n Inode: %i";
    int status = 0;
    for (const auto& operand : options->operands) {
        auto id = resolve_path(context.terminal, operand);
        if (!id) {
            context.error("stat", "cannot statx '" + operand + "': " + error_text(id.error()));
            status = 1;
            continue;
        }
        const bool dir = is_directory(context.terminal, *id);
        std::uint64_t size = 0;
        if (!dir) {
            if (auto text = read_file(context.terminal, operand)) {
                size = text->size();
            }
        }
        std::string out;
        for (std::size_t i = 0; i < format.size(); ++i) {
            if (format[i] != '%' || i + 1 == format.size()) {
                out.push_back(format[i]);
                continue;
            }
            switch (format[++i]) {
            case 'n':
                out += operand;
                break;
            case 's':
                out += std::to_string(size);
                break;
            case 'F':
                out += dir ? "directory" : (size == 0 ? "regular empty file" : "regular file");
                break;
            case 'i':
                out += std::to_string(*id);
                break;
            case '%':
                out.push_back('%');
                break;
            default:
                out.push_back('%');
                out.push_back(format[i]);
            }
        }
        context.write(out + "\n");
    }
    return status;
}

struct FindTests {
    std::optional<std::string> name;
    std::optional<char> type;
    std::uint64_t max_depth = UINT64_MAX;
};

void find_below(CommandContext& context, const std::string& path, fs::InodeId id,
                std::uint64_t depth, const FindTests& tests) {
    const bool dir = is_directory(context.terminal, id);
    const std::string_view name = std::string_view(path).substr(
        path.size() > 1 && path.find('/') != std::string::npos ? path.rfind('/') + 1 : 0);
    const bool type_ok = !tests.type || (*tests.type == 'd') == dir;
    const bool name_ok = !tests.name || fs::name_matches(*tests.name, name, true);
    if (type_ok && name_ok && !context.write(path + "\n")) {
        return;
    }
    if (!dir || depth >= tests.max_depth) {
        return;
    }
    for (const auto& child : sorted_names(context.terminal, id, true)) {
        if (auto child_id = context.terminal.filesystem->find_inode_by_name(id, child)) {
            find_below(context, path.ends_with('/') ? path + child : path + "/" + child, *child_id,
                       depth + 1, tests);
        }
    }
}

int cmd_find(ShellContext& context, std::span<const std::string> words) {
    if (answer_help(context, "find", words)) {
        return 0;
    }
    std::vector<std::string> starts;
    FindTests tests;
    std::size_t i = 0;
    for (; i < words.size() && !words[i].starts_with('-'); ++i) {
        starts.push_back(words[i]);
    }
    for (; i < words.size(); ++i) {
        const std::string& test = words[i];
        if (test != "-name" && test != "-type" && test != "-maxdepth") {
            context.error("find", "unknown predicate '" + test + "'");
            return 1;
        }
        if (i + 1 == words.size()) {
            context.error("find", "missing argument to '" + test + "'");
            return 1;
        }
        const std::string& value = words[++i];
        if (test == "-name") {
            tests.name = value;
        } else if (test == "-type") {
            if (value != "f" && value != "d") {
                context.error("find", "Unknown argument to -type: " + value);
                return 1;
            }
            tests.type = value[0];
        } else {
            std::uint64_t depth = 0;
            const auto [end, ec] =
                std::from_chars(value.data(), value.data() + value.size(), depth);
            if (ec != std::errc() || end != value.data() + value.size()) {
                context.error("find", "Expected a positive decimal integer argument to -maxdepth, "
                                      "but got '" +
                                          value + "'");
                return 1;
            }
            tests.max_depth = depth;
        }
    }
    if (starts.empty()) {
        starts.push_back(".");
    }
    int status = 0;
    for (const auto& start : starts) {
        auto id = resolve_path(context.terminal, start);
        if (!id) {
            context.error("find", "'" + start + "': " + error_text(id.error()));
            status = 1;
            continue;
        }
        find_below(context, start, *id, 0, tests);
    }
    return status;
}

// The last component of a path, trailing slashes aside.
std::string base_name(std::string path) {
    while (path.size() > 1 && path.ends_with('/')) {
        path.pop_back();
    }
    return path.substr(path.rfind('/') + 1);
}

// mv and cp: each source goes into the destination when that is a directory; a single
// source may instead take the destination's name. `move` does one source.
int transfer(ShellContext& context, std::span<const std::string> words, std::string_view command,
             std::string_view letters,
             const std::function<std::expected<void, std::string>(
                 const std::string&, const std::string&, const ShellOptions&)>& move) {
    auto options = start_command(context, command, words, letters);
    if (!options) {
        return options.error();
    }
    auto& operands = options->operands;
    if (operands.size() < 2) {
        return usage_error(context, command,
                           operands.empty()
                               ? "missing file operand"
                               : "missing destination file operand after '" + operands[0] + "'");
    }
    const std::string target = operands.back();
    auto target_id = resolve_path(context.terminal, target);
    const bool into = target_id && is_directory(context.terminal, *target_id);
    if (!into && operands.size() > 2) {
        context.error(command, "target '" + target + "' is not a directory");
        return 1;
    }
    int status = 0;
    for (std::size_t i = 0; i + 1 < operands.size(); ++i) {
        const std::string& source = operands[i];
        auto found = resolve_path(context.terminal, source);
        if (!found) {
            context.error(command, "cannot stat '" + source + "': " + error_text(found.error()));
            status = 1;
            continue;
        }
        const std::string destination =
            into ? (target.ends_with('/') ? target : target + "/") + base_name(source) : target;
        // Copying a file onto itself would empty it before reading it.
        if (auto existing = resolve_path(context.terminal, destination);
            existing && *existing == *found) {
            context.error(command, "'" + source + "' and '" + destination + "' are the same file");
            status = 1;
            continue;
        }
        if (auto moved = move(source, destination, *options); !moved) {
            context.error(command, moved.error());
            status = 1;
        }
    }
    return status;
}

int cmd_mv(ShellContext& context, std::span<const std::string> words) {
    const TerminalContext& base = context.terminal;
    return transfer(context, words, "mv", "",
                    [&](const std::string& source, const std::string& destination,
                        const ShellOptions&) -> std::expected<void, std::string> {
                        auto moved = rename_path(base, source, destination);
                        if (!moved) {
                            return std::unexpected("cannot move '" + source + "' to '" +
                                                   destination + "': " + error_text(moved.error()));
                        }
                        return {};
                    });
}

int cmd_cp(ShellContext& context, std::span<const std::string> words) {
    const TerminalContext& base = context.terminal;
    return transfer(
        context, words, "cp", "rR",
        [&](const std::string& source, const std::string& destination,
            const ShellOptions& options) -> std::expected<void, std::string> {
            auto id = resolve_path(base, source);
            if (id && is_directory(base, *id)) {
                if (!options.has('r') && !options.has('R')) {
                    return std::unexpected("-r not specified; omitting directory '" + source + "'");
                }
                auto copied = copy_tree(base, source, destination);
                if (!copied) {
                    return std::unexpected("cannot copy '" + source + "' to '" + destination +
                                           "': " + error_text(copied.error()));
                }
                return {};
            }
            // A file is copied by contents, so an existing destination keeps its place.
            auto text = read_file(base, source);
            if (!text) {
                return std::unexpected("cannot open '" + source + "' for reading: " + text.error());
            }
            if (auto written = write_file(base, destination, *text, false); !written) {
                return std::unexpected("cannot create regular file '" + destination +
                                       "': " + written.error());
            }
            return {};
        });
}

} // namespace

const ShellCommands& commands() {
    static const ShellCommands table{
        {"cat", cmd_cat},     {"cd", cmd_cd},       {"cp", cmd_cp},         {"mv", cmd_mv},
        {"cut", cmd_cut},     {"echo", cmd_echo},   {"export", cmd_export}, {"false", cmd_false},
        {"find", cmd_find},   {"grep", cmd_grep},   {"head", cmd_head},     {"help", cmd_help},
        {"ls", cmd_ls},       {"mkdir", cmd_mkdir}, {"pwd", cmd_pwd},       {"rm", cmd_rm},
        {"sort", cmd_sort},   {"stat", cmd_stat},   {"tail", cmd_tail},     {"tee", cmd_tee},
        {"touch", cmd_touch}, {"true", cmd_true},   {"uniq", cmd_uniq},     {"wc", cmd_wc},
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
    context.err += "Try '" + std::string(command) + " --help' for more information.\n";
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
                 const std::function<void(const std::string&, std::string_view)>& use) {
    static const std::string kStdin = "-";
    if (operands.empty()) {
        use(kStdin, context.input);
        return true;
    }
    bool ok = true;
    for (const auto& operand : operands) {
        if (operand == "-") {
            use(operand, context.input);
        } else {
            auto text = read_file(context.terminal, operand);
            if (!text) {
                context.error(command, operand + ": " + text.error());
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
