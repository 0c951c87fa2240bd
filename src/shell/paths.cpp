#include "shell/paths.hpp"

#include <cstdint>
#include <vector>

#include "fs/file_handle.hpp"

namespace ovaline::shell {

namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Splits at the last "/": the directory part ("" for the current one) and the name.
std::pair<std::string_view, std::string_view> split_parent(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {"", path};
    }
    return {slash == 0 ? std::string_view("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// The path as the core resolves it from the current directory. Only "/" starts a path
// at the root here; a leading "\" is an empty step, which the core would take for the
// root.
std::string_view core_path(std::string_view path) {
    if (path.starts_with('/')) {
        return path;
    }
    const std::size_t start = path.find_first_not_of("/\\");
    return start == std::string_view::npos ? std::string_view() : path.substr(start);
}

} // namespace

fs::IoResult<fs::InodeId> resolve_path(const terminal::TerminalContext& context,
                                       std::string_view path) {
    // An empty operand names nothing, as in any shell.
    if (path.empty()) {
        return std::unexpected(fs::IoErrorKind::InodeNotFound);
    }
    auto found = context.filesystem->resolve_at(context.current_dir, core_path(path));
    if (!found) {
        return std::unexpected(found.error());
    }
    // "f/" names a directory, so a file there is an error.
    if (path.ends_with('/') && !std::holds_alternative<fs::Directory>((*found)->data)) {
        return std::unexpected(fs::IoErrorKind::NotADirectory);
    }
    return (*found)->id;
}

fs::IoResult<void> rename_path(const terminal::TerminalContext& context, std::string_view source,
                               std::string_view destination) {
    return context.filesystem->rename(core_path(source), core_path(destination), true,
                                      context.current_dir);
}

fs::IoResult<void> copy_tree(const terminal::TerminalContext& context, std::string_view source,
                             std::string_view destination) {
    return context.filesystem->copy(core_path(source), core_path(destination), true,
                                    context.current_dir);
}

std::string error_text(const fs::IoError& error) {
    switch (error.kind()) {
    case fs::IoErrorKind::InodeNotFound:
        return "No such file or directory";
    case fs::IoErrorKind::NotADirectory:
        return "Not a directory";
    case fs::IoErrorKind::NotAFile:
        return "Is a directory";
    case fs::IoErrorKind::ResourceAlreadyExists:
        return "File exists";
    case fs::IoErrorKind::DirectoryIsNotEmpty:
        return "Directory not empty";
    case fs::IoErrorKind::ResourceCurrentInUse:
        return "Device or resource busy";
    case fs::IoErrorKind::MaxRecursionDepthExceeded:
        return "Too many levels of symbolic links";
    default:
        return error.message();
    }
}

std::expected<std::string, std::string> read_file(const terminal::TerminalContext& context,
                                                  std::string_view path) {
    auto id = resolve_path(context, path);
    auto bytes = id ? context.filesystem->read_file_raw(*id)
                    : fs::IoResult<std::vector<std::uint8_t>>(std::unexpected(id.error()));
    if (!bytes) {
        return std::unexpected(error_text(bytes.error()));
    }
    return std::string(bytes->begin(), bytes->end());
}

fs::IoResult<fs::InodeId> create_at(const terminal::TerminalContext& context, std::string_view path,
                                    fs::INodeKind kind) {
    auto [dir, name] = split_parent(path);
    auto parent =
        dir.empty() ? fs::IoResult<fs::InodeId>(context.current_dir) : resolve_path(context, dir);
    if (!parent) {
        return parent;
    }
    auto is_dir = context.filesystem->is_directory_raw(*parent);
    if (!is_dir) {
        return std::unexpected(is_dir.error());
    }
    if (!*is_dir) {
        return std::unexpected(fs::IoErrorKind::NotADirectory);
    }
    return context.filesystem->create_inode(*parent, std::string(name), std::move(kind));
}

std::expected<void, std::string> write_file(const terminal::TerminalContext& context,
                                            std::string_view path, std::string_view text,
                                            bool append) {
    auto id = resolve_path(context, path);
    if (id) {
        auto is_file = context.filesystem->is_file_raw(*id);
        if (!is_file || !*is_file) {
            return std::unexpected(is_file ? "Is a directory" : error_text(is_file.error()));
        }
    }
    if (!id) {
        if (id.error().kind() != fs::IoErrorKind::InodeNotFound || path.ends_with('/')) {
            return std::unexpected(error_text(id.error()));
        }
        id = create_at(context, path, fs::File{});
        if (!id) {
            return std::unexpected(error_text(id.error()));
        }
    }
    auto handle = fs::FileSystem::open_raw(context.filesystem, *id,
                                           fs::FileHandleType(fs::FileHandleType::WRITE));
    if (!handle) {
        return std::unexpected(error_text(handle.error()));
    }
    if (!append) {
        if (auto r = handle->truncate(0); !r) {
            return std::unexpected(error_text(r.error()));
        }
    }
    if (auto r = handle->seek(fs::SeekOrigin::End, 0); !r) {
        return std::unexpected(error_text(r.error()));
    }
    if (auto r = handle->write(as_bytes(text)); !r) {
        return std::unexpected(error_text(r.error()));
    }
    if (auto r = handle->close(); !r) {
        return std::unexpected(error_text(r.error()));
    }
    return {};
}

} // namespace ovaline::shell
