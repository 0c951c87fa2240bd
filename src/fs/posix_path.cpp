#include "fs/posix_path.hpp"

#include <cerrno>

#include "fs/file_system.hpp"

namespace ovaline::fs {
namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

} // namespace

std::expected<PosixPath, int> check_posix_path(const FileSystem& fs, std::string_view path) {
    if (path.empty()) {
        return std::unexpected(ENOENT);
    }
    // First pass: names too long, and whether any prefix must be a directory.
    bool needs_lookup = false;
    for (std::size_t start = 0; start < path.size();) {
        std::size_t end = start;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        const std::string_view name = path.substr(start, end - start);
        if (name.size() > kMaxNameBytes) {
            return std::unexpected(ENAMETOOLONG);
        }
        needs_lookup = needs_lookup || name == "." || name == "..";
        start = end + 1;
    }
    needs_lookup = needs_lookup || is_separator(path.back());
    PosixPath checked{path, false};
    while (checked.path.size() > 1 && is_separator(checked.path.back())) {
        checked.path.remove_suffix(1);
        checked.directory_only = true;
    }
    if (!needs_lookup) {
        return checked;
    }
    // Every prefix followed by a separator, "." or ".." must not be a file.
    for (std::size_t end = 0; end < path.size(); ++end) {
        if (!is_separator(path[end]) || end == 0 || is_separator(path[end - 1])) {
            continue;
        }
        std::size_t next = end + 1;
        while (next < path.size() && is_separator(path[next])) {
            ++next;
        }
        std::size_t next_end = next;
        while (next_end < path.size() && !is_separator(path[next_end])) {
            ++next_end;
        }
        const std::string_view following = path.substr(next, next_end - next);
        if (next != path.size() && following != "." && following != "..") {
            continue;
        }
        const IoResult<NodeKind> kind = fs.kind(path.substr(0, end));
        if (!kind) {
            break;
        }
        if (*kind == NodeKind::File) {
            return std::unexpected(ENOTDIR);
        }
    }
    return checked;
}

} // namespace ovaline::fs
