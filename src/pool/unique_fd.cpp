#include "pool/unique_fd.hpp"

#include <unistd.h>

namespace ovaline::pool {

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

} // namespace ovaline::pool
