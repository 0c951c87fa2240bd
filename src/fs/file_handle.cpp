#include "fs/file_handle.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "error/internal_error.hpp"

namespace ovaline::fs {

namespace {

// Runs `body` on the file behind `node` while holding the inode's lock as `Locked`
// says; a failed lookup or an inode that is not a file ends the call first.
template <class Locked, class Body>
auto with_file(INode& node, Body&& body) -> decltype(body(std::declval<File&>())) {
    Locked locked(node);
    auto* file = std::get_if<File>(&node.data);
    if (file == nullptr) {
        return std::unexpected(IoErrorKind::NotAFile);
    }
    return body(*file);
}

template <class Locked, class Body>
auto with_file(const IoResult<INode*>& node, Body&& body) -> decltype(body(std::declval<File&>())) {
    if (!node) {
        return std::unexpected(node.error());
    }
    return with_file<Locked>(**node, std::forward<Body>(body));
}

} // namespace

IoResult<FileHandleType> FileHandleType::from_str(std::string_view text) {
    std::uint32_t bits = EMPTY;
    for (char c : text) {
        const std::uint32_t flag = c == 'r' ? READ : c == 'w' ? WRITE : EMPTY;
        if (flag == EMPTY || (bits & flag) != 0) {
            return std::unexpected(IoErrorKind::UnrecognizedFileMode);
        }
        bits |= flag;
    }
    return FileHandleType(bits);
}

std::string FileHandleType::debug() const {
    if (bits_ == EMPTY) {
        return "FileHandleType(0x0)";
    }
    std::string names;
    if (can_read()) {
        names = "READ";
    }
    if (can_write()) {
        names += names.empty() ? "WRITE" : " | WRITE";
    }
    return "FileHandleType(" + names + ")";
}

FileHandle::FileHandle(std::shared_ptr<FileSystem> fs, INodeGuard node, FileHandleType type)
    : id_(node->id), type_(type), fs_(std::move(fs)), node_(std::move(node)) {}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : id_(std::exchange(other.id_, std::nullopt)), type_(other.type_), fs_(other.fs_),
      node_(std::move(other.node_)), offset_(other.offset_) {}

FileHandle::~FileHandle() {
    if (!id_) {
        return;
    }
    // Owners that must report a failed close call close() themselves first.
    try {
        (void)close();
    } catch (const InternalError&) {
    }
}

IoResult<FileHandle> FileHandle::create(std::shared_ptr<FileSystem> fs, InodeId inode_id,
                                        FileHandleType type) {
    auto node = fs->resolve(inode_id);
    if (!node) {
        return std::unexpected(node.error());
    }
    return create(std::move(fs), *node, type);
}

IoResult<FileHandle> FileHandle::create(std::shared_ptr<FileSystem> fs, const INodeGuard& node,
                                        FileHandleType type) {
    auto claimed = with_file<ReadLocked>(*node, [&](File& file) -> IoResult<void> {
        auto& flag = file.lock.flag;
        if (type.can_write()) {
            std::int64_t expected = 0;
            if (!flag.compare_exchange_strong(expected, FileLock::WRITE_EXCLUSIVE,
                                              std::memory_order_acq_rel)) {
                return std::unexpected(IoErrorKind::ResourceCurrentInUse);
            }
            return {};
        }
        std::int64_t current = flag.load(std::memory_order_acquire);
        do {
            if (current < 0) {
                return std::unexpected(IoErrorKind::ResourceCurrentInUse);
            }
        } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire));
        return {};
    });
    if (!claimed) {
        return std::unexpected(claimed.error());
    }
    return FileHandle(std::move(fs), node, type);
}

IoResult<INode*> FileHandle::open_inode(bool allowed, const char* operation) const {
    if (!id_) {
        return std::unexpected(IoErrorKind::InvalidFileDescriptor);
    }
    if (!allowed) {
        return std::unexpected(IoError::operation_not_supported(operation));
    }
    return node_.get();
}

namespace {

// Copies what the file holds at `position` into `buffer`; the count copied.
std::size_t copy_out(const File& file, std::uint64_t position, std::span<std::uint8_t> buffer) {
    const auto& bytes = file.data.data;
    const std::uint64_t start = std::min<std::uint64_t>(position, bytes.size());
    const std::size_t count = std::min<std::uint64_t>(buffer.size(), bytes.size() - start);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(start), count, buffer.begin());
    return count;
}

// Writes `bytes` at `position`, growing the file (zeros in any gap) within the space
// the filesystem has left, and records the change. The caller holds the file's write lock.
IoResult<std::size_t> copy_in(FileSystem& fs, INode& node, File& file, std::uint64_t position,
                              std::span<const std::uint8_t> bytes) {
    auto& data = file.data.data;
    if (bytes.empty()) {
        return 0;
    }
    const std::uint64_t end = position + bytes.size();
    if (data.size() < end) {
        if (!fs.space().reserve_bytes(end - data.size())) {
            return std::unexpected(IoErrorKind::NoSpaceLeft);
        }
        data.resize(end);
    }
    std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(position));
    node.touch();
    fs.note_changed(node.id);
    return bytes.size();
}

} // namespace

IoResult<std::size_t> FileHandle::read(std::span<std::uint8_t> buffer) {
    return with_file<ReadLocked>(
        open_inode(type_.can_read(), "read"), [&](File& file) -> IoResult<std::size_t> {
            const std::size_t count = copy_out(file, offset_, buffer);
            offset_ = std::min<std::uint64_t>(offset_, file.data.data.size()) + count;
            return count;
        });
}

IoResult<std::size_t> FileHandle::write(std::span<const std::uint8_t> bytes) {
    return write_at(offset_, bytes);
}

IoResult<std::size_t> FileHandle::read_at(std::uint64_t position,
                                          std::span<std::uint8_t> buffer) const {
    return with_file<ReadLocked>(
        open_inode(type_.can_read(), "read"),
        [&](File& file) -> IoResult<std::size_t> { return copy_out(file, position, buffer); });
}

IoResult<std::size_t> FileHandle::write_at(std::uint64_t position,
                                           std::span<const std::uint8_t> bytes) {
    ChangeBatch batch(*fs_);
    return with_file<WriteLocked>(open_inode(type_.can_write(), "write"),
                                  [&](File& file) -> IoResult<std::size_t> {
                                      return copy_in(*fs_, *node_, file, position, bytes);
                                  });
}

IoResult<std::uint64_t> FileHandle::append(std::span<const std::uint8_t> bytes) {
    ChangeBatch batch(*fs_);
    return with_file<WriteLocked>(
        open_inode(type_.can_write(), "write"), [&](File& file) -> IoResult<std::uint64_t> {
            auto written = copy_in(*fs_, *node_, file, file.data.data.size(), bytes);
            if (!written) {
                return std::unexpected(written.error());
            }
            return file.data.data.size();
        });
}

IoResult<void> FileHandle::truncate(std::uint64_t size) {
    ChangeBatch batch(*fs_);
    return with_file<WriteLocked>(open_inode(type_.can_write(), "truncate"),
                                  [&](File& file) -> IoResult<void> {
                                      auto& data = file.data.data;
                                      if (size > data.size()) {
                                          if (!fs_->space().reserve_bytes(size - data.size())) {
                                              return std::unexpected(IoErrorKind::NoSpaceLeft);
                                          }
                                      } else {
                                          fs_->space().release_bytes(data.size() - size);
                                      }
                                      data.resize(size);
                                      node_->touch();
                                      fs_->note_changed(node_->id);
                                      offset_ = std::min(offset_, size);
                                      return {};
                                  });
}

IoResult<void> FileHandle::seek(SeekOrigin origin, std::uint64_t amount) {
    return with_file<ReadLocked>(open_inode(), [&](File& file) -> IoResult<void> {
        const std::uint64_t length = file.data.data.size();
        std::uint64_t target = 0;
        switch (origin) {
        case SeekOrigin::Start:
            target = amount;
            break;
        case SeekOrigin::End:
            target = amount > length ? 0 : length - amount;
            break;
        case SeekOrigin::Current:
            target = amount > std::numeric_limits<std::uint64_t>::max() - offset_
                         ? std::numeric_limits<std::uint64_t>::max()
                         : offset_ + amount;
            break;
        }
        offset_ = std::min(target, length);
        return {};
    });
}

IoResult<std::uint64_t> FileHandle::size() const {
    return with_file<ReadLocked>(
        open_inode(), [&](File& file) -> IoResult<std::uint64_t> { return file.data.data.size(); });
}

IoResult<void> FileHandle::close() {
    return with_file<ReadLocked>(open_inode(), [&](File& file) -> IoResult<void> {
        auto& flag = file.lock.flag;
        // Whatever the lock says, this handle's claim ends here; it is never released twice.
        id_.reset();
        if (type_.can_write()) {
            if (flag.load(std::memory_order_acquire) != FileLock::WRITE_EXCLUSIVE) {
                throw InternalError("assertion failed: self.flag.load(Ordering::Acquire) == "
                                    "FileLock::WRITE_EXCLUSIVE");
            }
            flag.store(0, std::memory_order_release);
            return {};
        }
        std::int64_t current = flag.load(std::memory_order_acquire);
        do {
            if (current <= 0) {
                throw InternalError("assertion failed: flag > 0");
            }
        } while (!flag.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire));
        return {};
    });
}

std::string FileHandle::debug() const {
    return "FileHandle { id: " +
           (id_ ? "Some(" + std::to_string(*id_) + ")" : std::string("None")) +
           ", type: " + type_.debug() + ", fs: " + fs_->debug_string() +
           ", offset: " + std::to_string(offset_) + " }";
}

} // namespace ovaline::fs
