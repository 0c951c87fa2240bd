#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovaline::fs {

// A tree held outside any filesystem: what is read out of one to be written elsewhere,
// or built from elsewhere to be attached to one in a single step.
struct DetachedNode {
    enum class Kind : std::uint8_t { File, Directory, Symlink };

    std::string name;
    Kind kind = Kind::File;
    // A file's contents.
    std::vector<std::uint8_t> data;
    // A directory's entries, in creation order.
    std::vector<DetachedNode> children;
    // When it last changed, in nanoseconds since the epoch; 0 for the time it is attached.
    std::int64_t mtime_ns = 0;
};

} // namespace ovaline::fs
