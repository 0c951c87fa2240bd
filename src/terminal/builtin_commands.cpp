#include "terminal/builtin_commands.hpp"

#include <cstdint>
#include <vector>

#include "fs/file_handle.hpp"
#include "terminal/commands.hpp"
#include "terminal/utf8_lossy.hpp"

namespace ovaline::terminal {

namespace {

std::unexpected<std::string> fail(std::string message) {
    return std::unexpected(std::move(message));
}

std::string cannot_access(std::string_view command, std::string_view what,
                          const fs::IoError& error) {
    return std::string(command) + ": cannot access '" + std::string(what) + "': " + error.message();
}

// Reads the whole file behind an open read handle.
fs::IoResult<std::vector<std::uint8_t>> read_all(fs::FileHandle& handle) {
    if (auto r = handle.seek(fs::SeekOrigin::End, 0); !r) {
        return std::unexpected(r.error());
    }
    const std::uint64_t size = handle.offset();
    if (auto r = handle.seek(fs::SeekOrigin::Start, 0); !r) {
        return std::unexpected(r.error());
    }
    std::vector<std::uint8_t> buffer(size);
    auto got = handle.read(buffer);
    if (!got) {
        return std::unexpected(got.error());
    }
    // Keep only what was read, should the file ever come up short.
    buffer.resize(*got);
    return buffer;
}

// mkdir and touch differ only in the kind they create and in their texts.
CommandResult create_entry(TerminalContext& context, std::span<const std::string> words,
                           std::string_view command, std::string_view what,
                           fs::INodeKind (*make_kind)()) {
    if (words.empty()) {
        return fail(std::string(command) + ": missing argument");
    }
    const std::string& arg = words[0];
    const std::size_t separator = arg.find_last_of("/\\");
    const std::string_view name = separator == std::string::npos
                                      ? std::string_view(arg)
                                      : std::string_view(arg).substr(separator + 1);
    const std::string_view prefix = separator == std::string::npos
                                        ? std::string_view()
                                        : std::string_view(arg).substr(0, separator);

    fs::InodeId parent = context.current_dir;
    if (!prefix.empty()) {
        auto target = context.get_target_inode(prefix);
        if (!target) {
            return fail(std::move(target.error()));
        }
        parent = *target;
    } else if (arg.starts_with('/')) {
        parent = fs::FileSystem::kRoot;
    }

    const std::string parent_id = std::to_string(parent);
    auto is_dir = context.filesystem->is_directory_raw(parent);
    if (!is_dir) {
        return fail(cannot_access(command, parent_id, is_dir.error()));
    }
    if (!*is_dir) {
        return fail(std::string(command) + ": " + parent_id + ": Not a directory");
    }
    auto created = context.filesystem->create_inode(parent, std::string(name), make_kind());
    if (!created) {
        return fail(std::string(command) + ": cannot create " + std::string(what) + " '" + arg +
                    "': " + created.error().message());
    }
    return std::string();
}

} // namespace

CommandResult cmd_cd(TerminalContext& context, std::span<const std::string> words) {
    if (words.empty()) {
        return fail("cd: missing argument");
    }
    const std::string& arg = words[0];
    auto target = context.get_target_inode(arg);
    if (!target) {
        return fail("cd: cannot access '" + arg + "': " + target.error());
    }
    auto is_dir = context.filesystem->is_directory_raw(*target);
    if (!is_dir) {
        return fail(cannot_access("cd", arg, is_dir.error()));
    }
    if (!*is_dir) {
        return fail("cd: " + arg + ": Not a directory");
    }
    context.current_dir = *target;
    return std::string();
}

CommandResult cmd_ls(TerminalContext& context, std::span<const std::string> words) {
    fs::InodeId target = context.current_dir;
    if (!words.empty()) {
        auto found = context.get_target_inode(words[0]);
        if (!found) {
            return fail(std::move(found.error()));
        }
        target = *found;
    }
    const std::string id = std::to_string(target);
    auto is_dir = context.filesystem->is_directory_raw(target);
    if (!is_dir) {
        return fail(cannot_access("ls", id, is_dir.error()));
    }
    if (!*is_dir) {
        return fail("ls: " + id + ": Not a directory");
    }
    auto listing = context.filesystem->ls_raw(target);
    if (!listing) {
        return fail(cannot_access("ls", id, listing.error()));
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
    return output;
}

CommandResult cmd_pwd(TerminalContext& context, std::span<const std::string>) {
    auto path = context.filesystem->get_path_by_inode(context.current_dir);
    if (!path) {
        return fail(cannot_access("pwd", std::to_string(context.current_dir), path.error()));
    }
    return std::move(*path);
}

CommandResult cmd_cat(TerminalContext& context, std::span<const std::string> words) {
    if (words.empty()) {
        return fail("cat: missing argument");
    }
    const std::string& arg = words[0];
    auto target = context.get_target_inode(arg);
    if (!target) {
        return fail(std::move(target.error()));
    }
    auto is_file = context.filesystem->is_file_raw(*target);
    if (!is_file) {
        return fail(cannot_access("cat", arg, is_file.error()));
    }
    if (!*is_file) {
        return fail("cat: " + arg + ": Is a directory");
    }
    auto handle = fs::FileSystem::open_raw(context.filesystem, *target,
                                           fs::FileHandleType(fs::FileHandleType::READ));
    if (!handle) {
        return fail(cannot_access("cat", arg, handle.error()));
    }
    auto contents = read_all(*handle);
    // Close before returning on every path, so the reader lock is never kept.
    auto closed = handle->close();
    if (!contents) {
        return fail(cannot_access("cat", arg, contents.error()));
    }
    if (!closed) {
        return fail(cannot_access("cat", arg, closed.error()));
    }
    return utf8_lossy(*contents);
}

CommandResult cmd_mkdir(TerminalContext& context, std::span<const std::string> words) {
    return create_entry(context, words, "mkdir", "directory",
                        [] { return fs::INodeKind(fs::Directory{}); });
}

CommandResult cmd_touch(TerminalContext& context, std::span<const std::string> words) {
    return create_entry(context, words, "touch", "file", [] { return fs::INodeKind(fs::File{}); });
}

CommandResult cmd_echo(TerminalContext&, std::span<const std::string> words) {
    std::string output;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            output += ' ';
        }
        output += words[i];
    }
    return output;
}

CommandResult cmd_help(TerminalContext&, std::span<const std::string>) {
    std::string output;
    for (const auto& entry : commands()) {
        output += entry.first;
        output += '\n';
    }
    return output;
}

} // namespace ovaline::terminal
