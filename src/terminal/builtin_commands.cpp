#include "terminal/builtin_commands.hpp"

#include <cstdint>
#include <vector>

#include "terminal/commands.hpp"
#include "terminal/utf8_lossy.hpp"

namespace ovaline::terminal {

namespace {

std::string cannot_access(std::string_view command, std::string_view what,
                          const fs::IoError& error) {
    return std::string(command) + ": cannot access '" + std::string(what) + "': " + error.message();
}

// mkdir and touch differ only in the kind they create and in their texts.
int create_entry(CommandContext& context, std::span<const std::string> words,
                 std::string_view command, std::string_view what, fs::INodeKind (*make_kind)()) {
    if (words.empty()) {
        return fail(context, std::string(command) + ": missing argument");
    }
    const std::string& arg = words[0];
    const std::size_t separator = arg.find_last_of("/\\");
    const std::string_view name = separator == std::string::npos
                                      ? std::string_view(arg)
                                      : std::string_view(arg).substr(separator + 1);
    const std::string_view prefix = separator == std::string::npos
                                        ? std::string_view()
                                        : std::string_view(arg).substr(0, separator);

    fs::InodeId parent = context.terminal.current_dir;
    if (!prefix.empty()) {
        auto target = context.terminal.get_target_inode(prefix);
        if (!target) {
            return fail(context, std::move(target.error()));
        }
        parent = *target;
    } else if (arg.starts_with('/')) {
        parent = fs::FileSystem::kRoot;
    }

    const std::string parent_id = std::to_string(parent);
    auto is_dir = context.terminal.filesystem->is_directory_raw(parent);
    if (!is_dir) {
        return fail(context, cannot_access(command, parent_id, is_dir.error()));
    }
    if (!*is_dir) {
        return fail(context, std::string(command) + ": " + parent_id + ": Not a directory");
    }
    auto created =
        context.terminal.filesystem->create_inode(parent, std::string(name), make_kind());
    if (!created) {
        return fail(context, std::string(command) + ": cannot create " + std::string(what) + " '" +
                                 arg + "': " + created.error().message());
    }
    return 0;
}

} // namespace

int cmd_cd(CommandContext& context, std::span<const std::string> words) {
    if (words.empty()) {
        return fail(context, "cd: missing argument");
    }
    const std::string& arg = words[0];
    auto target = context.terminal.get_target_inode(arg);
    if (!target) {
        return fail(context, "cd: cannot access '" + arg + "': " + target.error());
    }
    auto is_dir = context.terminal.filesystem->is_directory_raw(*target);
    if (!is_dir) {
        return fail(context, cannot_access("cd", arg, is_dir.error()));
    }
    if (!*is_dir) {
        return fail(context, "cd: " + arg + ": Not a directory");
    }
    context.terminal.current_dir = *target;
    return 0;
}

int cmd_ls(CommandContext& context, std::span<const std::string> words) {
    fs::InodeId target = context.terminal.current_dir;
    if (!words.empty()) {
        auto found = context.terminal.get_target_inode(words[0]);
        if (!found) {
            return fail(context, std::move(found.error()));
        }
        target = *found;
    }
    const std::string id = std::to_string(target);
    auto is_dir = context.terminal.filesystem->is_directory_raw(target);
    if (!is_dir) {
        return fail(context, cannot_access("ls", id, is_dir.error()));
    }
    if (!*is_dir) {
        return fail(context, "ls: " + id + ": Not a directory");
    }
    auto listing = context.terminal.filesystem->ls_raw(target);
    if (!listing) {
        return fail(context, cannot_access("ls", id, listing.error()));
    }
    std::string output;
    for (const auto& name : listing->files) {
        output += name;
        output += '\n';
    }
    for (const auto& name : listing->directories) {
        output += name;
        output += "/\n";
    }
    context.write(output);
    return 0;
}

int cmd_pwd(CommandContext& context, std::span<const std::string>) {
    auto path = context.terminal.filesystem->get_path_by_inode(context.terminal.current_dir);
    if (!path) {
        return fail(context, cannot_access("pwd", std::to_string(context.terminal.current_dir),
                                           path.error()));
    }
    context.write(*path);
    return 0;
}

int cmd_cat(CommandContext& context, std::span<const std::string> words) {
    if (words.empty()) {
        return fail(context, "cat: missing argument");
    }
    const std::string& arg = words[0];
    auto target = context.terminal.get_target_inode(arg);
    if (!target) {
        return fail(context, std::move(target.error()));
    }
    auto is_file = context.terminal.filesystem->is_file_raw(*target);
    if (!is_file) {
        return fail(context, cannot_access("cat", arg, is_file.error()));
    }
    if (!*is_file) {
        return fail(context, "cat: " + arg + ": Is a directory");
    }
    auto contents = context.terminal.filesystem->read_file_raw(*target);
    if (!contents) {
        return fail(context, cannot_access("cat", arg, contents.error()));
    }
    context.write(utf8_lossy(*contents));
    return 0;
}

int cmd_mkdir(CommandContext& context, std::span<const std::string> words) {
    return create_entry(context, words, "mkdir", "directory",
                        [] { return fs::INodeKind(fs::Directory{}); });
}

int cmd_touch(CommandContext& context, std::span<const std::string> words) {
    return create_entry(context, words, "touch", "file", [] { return fs::INodeKind(fs::File{}); });
}

int cmd_echo(CommandContext& context, std::span<const std::string> words) {
    std::string output;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            output += ' ';
        }
        output += words[i];
    }
    context.write(output);
    return 0;
}

int cmd_help(CommandContext& context, std::span<const std::string>) {
    std::string output;
    for (const auto& name : commands().names()) {
        output += name;
        output += '\n';
    }
    context.write(output);
    return 0;
}

} // namespace ovaline::terminal
