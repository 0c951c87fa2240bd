#include "terminal/terminal_context.hpp"

namespace ovaline::terminal {

std::expected<fs::InodeId, std::string>
TerminalContext::get_target_inode(std::string_view path) const {
    fs::InodeId start = current_dir;
    if (path.starts_with('/')) {
        path.remove_prefix(1);
        start = fs::FileSystem::kRoot;
    }
    // The rest is one name, never split at separators.
    auto found = filesystem->find_inode_by_name(start, path);
    if (!found) {
        return std::unexpected(std::string(path) + ": " + found.error().message());
    }
    return *found;
}

} // namespace ovaline::terminal
