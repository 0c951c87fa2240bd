#include "shell/file_commands.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <functional>
#include <optional>

#include "fs/name_pattern.hpp"
#include "shell/commands.hpp"
#include "shell/options.hpp"
#include "shell/paths.hpp"

namespace ovaline::shell {

namespace {

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

} // namespace

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
        // The device names lead to the streams, not to the tree.
        if (operand == "/dev/null") {
            continue;
        }
        if (operand == "/dev/stdout" || operand == "/dev/stderr") {
            (operand == "/dev/stdout" ? context.out : context.err) += context.input;
            continue;
        }
        if (auto written = write_file(context.terminal, operand, context.input, options->has('a'));
            !written) {
            context.error("tee", operand + ": " + written.error());
            status = 1;
        }
    }
    context.used_input = true;
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

namespace {

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

} // namespace

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

namespace {

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

} // namespace

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

} // namespace ovaline::shell
