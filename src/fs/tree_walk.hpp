#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fs/file_system.hpp"

namespace ovaline::fs {

// One directory of a walk: its path, and the names of its subdirectories and of its
// other entries, each in creation order.
struct WalkStep {
    std::string path;
    std::vector<std::string> directories;
    std::vector<std::string> files;
};

// A top-down walk over a directory tree that lists one directory per step, so it
// holds no lock between steps and costs memory in proportion to the pending
// directories only. Directories that vanish before their turn are skipped; a missing
// top gives an empty walk.
class TreeWalk {
  public:
    TreeWalk(std::shared_ptr<const FileSystem> fs, std::string top);

    // The next directory, or nothing once the walk is over.
    std::optional<WalkStep> next();
    // Which subdirectories of the last step's directory to visit, in this order, before
    // the rest of the walk; without a call none of them is.
    void descend(std::span<const std::string> names);

  private:
    struct Pending {
        InodeId id;
        std::string path;
    };

    std::shared_ptr<const FileSystem> fs_;
    std::vector<Pending> stack_;
    std::optional<Pending> last_;
};

// `path` and `name` joined with one "/" between them.
std::string join_path(std::string_view path, std::string_view name);

} // namespace ovaline::fs
