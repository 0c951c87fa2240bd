#pragma once

#include <sys/types.h>

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "fs/file_system.hpp"
#include "sandbox/unique_fd.hpp"

namespace ovaline::bridge {

// How a tree is served through the kernel.
struct LiveMountOptions {
    bool read_only = false;
    // Who owns every entry as programs see it; files are 0644, directories 0755.
    uid_t owner_uid = 0;
    gid_t owner_gid = 0;
    // Threads serving requests; each takes one request at a time, so no queue grows
    // here: what waits, waits in the kernel.
    unsigned threads = 3;
};

// Why a mount could not be made: the errno and what it concerns (the mount point, or
// /dev/fuse).
struct LiveMountError {
    int number;
    std::string what;
};

// A tree served through FUSE, so that real programs see it as a directory. Requests are
// answered on the mount's own threads, which take only the tree's per-inode locks.
// The kernel keeps names and attributes it was sent, and the mount, observing the tree,
// tells it what went stale as each change made another way completes, so a change made
// either way is seen the other way at once. An open through the mount claims the
// file's lock as a handle does, until the close that ends it; a claim the lock refuses
// is EBUSY.
//
// Through the mount an entry's inode number is its id plus one, FUSE numbering the root
// 1. Modes and owners cannot be changed (chmod and chown succeed without effect);
// utimens sets the modification time. Devices, FIFOs, sockets, symbolic and hard links
// cannot be made: EPERM. A name the tree cannot hold (one with a backslash) is EINVAL;
// a limit of the tree is ENOSPC.
//
// If the process dies, the kernel sees the /dev/fuse descriptor close and aborts the
// connection: programs using the mount get ENOTCONN rather than waiting. A child made by
// fork() closes its copy of the descriptor at once and leaves the mount to its parent.
// A mount left dead is detached by the next mount at the same place.
class LiveMount {
  public:
    // Mounts `fs` at `path`, an existing empty directory (needs CAP_SYS_ADMIN).
    static std::expected<std::unique_ptr<LiveMount>, LiveMountError>
    mount(std::shared_ptr<fs::FileSystem> fs, std::string path, LiveMountOptions options);
    // Serves `fs` on a /dev/fuse descriptor the caller has mounted already, with
    // mount_options() for its data, perhaps in another mount namespace. `path` is where
    // unmount() detaches it in the caller's namespace; empty when the caller unmounts.
    // `detach`, when given, takes the mount down instead of an unmount at `path`, which
    // then only names it (a mount in another namespace, say); it runs once, at unmount().
    static std::expected<std::unique_ptr<LiveMount>, LiveMountError>
    serve(std::shared_ptr<fs::FileSystem> fs, sandbox::UniqueFd fuse_fd, std::string path,
          LiveMountOptions options, std::function<void()> detach = {});
    // The data argument of mount(2) for a FUSE mount served on `fuse_fd`.
    static std::string mount_options(int fuse_fd, const LiveMountOptions& options);

    ~LiveMount();
    LiveMount(const LiveMount&) = delete;
    LiveMount& operator=(const LiveMount&) = delete;

    // Detaches the mount, stops serving and gives back every claim still open through
    // it. Programs still inside a busy mount get ENOTCONN. Idempotent.
    void unmount();
    bool mounted() const;
    const std::string& path() const;
    bool read_only() const;

    // Unmounts every mount this process serves, as it exits.
    static void unmount_all();

    class Server;

  private:
    explicit LiveMount(std::unique_ptr<Server> server);
    std::unique_ptr<Server> server_;
};

} // namespace ovaline::bridge
