#pragma once

#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace ovaline::sandbox {

// Sole owner of one file descriptor; closes it when dropped.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

  private:
    int fd_ = -1;
};

// The two ends of a new pipe, both closed on exec, so a pipe never leaks into a
// program that another thread starts; the errno when it cannot be made.
struct PipeEnds {
    UniqueFd read;
    UniqueFd write;
};
std::expected<PipeEnds, int> make_pipe();

// The names in the directory `dir` (left open and where it was), without "." and "..", in
// the order the directory gives them; the errno on failure.
std::expected<std::vector<std::string>, int> names_in(int dir);

} // namespace ovaline::sandbox
