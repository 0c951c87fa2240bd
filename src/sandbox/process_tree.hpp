#pragma once

#include <sys/types.h>
#include <vector>

namespace ovaline::sandbox {

// The children of every thread of `pid`, as the kernel lists them; none when it is gone.
std::vector<pid_t> children_of(pid_t pid);

// The first child of `pid`, or -1: the program of an init that starts only one.
pid_t first_child(pid_t pid);

} // namespace ovaline::sandbox
