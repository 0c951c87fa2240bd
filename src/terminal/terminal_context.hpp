#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "fs/file_system.hpp"

namespace ovaline::terminal {

// The state that commands read and change.
struct TerminalContext {
    std::shared_ptr<fs::FileSystem> filesystem;
    // An id, not a path: it is never re-validated, so it may name a removed inode.
    fs::InodeId current_dir = fs::FileSystem::kRoot;

    // Resolves a command's path argument: one name under the current directory, or
    // under the root when it begins with "/". Fails with a ready message naming the
    // path without that "/".
    std::expected<fs::InodeId, std::string> get_target_inode(std::string_view path) const;
};

} // namespace ovaline::terminal
