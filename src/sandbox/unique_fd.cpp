#include "sandbox/unique_fd.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ovaline::sandbox {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void UniqueFd::reset() {
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::expected<PipeEnds, int> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::unexpected(errno);
    }
    return PipeEnds{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

} // namespace ovaline::sandbox
