#pragma once

#include <expected>
#include <string>
#include <vector>

namespace ovaline::sandbox {

// A host path that appears inside a private root.
struct Bind {
    std::string source; // absolute host path: a directory or a file
    std::string target; // absolute path inside the root
    bool writable = false;
};

// What a private root holds beyond the host's programs and libraries.
struct RootOptions {
    // An existing empty host directory the root is assembled on; in the program's own
    // mount namespace only, so one directory serves every root at once.
    std::string staging;
    // Mounted in order after the fixed parts, so a bind may land inside another.
    std::vector<Bind> binds;
    std::string hostname;
};

// The steps that turn a fresh mount namespace into a root of its own: the host's
// programs and libraries and the configuration they read, read-only and without setuid;
// a minimal /dev; a /proc of the namespace's own processes; the binds; nothing else of
// the host. Everything that allocates or looks at the host happens in make(); apply()
// only makes system calls, so a child forked from a threaded process may run it.
class RootPlan {
  public:
    // A message naming the path that cannot be used, on failure.
    static std::expected<RootPlan, std::string> make(const RootOptions& options);
    // Only the binds, in order, over the host's tree as the namespace sees it: for a
    // program that keeps the host's view but has places of its own in it.
    static std::expected<RootPlan, std::string> overlay(const std::vector<Bind>& binds);

    // Run as root by the first process of new mount, PID and UTS namespaces: builds the
    // root, moves into it and leaves the host's tree behind (or only binds, for an
    // overlay). Returns 0 or the errno of the failed step.
    int apply() const noexcept;

  private:
    enum class Op { Mkdir, File, Symlink, Mount, Remount, Pivot, Hostname };
    struct Step {
        Op op;
        std::string path;   // the directory, file, link or mount point
        std::string source; // a mount's source, a link's target, the pivot's old root
        std::string fstype;
        unsigned long flags = 0;
        std::string data;
    };
    void add(Op op, std::string path, std::string source = {}, std::string fstype = {},
             unsigned long flags = 0, std::string data = {});
    void make_dirs(const std::string& path);
    std::expected<void, std::string> bind(const Bind& bind);

    std::string staging_;
    std::vector<Step> steps_;
};

} // namespace ovaline::sandbox
