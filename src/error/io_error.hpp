#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ovaline::error {

// The filesystem's failure kinds, in their fixed order.
enum class IoErrorKind : std::uint8_t {
    InodeNotFound,
    NotADirectory,
    NotAFile,
    NotASymlink,
    MaxRecursionDepthExceeded,
    ResourceAlreadyExists,
    DirectoryIsNotEmpty,
    ResourceCurrentInUse,
    UnrecognizedFileMode,
    OperationNotSupported,
    InvalidFileDescriptor,
    // Added after the original kinds, so their order is unchanged.
    NoSpaceLeft,
    MoveIntoItself,
};

// A filesystem failure. Only OperationNotSupported carries a detail: a static text
// naming the refused operation.
class IoError {
  public:
    constexpr IoError(IoErrorKind kind) : kind_(kind) {}
    static constexpr IoError operation_not_supported(const char* detail) {
        return IoError(IoErrorKind::OperationNotSupported, detail);
    }

    constexpr IoErrorKind kind() const { return kind_; }
    constexpr const char* detail() const { return detail_; }

    // The display text, which Python sees as the ValueError message.
    std::string message() const;
    // The diagnostic text: the kind's name.
    std::string debug() const;

    friend bool operator==(const IoError& a, const IoError& b);

  private:
    constexpr IoError(IoErrorKind kind, const char* detail) : kind_(kind), detail_(detail) {}

    IoErrorKind kind_;
    const char* detail_ = "";
};

// The errno an os function reports for the kind; none for a closed handle and a mode
// that is not understood, which io reports as plain ValueError.
std::optional<int> errno_of(IoErrorKind kind);

} // namespace ovaline::error
