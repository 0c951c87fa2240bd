#include "sandbox/unique_fd.hpp"

#include <string_view>

#include <dirent.h>

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

std::expected<std::vector<std::string>, int> names_in(int dir) {
    // A copy, so the caller's descriptor keeps its place and stays open.
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    DIR* stream = copy < 0 ? nullptr : ::fdopendir(copy);
    if (stream == nullptr) {
        const int err = errno;
        if (copy >= 0) {
            ::close(copy);
        }
        return std::unexpected(err);
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
        errno = 0;
    }
    const int err = errno;
    ::closedir(stream);
    if (err != 0) {
        return std::unexpected(err);
    }
    return names;
}

} // namespace ovaline::sandbox
