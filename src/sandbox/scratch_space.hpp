#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>

namespace ovaline::sandbox {

// Every place a sandboxed account may write, in one size-limited memory filesystem: its
// home, /tmp, /var/tmp and /dev/shm together hold at most `bytes`, and all of it goes
// at once when the space is closed. The home is also bound at its usual host path, so
// the host copies files in and out where it always does.
class ScratchSpace {
  public:
    // Mounts the space at `dir` (made here, below an existing directory) and binds its
    // home over `home`, an existing directory; without `bytes` only memory bounds it. The
    // errno and a message naming the failed step on failure.
    static std::expected<ScratchSpace, std::pair<int, std::string>>
    create(std::string dir, std::string home, std::optional<std::uint64_t> bytes, uid_t uid,
           gid_t gid);
    // Takes down what a space of an owner that died left mounted at `dir` and `home`.
    static void detach_stale(const std::string& dir, const std::string& home);

    ScratchSpace(ScratchSpace&& other) noexcept;
    ScratchSpace& operator=(ScratchSpace&&) = delete;
    ~ScratchSpace() { close(); }

    // The host directories seen inside as /tmp, /var/tmp and /dev/shm.
    std::string tmp() const { return dir_ + "/tmp"; }
    std::string var_tmp() const { return dir_ + "/var-tmp"; }
    std::string shm() const { return dir_ + "/shm"; }

    // Detaches both mounts; whatever still has a file open keeps only that file.
    void close() noexcept;

  private:
    ScratchSpace(std::string dir, std::string home)
        : dir_(std::move(dir)), home_(std::move(home)) {}

    std::string dir_;
    std::string home_; // empty once closed or moved from
};

} // namespace ovaline::sandbox
