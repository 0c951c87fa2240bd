#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/file_system.hpp"

namespace ovaline::fs {

// The paths that match `pattern`, sorted. Each component matches names by its
// wildcards (`*`, `?`, `[...]`); a component without any is taken as it is written, and
// `**` alone stands for any number of directories, none included. Names starting with
// a dot match only a component that starts with one. A pattern starting with a
// separator gives paths from the root, any other paths relative to it; one ending with
// a separator matches directories only, and their paths end with "/".
std::vector<std::string> glob(const FileSystem& fs, std::string_view pattern);

} // namespace ovaline::fs
