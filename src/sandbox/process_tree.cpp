#include "sandbox/process_tree.hpp"

#include <dirent.h>
#include <fstream>
#include <string>

namespace ovaline::sandbox {

std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) {
        return children;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream list(tasks + "/" + entry->d_name + "/children");
        for (pid_t child; list >> child;) {
            children.push_back(child);
        }
    }
    ::closedir(dir);
    return children;
}

pid_t first_child(pid_t pid) {
    const auto children = children_of(pid);
    return children.empty() ? -1 : children.front();
}

} // namespace ovaline::sandbox
