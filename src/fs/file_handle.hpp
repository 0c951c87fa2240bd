#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fs/file_system.hpp"

namespace ovaline::fs {

// The open mode: a set of flags.
class FileHandleType {
  public:
    static constexpr std::uint32_t EMPTY = 0;
    static constexpr std::uint32_t READ = 1;
    static constexpr std::uint32_t WRITE = 2;

    constexpr FileHandleType() = default;
    constexpr explicit FileHandleType(std::uint32_t bits) : bits_(bits) {}

    // Accepts exactly "", "r", "w", "rw" and "wr".
    static IoResult<FileHandleType> from_str(std::string_view text);

    constexpr std::uint32_t bits() const { return bits_; }
    constexpr bool can_read() const { return (bits_ & READ) != 0; }
    constexpr bool can_write() const { return (bits_ & WRITE) != 0; }
    std::string debug() const;
    friend constexpr bool operator==(FileHandleType, FileHandleType) = default;

  private:
    std::uint32_t bits_ = EMPTY;
};

// Where a seek counts from.
enum class SeekOrigin : std::uint8_t { Start = 0, End = 1, Current = 2 };

// An open file: a position in one file inode, its mode, and a claim on the file's lock.
// Not synchronised: its owner serialises access. Destroying an open handle closes it.
class FileHandle {
  public:
    static IoResult<FileHandle> create(std::shared_ptr<FileSystem> fs, InodeId inode_id,
                                       FileHandleType type);
    // The same for an inode already looked up.
    static IoResult<FileHandle> create(std::shared_ptr<FileSystem> fs, const INodeGuard& node,
                                       FileHandleType type);

    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&&) = delete;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    // Reads from the offset, which moves past what was read.
    IoResult<std::size_t> read(std::span<std::uint8_t> buffer);
    // Writes at the offset, which stays where it is.
    IoResult<std::size_t> write(std::span<const std::uint8_t> bytes);
    // Reads at `position`, leaving the offset alone; nothing past the end.
    IoResult<std::size_t> read_at(std::uint64_t position, std::span<std::uint8_t> buffer) const;
    // Calls `visit` with the file's bytes at `position`, at most `size` of them and none
    // past the end, while the file's read lock is held: whoever copies them out copies
    // them once. `visit` must not call back into the filesystem.
    template <class Visit>
    IoResult<void> view_at(std::uint64_t position, std::size_t size, Visit&& visit) const {
        auto node = open_inode(type_.can_read(), "read");
        if (!node) {
            return std::unexpected(node.error());
        }
        ReadLocked locked(**node);
        const auto* file = std::get_if<File>(&(*node)->data);
        if (file == nullptr) {
            return std::unexpected(IoErrorKind::NotAFile);
        }
        const auto& bytes = file->data.data;
        const std::uint64_t start = std::min<std::uint64_t>(position, bytes.size());
        const std::size_t count = std::min<std::uint64_t>(size, bytes.size() - start);
        visit(std::span<const std::uint8_t>(bytes.data() + start, count));
        return {};
    }
    // Writes at `position`, leaving the offset alone; a gap past the end reads as zeros.
    // Writing nothing changes nothing, wherever.
    IoResult<std::size_t> write_at(std::uint64_t position, std::span<const std::uint8_t> bytes);
    // Writes at the end of the file in one step, whoever else grows it; returns the
    // file's new length.
    IoResult<std::uint64_t> append(std::span<const std::uint8_t> bytes);
    // Sets the file's length, cutting it or padding it with zeros; needs the write mode.
    // The offset stays, or moves back to the new end, so it never passes the end.
    IoResult<void> truncate(std::uint64_t size);
    IoResult<void> seek(SeekOrigin origin, std::uint64_t amount);
    // The file's length in bytes.
    IoResult<std::uint64_t> size() const;
    // Throws InternalError when the file's lock is not in the state this handle claimed.
    IoResult<void> close();

    const std::optional<InodeId>& id() const { return id_; }
    std::uint64_t offset() const { return offset_; }
    FileHandleType type() const { return type_; }
    const std::shared_ptr<FileSystem>& fs() const { return fs_; }
    std::string debug() const;

  private:
    FileHandle(std::shared_ptr<FileSystem> fs, INodeGuard node, FileHandleType type);
    // The handle's inode, after the checks every operation makes first: the handle is
    // open, and the operation is `allowed` by its mode.
    IoResult<INode*> open_inode(bool allowed = true, const char* operation = "") const;

    std::optional<InodeId> id_;
    FileHandleType type_;
    std::shared_ptr<FileSystem> fs_;
    // The file itself, held from opening on: while the handle holds the file's lock the
    // file cannot leave the table, so this is what its id resolves to, found once.
    INodeGuard node_;
    std::uint64_t offset_ = 0;
};

struct OpenedFile {
    FileHandle handle;
    bool created;
};

} // namespace ovaline::fs
