#include "error/io_error.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace ovaline::error {

namespace {

struct KindText {
    std::string_view name;
    std::string_view message;
};

constexpr std::array<KindText, 13> kKinds{{
    {"InodeNotFound", "Inode not found"},
    {"NotADirectory", "The specified INode is not a directory"},
    {"NotAFile", "The specified INode is not a file"},
    {"NotASymlink", "The specified INode is not a symlink"},
    {"MaxRecursionDepthExceeded", "Maximum filesystem depth exceeded"},
    {"ResourceAlreadyExists", "Resource already exists"},
    {"DirectoryIsNotEmpty", "Directory is not empty"},
    {"ResourceCurrentInUse", "Resource is currently in use"},
    {"UnrecognizedFileMode", "Unrecognized file mode"},
    {"OperationNotSupported", "File does not support the specified operation: "},
    {"InvalidFileDescriptor", "Invalid file descriptor"},
    {"NoSpaceLeft", "No space left in the filesystem"},
    {"MoveIntoItself", "Cannot move or copy a directory into itself"},
}};

const KindText& text_of(IoErrorKind kind) {
    return kKinds[static_cast<std::size_t>(kind)];
}

} // namespace

std::string IoError::message() const {
    std::string out(text_of(kind_).message);
    if (kind_ == IoErrorKind::OperationNotSupported) {
        out += detail_;
    }
    return out;
}

std::string IoError::debug() const {
    std::string out(text_of(kind_).name);
    if (kind_ == IoErrorKind::OperationNotSupported) {
        out += "(\"";
        out += detail_;
        out += "\")";
    }
    return out;
}

bool operator==(const IoError& a, const IoError& b) {
    return a.kind_ == b.kind_ && (a.kind_ != IoErrorKind::OperationNotSupported ||
                                  std::strcmp(a.detail_, b.detail_) == 0);
}

// The errno an os function reports for the kind; none for a closed handle and a mode
// that is not understood, which io reports as plain ValueError.
std::optional<int> errno_of(IoErrorKind kind) {
    switch (kind) {
    case IoErrorKind::InodeNotFound:
        return ENOENT;
    case IoErrorKind::NotADirectory:
        return ENOTDIR;
    case IoErrorKind::NotAFile:
        return EISDIR;
    case IoErrorKind::NotASymlink:
    case IoErrorKind::MoveIntoItself:
        return EINVAL;
    case IoErrorKind::MaxRecursionDepthExceeded:
        return ENAMETOOLONG;
    case IoErrorKind::ResourceAlreadyExists:
        return EEXIST;
    case IoErrorKind::DirectoryIsNotEmpty:
        return ENOTEMPTY;
    case IoErrorKind::ResourceCurrentInUse:
        return EBUSY;
    case IoErrorKind::OperationNotSupported:
        return EBADF;
    case IoErrorKind::NoSpaceLeft:
        return ENOSPC;
    case IoErrorKind::UnrecognizedFileMode:
    case IoErrorKind::InvalidFileDescriptor:
        break;
    }
    return std::nullopt;
}

} // namespace ovaline::error
