#include "shell/paths.hpp"

#include <cstdint>
#include <limits>
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

std::expected<FileReader, std::string> FileReader::open(const terminal::TerminalContext& context,
                                                        std::string_view path) {
    auto id = resolve_path(context, path);
    auto handle = id ? fs::FileSystem::open_raw(context.filesystem, *id,
                                                fs::FileHandleType(fs::FileHandleType::READ))
                     : fs::IoResult<fs::FileHandle>(std::unexpected(id.error()));
    if (!handle) {
        return std::unexpected(error_text(handle.error()));
    }
    auto size = handle->size();
    if (!size) {
        return std::unexpected(error_text(size.error()));
    }
    return FileReader(std::move(*handle), *size);
}

std::expected<std::string, std::string> FileReader::read(std::uint64_t offset,
                                                         std::size_t size) const {
    std::string text;
    auto viewed = handle_.view_at(offset, size, [&](std::span<const std::uint8_t> bytes) {
        text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    });
    if (!viewed) {
        return std::unexpected(error_text(viewed.error()));
    }
    return text;
}

std::expected<void, std::string>
FileReader::view(const std::function<void(std::string_view)>& visit) const {
    auto viewed = handle_.view_at(0, size_, [&](std::span<const std::uint8_t> bytes) {
        visit(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    });
    if (!viewed) {
        return std::unexpected(error_text(viewed.error()));
    }
    return {};
}

std::expected<std::string, std::string> read_file(const terminal::TerminalContext& context,
                                                  std::string_view path) {
    auto reader = FileReader::open(context, path);
    if (!reader) {
        return std::unexpected(reader.error());
    }
    return reader->read(0, std::numeric_limits<std::size_t>::max());
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
