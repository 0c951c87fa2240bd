#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/file_system.hpp"

namespace ovaline::fs {

// How a pattern is read: by default from the root, "\" separating components as "/"
// does and `**` recursive; a shell reads it from its current directory, with backslash
// quoting and no `**`.
struct GlobOptions {
    // Where a pattern that does not start with a separator starts; its paths are
    // relative to it.
    InodeId dir = FileSystem::kRoot;
    // A backslash quotes the next character, so only "/" separates components.
    bool escapes = false;
    // `**` alone stands for any number of directories; otherwise it is `*`.
    bool recursive = true;
};

// The paths that match `pattern`, sorted. Each component matches names by its
// wildcards (`*`, `?`, `[...]`); a component without any is taken as it is written.
// Names starting with a dot match only a component that starts with one (quoted or
// not). A pattern starting with a separator gives paths from the root; one ending with
// a separator matches directories only, and their paths end with "/".
std::vector<std::string> glob(const FileSystem& fs, std::string_view pattern,
                              const GlobOptions& options = {});

} // namespace ovaline::fs
