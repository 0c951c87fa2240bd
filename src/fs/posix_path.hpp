#pragma once

// The rules os applies to a path before it reaches a directory tree, for the methods that
// speak os. The tree's own resolution is more lenient: it takes "" as the root, and "/",
// "." or ".." after a file as if the file were a directory.

#include <cstddef>
#include <expected>
#include <string_view>

namespace ovaline::fs {

class FileSystem;

// The longest name a host directory can hold, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

struct PosixPath {
    // The path without its trailing separators (the root stays as given).
    std::string_view path;
    // It ended in a separator, so it must name a directory.
    bool directory_only = false;
};

// The path as the tree may resolve it, or the errno os gives: ENOENT for the empty path,
// ENAMETOOLONG for a name over 255 bytes, ENOTDIR where a file is followed by a
// separator, "." or "..". Lookups happen only for paths holding "." or ".." or ending in a
// separator; a prefix that does not resolve is left for the operation to report.
std::expected<PosixPath, int> check_posix_path(const FileSystem& fs, std::string_view path);

} // namespace ovaline::fs
