#include "bridge/live_mount.hpp"

#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "fs/file_handle.hpp"

namespace ovaline::bridge {

namespace {

using fs::FileHandle;
using fs::FileHandleType;
using fs::FileSystem;
using fs::InodeId;

// How long the kernel keeps names and attributes. Every change made other than through
// the mount itself is told to the kernel as it happens (ChangeObserver), so this bounds
// nothing that matters; it saves a request per path step and per stat.
constexpr double kCacheSeconds = 10.0;

// Requests and replies of up to a mebibyte: a sequential read or write moves in few of
// them.
constexpr unsigned kMaxTransfer = 1u << 20;
constexpr std::uint64_t kBlock = 4096;

fuse_ino_t to_ino(InodeId id) {
    return id + 1;
}

InodeId to_id(fuse_ino_t ino) {
    return ino - 1;
}

int errno_for(const fs::IoError& err) {
    switch (err.kind()) {
    case fs::IoErrorKind::InvalidFileDescriptor:
        return EBADF;
    case fs::IoErrorKind::UnrecognizedFileMode:
        return EINVAL;
    default:
        return error::errno_of(err.kind()).value_or(EIO);
    }
}

// Names the kernel passes are never empty, "." or "..", and hold no "/"; the tree also
// reads a backslash as a separator.
bool holdable(std::string_view name) {
    return name.find('\\') == std::string_view::npos;
}

FileHandleType mode_of(int flags) {
    switch (flags & O_ACCMODE) {
    case O_WRONLY:
        return FileHandleType(FileHandleType::WRITE);
    case O_RDWR:
        return FileHandleType(FileHandleType::READ | FileHandleType::WRITE);
    default:
        return FileHandleType(FileHandleType::READ);
    }
}

// Seconds rounded down, so a time before the epoch keeps its nanoseconds in range.
timespec to_timespec(std::int64_t ns) {
    constexpr std::int64_t kSecond = 1'000'000'000;
    const std::int64_t rest = ((ns % kSecond) + kSecond) % kSecond;
    return {static_cast<time_t>((ns - rest) / kSecond), static_cast<long>(rest)};
}

std::int64_t to_ns(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// One open through the mount. Its claim on the file's lock ends at the close that ends
// the open (FLUSH), which the kernel waits for, rather than at RELEASE, which it sends
// later: a program's close is then seen at once, by the tree and by the next opener.
// I/O through a copy of the descriptor that outlives that close claims the lock again.
struct OpenFile {
    InodeId id;
    FileHandleType type;
    bool append;
    // Shared while a request uses the handle, exclusive while the claim changes.
    std::shared_mutex claim;
    std::optional<FileHandle> handle;
};

// A directory's entries as opendir found them, "." and ".." first: reading it in
// several requests lists each entry once, whatever changes meanwhile.
struct DirEntry {
    std::string name;
    fuse_ino_t ino;
    bool directory;
};

struct DirListing {
    std::vector<DirEntry> entries;
};

std::mutex registry_mutex;
std::set<LiveMount::Server*>& registry() {
    static std::set<LiveMount::Server*> servers;
    return servers;
}

// The /dev/fuse descriptors of the mounts this process serves, where a child made by
// fork() finds them without taking a lock another thread may have held: the child
// closes its copies at once, so that only the owner's death ends a connection and no
// program waits on a mount whose owner is gone but whose descriptor lives on in a
// child. Mounts past the table's size keep their copies in children.
constexpr std::size_t kTrackedSessions = 64;
// Each holds a descriptor plus one, 0 when free.
std::array<std::atomic<int>, kTrackedSessions> session_fds{};
// Set in a child made by fork(): its copies of the servers serve nothing, and must not
// unmount what the parent serves.
std::atomic<bool> forked_child{false};

void close_sessions_in_child() {
    forked_child.store(true, std::memory_order_relaxed);
    for (auto& slot : session_fds) {
        if (const int held = slot.exchange(0, std::memory_order_relaxed); held > 0) {
            ::close(held - 1);
        }
    }
}

// The slot holding `fd`, or the table's size when it is full.
std::size_t track_session(int fd) {
    static std::once_flag registered;
    std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, close_sessions_in_child); });
    for (std::size_t i = 0; i < kTrackedSessions; ++i) {
        int free = 0;
        if (session_fds[i].compare_exchange_strong(free, fd + 1, std::memory_order_relaxed)) {
            return i;
        }
    }
    return kTrackedSessions;
}

} // namespace

class LiveMount::Server : public fs::ChangeObserver {
  public:
    Server(std::shared_ptr<FileSystem> fs, std::string path, LiveMountOptions options,
           std::function<void()> detach)
        : fs_(std::move(fs)), path_(std::move(path)), detach_(std::move(detach)),
          options_(options) {}
    ~Server() override { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::expected<void, LiveMountError> start(sandbox::UniqueFd fuse_fd);
    // Unmounts and stops serving; halt() does it for a server already out of the
    // registry, or while the caller holds the registry's lock.
    void stop() {
        if (!forked_child.load(std::memory_order_relaxed)) {
            std::lock_guard lock(registry_mutex);
            registry().erase(this);
        }
        halt();
    }
    void halt();
    // False too once the kernel has ended the connection, say after an umount by hand.
    bool running() const {
        return running_.load(std::memory_order_acquire) && !connection_ended_.load();
    }
    const std::string& path() const { return path_; }
    bool read_only() const { return options_.read_only; }

  private:
    static Server& of(fuse_req_t req) { return *static_cast<Server*>(fuse_req_userdata(req)); }
    static OpenFile& file_of(const fuse_file_info* fi) {
        return *reinterpret_cast<OpenFile*>(fi->fh);
    }
    static const fuse_lowlevel_ops& operations();

    void serve_requests();
    void fill_attr(const fs::INode& node, struct stat& st) const;
    fuse_entry_param entry_of(const fs::INode& node) const;
    void reply_entry(fuse_req_t req, const fs::INode& node);
    void reply_attr(fuse_req_t req, const fs::INode& node);
    void reply_error(fuse_req_t req, const fs::IoError& err) const {
        fuse_reply_err(req, errno_for(err));
    }
    // Runs `use` on the open's handle, claiming the file's lock again when a close has
    // ended the claim; `use` returns 0 once it has replied, or the errno to reply.
    template <class Use> int with_claim(OpenFile& file, Use&& use);
    // Creates an entry in `parent` and replies with it.
    void make_entry(fuse_req_t req, fuse_ino_t parent, const char* name, fs::INodeKind kind);
    // Removes the entry `name` of `parent`, which must be a directory or must not be.
    void remove_entry(fuse_req_t req, fuse_ino_t parent, const char* name, bool directory);
    OpenFile* keep(std::unique_ptr<OpenFile> file);
    void forget_file(OpenFile* file);

    // What the kernel may hold: it is told only of entries in directories it has
    // looked up and not forgotten, and of changes to attributes it was sent since it was
    // last told; a thousand files made in one directory cost one notification.
    void entry_gone(InodeId dir, std::string_view name) override;
    void changed(InodeId id) override;
    // Each is noted before the attributes are read, so a change made meanwhile is told.
    void looked_up(InodeId id);
    void attributes_sent(InodeId id);
    void forgotten(fuse_ino_t ino, std::uint64_t count);

    static void init(void* userdata, fuse_conn_info* conn);
    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
    static void forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t count) {
        of(req).forgotten(ino, count);
        fuse_reply_none(req);
    }
    static void forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) {
        for (std::size_t i = 0; i < count; ++i) {
            of(req).forgotten(forgets[i].ino, forgets[i].nlookup);
        }
        fuse_reply_none(req);
    }
    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set,
                        fuse_file_info* fi);
    static void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t);
    static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t);
    static void unlink(fuse_req_t req, fuse_ino_t parent, const char* name);
    static void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name);
    static void symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
        fuse_reply_err(req, EPERM);
    }
    static void link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
        fuse_reply_err(req, EPERM);
    }
    static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
                       const char* newname, unsigned int flags);
    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t,
                       fuse_file_info* fi);
    static void read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off, fuse_file_info* fi);
    static void write(fuse_req_t req, fuse_ino_t, const char* buf, std::size_t size, off_t off,
                      fuse_file_info* fi);
    static void flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi);
    static void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi);
    static void fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) { fuse_reply_err(req, 0); }
    static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void readdir(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off,
                        fuse_file_info* fi);
    static void readdirplus(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off,
                            fuse_file_info* fi);
    static void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi);
    static void statfs(fuse_req_t req, fuse_ino_t);

    std::shared_ptr<FileSystem> fs_;
    std::string path_;
    std::function<void()> detach_;
    LiveMountOptions options_;
    fuse_session* session_ = nullptr;
    std::vector<std::thread> threads_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connection_ended_{false};
    std::size_t slot_ = kTrackedSessions;
    std::mutex stop_mutex_;
    // What the kernel holds open, given back when serving stops: it sends no RELEASE
    // for those then.
    std::mutex open_mutex_;
    std::unordered_set<OpenFile*> files_;
    std::unordered_set<DirListing*> listings_;
    // Per inode the kernel knows: how many times it has looked it up, less what it has
    // forgotten, and whether it may hold attributes nobody has called stale since. The
    // root is known from the start and never forgotten.
    struct Known {
        std::uint64_t lookups = 0;
        bool attributes = true;
    };
    std::mutex known_mutex_;
    std::unordered_map<InodeId, Known> known_{{FileSystem::kRoot, Known{1, true}}};
};

const fuse_lowlevel_ops& LiveMount::Server::operations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.init = init;
        o.lookup = lookup;
        o.forget = forget;
        o.forget_multi = forget_multi;
        o.getattr = getattr;
        o.setattr = setattr;
        o.mknod = mknod;
        o.mkdir = mkdir;
        o.unlink = unlink;
        o.rmdir = rmdir;
        o.symlink = symlink;
        o.link = link;
        o.rename = rename;
        o.open = open;
        o.create = create;
        o.read = read;
        o.write = write;
        o.flush = flush;
        o.release = release;
        o.fsync = fsync;
        o.opendir = opendir;
        o.readdir = readdir;
        o.readdirplus = readdirplus;
        o.releasedir = releasedir;
        o.fsyncdir = fsync;
        o.statfs = statfs;
        return o;
    }();
    return ops;
}

std::expected<void, LiveMountError> LiveMount::Server::start(sandbox::UniqueFd fuse_fd) {
    // The session closes its own copy; the caller's closes when this returns.
    const int fd = ::fcntl(fuse_fd.get(), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        return std::unexpected(LiveMountError{errno, "/dev/fuse"});
    }
    char program[] = "ovaline";
    char* argv[] = {program, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    session_ = fuse_session_new(&args, &operations(), sizeof(fuse_lowlevel_ops), this);
    if (session_ == nullptr) {
        ::close(fd);
        return std::unexpected(LiveMountError{ENOMEM, "/dev/fuse"});
    }
    const std::string device = "/dev/fd/" + std::to_string(fd);
    if (fuse_session_mount(session_, device.c_str()) != 0) {
        ::close(fd);
        return std::unexpected(LiveMountError{EBADF, "/dev/fuse"});
    }
    slot_ = track_session(fd);
    fs_->add_observer(this);
    running_.store(true, std::memory_order_release);
    {
        std::lock_guard lock(registry_mutex);
        registry().insert(this);
    }
    const unsigned count = std::clamp(options_.threads, 1u, 16u);
    for (unsigned i = 0; i < count; ++i) {
        threads_.emplace_back([this] { serve_requests(); });
    }
    return {};
}

void LiveMount::Server::serve_requests() {
    // The threads wait in a blocking read, where the kernel wakes one of them per request
    // (waiting in poll() would wake them all). Stopping cancels them there, the one
    // place cancellation is enabled, so no request is dropped half-answered.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    ChangeObserver::serving = this;
    struct Request {
        fuse_buf buf{};
        ~Request() { std::free(buf.mem); }
    } request;
    while (!fuse_session_exited(session_)) {
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        const int received = fuse_session_receive_buf(session_, &request.buf);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        if (received == -EINTR || received == -EAGAIN) {
            continue;
        }
        // 0 once the kernel has ended the connection.
        if (received <= 0) {
            connection_ended_.store(true);
            break;
        }
        fuse_session_process_buf(session_, &request.buf);
    }
}

void LiveMount::Server::halt() {
    // In a forked child the mount, the threads and the session are the parent's.
    if (forked_child.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard serial(stop_mutex_);
    if (session_ == nullptr) {
        return;
    }
    if (slot_ < kTrackedSessions) {
        session_fds[slot_].store(0, std::memory_order_relaxed);
    }
    running_.store(false, std::memory_order_release);
    // First, while the threads still answer whatever a change being told waits for.
    fs_->remove_observer(this);
    // Detached before the connection ends, so nobody sees a dead mount in between;
    // a busy mount goes lazily, and its users get ENOTCONN once the descriptor closes.
    if (detach_) {
        std::exchange(detach_, nullptr)();
    } else if (!path_.empty() && ::umount2(path_.c_str(), UMOUNT_NOFOLLOW) != 0 && errno == EBUSY) {
        ::umount2(path_.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
    }
    for (std::thread& thread : threads_) {
        pthread_cancel(thread.native_handle());
    }
    for (std::thread& thread : threads_) {
        thread.join();
    }
    threads_.clear();
    fuse_session_destroy(session_);
    session_ = nullptr;
    std::lock_guard lock(open_mutex_);
    for (OpenFile* file : files_) {
        delete file;
    }
    files_.clear();
    for (DirListing* listing : listings_) {
        delete listing;
    }
    listings_.clear();
}

void LiveMount::Server::fill_attr(const fs::INode& node, struct stat& st) const {
    st = {};
    st.st_ino = to_ino(node.id);
    st.st_uid = options_.owner_uid;
    st.st_gid = options_.owner_gid;
    st.st_blksize = kBlock;
    {
        fs::ReadLocked locked(node);
        if (const auto* file = std::get_if<fs::File>(&node.data)) {
            st.st_mode = S_IFREG | 0644;
            st.st_nlink = 1;
            st.st_size = static_cast<off_t>(file->data.data.size());
        } else {
            st.st_mode = S_IFDIR | 0755;
            // One: the count of subdirectories is not kept, and tools that walk trees
            // read 1 as "unknown" rather than "no subdirectories".
            st.st_nlink = 1;
        }
    }
    st.st_blocks = (st.st_size + 511) / 512;
    st.st_mtim = st.st_ctim = st.st_atim = to_timespec(node.mtime());
}

fuse_entry_param LiveMount::Server::entry_of(const fs::INode& node) const {
    fuse_entry_param entry{};
    entry.ino = to_ino(node.id);
    fill_attr(node, entry.attr);
    entry.attr_timeout = kCacheSeconds;
    entry.entry_timeout = kCacheSeconds;
    return entry;
}

void LiveMount::Server::reply_entry(fuse_req_t req, const fs::INode& node) {
    // Counted first: a change told meanwhile must reach the kernel, not be dropped as
    // concerning an inode it does not know.
    looked_up(node.id);
    fuse_entry_param entry = entry_of(node);
    if (fuse_reply_entry(req, &entry) != 0) {
        forgotten(entry.ino, 1);
    }
}

void LiveMount::Server::reply_attr(fuse_req_t req, const fs::INode& node) {
    attributes_sent(node.id);
    struct stat st;
    fill_attr(node, st);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

template <class Use> int LiveMount::Server::with_claim(OpenFile& file, Use&& use) {
    {
        std::shared_lock shared(file.claim);
        if (file.handle) {
            return use(*file.handle);
        }
    }
    std::unique_lock exclusive(file.claim);
    if (!file.handle) {
        auto handle = FileSystem::open_raw(fs_, file.id, file.type);
        if (!handle) {
            return errno_for(handle.error());
        }
        file.handle.emplace(std::move(*handle));
    }
    return use(*file.handle);
}

OpenFile* LiveMount::Server::keep(std::unique_ptr<OpenFile> file) {
    std::lock_guard lock(open_mutex_);
    files_.insert(file.get());
    return file.release();
}

void LiveMount::Server::forget_file(OpenFile* file) {
    {
        std::lock_guard lock(open_mutex_);
        files_.erase(file);
    }
    delete file;
}

void LiveMount::Server::init(void*, fuse_conn_info* conn) {
    // O_TRUNC comes with the open, so a file is emptied only once its lock is claimed.
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) {
        conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    }
    // Writes go through at once, so the tree holds every byte a program has written.
    conn->want &= ~(FUSE_CAP_WRITEBACK_CACHE | FUSE_CAP_SPLICE_READ | FUSE_CAP_SPLICE_WRITE |
                    FUSE_CAP_SPLICE_MOVE);
    conn->max_write = kMaxTransfer;
    conn->max_read = 0;
    conn->time_gran = 1;
}

void LiveMount::Server::lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Server& self = of(req);
    auto dir = self.fs_->resolve(to_id(parent));
    if (!dir) {
        return self.reply_error(req, dir.error());
    }
    auto found = self.fs_->find_child(**dir, name);
    if (!found) {
        return self.reply_error(req, found.error());
    }
    self.reply_entry(req, **found);
}

void LiveMount::Server::getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    Server& self = of(req);
    auto node = self.fs_->resolve(to_id(ino));
    if (!node) {
        return self.reply_error(req, node.error());
    }
    self.reply_attr(req, **node);
}

void LiveMount::Server::setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set,
                                fuse_file_info* fi) {
    Server& self = of(req);
    auto node = self.fs_->resolve(to_id(ino));
    if (!node) {
        return self.reply_error(req, node.error());
    }
    if ((to_set & FUSE_SET_ATTR_SIZE) != 0) {
        if (!std::holds_alternative<fs::File>((*node)->data)) {
            return (void)fuse_reply_err(req, EISDIR);
        }
        const auto size = static_cast<std::uint64_t>(attr->st_size);
        int failed = 0;
        if (fi != nullptr) {
            failed = self.with_claim(file_of(fi), [&](FileHandle& handle) {
                auto cut = handle.truncate(size);
                return cut ? 0 : errno_for(cut.error());
            });
        } else {
            // truncate(2) by path: a claim of its own for the moment it takes.
            auto handle =
                FileSystem::open_raw(self.fs_, (*node)->id, FileHandleType(FileHandleType::WRITE));
            auto cut = handle ? handle->truncate(size) : std::unexpected(handle.error());
            failed = cut ? 0 : errno_for(cut.error());
        }
        if (failed != 0) {
            return (void)fuse_reply_err(req, failed);
        }
    }
    if ((to_set & FUSE_SET_ATTR_MTIME_NOW) != 0) {
        (*node)->touch();
    } else if ((to_set & FUSE_SET_ATTR_MTIME) != 0) {
        (*node)->touch(to_ns(attr->st_mtim));
    }
    // Modes and owners stay as they are: every entry has the same.
    self.reply_attr(req, **node);
}

void LiveMount::Server::make_entry(fuse_req_t req, fuse_ino_t parent, const char* name,
                                   fs::INodeKind kind) {
    if (!holdable(name)) {
        return (void)fuse_reply_err(req, EINVAL);
    }
    auto id = fs_->create_inode(to_id(parent), name, std::move(kind));
    if (!id) {
        return reply_error(req, id.error());
    }
    auto node = fs_->resolve(*id);
    if (!node) {
        return reply_error(req, node.error());
    }
    reply_entry(req, **node);
}

void LiveMount::Server::mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                              dev_t) {
    if (!S_ISREG(mode)) {
        return (void)fuse_reply_err(req, EPERM);
    }
    of(req).make_entry(req, parent, name, fs::File{});
}

void LiveMount::Server::mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
    of(req).make_entry(req, parent, name, fs::Directory{});
}

void LiveMount::Server::remove_entry(fuse_req_t req, fuse_ino_t parent, const char* name,
                                     bool directory) {
    auto id = fs_->find_inode_by_name(to_id(parent), name);
    if (!id) {
        return reply_error(req, id.error());
    }
    fs::INodeGuard entry = fs_->lookup(*id);
    if (!entry) {
        return (void)fuse_reply_err(req, ENOENT);
    }
    if (std::holds_alternative<fs::Symlink>(entry->data)) {
        return (void)fuse_reply_err(req, EPERM);
    }
    if (std::holds_alternative<fs::Directory>(entry->data) != directory) {
        return (void)fuse_reply_err(req, directory ? ENOTDIR : EISDIR);
    }
    auto removed = fs_->rm_raw(*id, false);
    if (!removed) {
        return reply_error(req, removed.error());
    }
    fuse_reply_err(req, 0);
}

void LiveMount::Server::unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    of(req).remove_entry(req, parent, name, false);
}

void LiveMount::Server::rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    of(req).remove_entry(req, parent, name, true);
}

void LiveMount::Server::rename(fuse_req_t req, fuse_ino_t parent, const char* name,
                               fuse_ino_t newparent, const char* newname, unsigned int flags) {
    // Exchanging two entries is not one step the tree can take.
    if ((flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) != 0 || !holdable(newname)) {
        return (void)fuse_reply_err(req, EINVAL);
    }
    Server& self = of(req);
    auto moved = self.fs_->rename_at(to_id(parent), name, to_id(newparent), newname,
                                     (flags & RENAME_NOREPLACE) == 0);
    if (!moved) {
        return self.reply_error(req, moved.error());
    }
    fuse_reply_err(req, 0);
}

void LiveMount::Server::open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Server& self = of(req);
    const FileHandleType type = mode_of(fi->flags);
    if (type.can_write() && self.options_.read_only) {
        return (void)fuse_reply_err(req, EROFS);
    }
    auto handle = FileSystem::open_raw(self.fs_, to_id(ino), type);
    if (!handle) {
        return self.reply_error(req, handle.error());
    }
    if ((fi->flags & O_TRUNC) != 0 && type.can_write()) {
        if (auto cut = handle->truncate(0); !cut) {
            return self.reply_error(req, cut.error());
        }
    }
    auto file = std::make_unique<OpenFile>();
    file->id = *handle->id();
    file->type = type;
    file->append = (fi->flags & O_APPEND) != 0;
    file->handle.emplace(std::move(*handle));
    OpenFile* kept = self.keep(std::move(file));
    fi->fh = reinterpret_cast<std::uint64_t>(kept);
    fi->keep_cache = 0;
    fi->direct_io = 0;
    // An open the caller gave up meanwhile gets no RELEASE.
    if (fuse_reply_open(req, fi) == -ENOENT) {
        self.forget_file(kept);
    }
}

void LiveMount::Server::create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t,
                               fuse_file_info* fi) {
    Server& self = of(req);
    if (!holdable(name)) {
        return (void)fuse_reply_err(req, EINVAL);
    }
    const FileHandleType type = mode_of(fi->flags);
    auto opened = FileSystem::open_in(self.fs_, to_id(parent), name, type,
                                      fs::OpenOptions{.create = true,
                                                      .exclusive = (fi->flags & O_EXCL) != 0,
                                                      .truncate = (fi->flags & O_TRUNC) != 0});
    if (!opened) {
        return self.reply_error(req, opened.error());
    }
    auto node = self.fs_->resolve(*opened->handle.id());
    if (!node) {
        return self.reply_error(req, node.error());
    }
    self.looked_up((*node)->id);
    fuse_entry_param entry = self.entry_of(**node);
    auto file = std::make_unique<OpenFile>();
    file->id = (*node)->id;
    file->type = type;
    file->append = (fi->flags & O_APPEND) != 0;
    file->handle.emplace(std::move(opened->handle));
    OpenFile* kept = self.keep(std::move(file));
    fi->fh = reinterpret_cast<std::uint64_t>(kept);
    fi->keep_cache = 0;
    fi->direct_io = 0;
    if (fuse_reply_create(req, &entry, fi) == -ENOENT) {
        self.forget_file(kept);
        self.forgotten(entry.ino, 1);
    }
}

void LiveMount::Server::read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off,
                             fuse_file_info* fi) {
    Server& self = of(req);
    const int failed = self.with_claim(file_of(fi), [&](FileHandle& handle) {
        // Straight from the file's bytes into the kernel, under the file's read lock.
        auto viewed = handle.view_at(
            static_cast<std::uint64_t>(off), size, [&](std::span<const std::uint8_t> bytes) {
                fuse_reply_buf(req, reinterpret_cast<const char*>(bytes.data()), bytes.size());
            });
        return viewed ? 0 : errno_for(viewed.error());
    });
    if (failed != 0) {
        fuse_reply_err(req, failed);
    }
}

void LiveMount::Server::write(fuse_req_t req, fuse_ino_t, const char* buf, std::size_t size,
                              off_t off, fuse_file_info* fi) {
    Server& self = of(req);
    OpenFile& file = file_of(fi);
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(buf), size);
    const int failed = self.with_claim(file, [&](FileHandle& handle) {
        if (file.append) {
            auto appended = handle.append(bytes);
            if (!appended) {
                return errno_for(appended.error());
            }
        } else if (auto written = handle.write_at(static_cast<std::uint64_t>(off), bytes);
                   !written) {
            return errno_for(written.error());
        }
        fuse_reply_write(req, size);
        return 0;
    });
    if (failed != 0) {
        fuse_reply_err(req, failed);
    }
}

void LiveMount::Server::flush(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    OpenFile& file = file_of(fi);
    {
        std::unique_lock exclusive(file.claim);
        file.handle.reset();
    }
    fuse_reply_err(req, 0);
}

void LiveMount::Server::release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    of(req).forget_file(&file_of(fi));
    fuse_reply_err(req, 0);
}

void LiveMount::Server::opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Server& self = of(req);
    auto node = self.fs_->resolve(to_id(ino));
    if (!node) {
        return self.reply_error(req, node.error());
    }
    auto listing = std::make_unique<DirListing>();
    {
        fs::ReadLocked locked(**node);
        const auto* entries = std::get_if<fs::Directory>(&(*node)->data);
        if (entries == nullptr) {
            return (void)fuse_reply_err(req, ENOTDIR);
        }
        listing->entries.reserve(entries->size() + 2);
        listing->entries.push_back({".", ino, true});
        listing->entries.push_back({"..", to_ino((*node)->parent.load()), true});
        entries->for_each([&](const fs::INode& child) {
            bool directory = std::holds_alternative<fs::Directory>(child.data);
            if (std::holds_alternative<fs::Symlink>(child.data)) {
                auto target = self.fs_->resolve(child.id);
                if (!target) {
                    return;
                }
                directory = std::holds_alternative<fs::Directory>((*target)->data);
            }
            listing->entries.push_back(
                {std::string(child.name.view()), to_ino(child.id), directory});
        });
    }
    {
        std::lock_guard lock(self.open_mutex_);
        self.listings_.insert(listing.get());
    }
    DirListing* kept = listing.release();
    fi->fh = reinterpret_cast<std::uint64_t>(kept);
    if (fuse_reply_open(req, fi) == -ENOENT) {
        std::lock_guard lock(self.open_mutex_);
        self.listings_.erase(kept);
        delete kept;
    }
}

void LiveMount::Server::readdir(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off,
                                fuse_file_info* fi) {
    const auto& entries = reinterpret_cast<DirListing*>(fi->fh)->entries;
    std::vector<char> buf(size);
    std::size_t used = 0;
    for (auto i = static_cast<std::size_t>(std::max<off_t>(off, 0)); i < entries.size(); ++i) {
        struct stat st {};
        st.st_ino = entries[i].ino;
        st.st_mode = entries[i].directory ? S_IFDIR : S_IFREG;
        const std::size_t needed =
            fuse_add_direntry(req, buf.data() + used, size - used, entries[i].name.c_str(), &st,
                              static_cast<off_t>(i + 1));
        if (needed > size - used) {
            break;
        }
        used += needed;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void LiveMount::Server::readdirplus(fuse_req_t req, fuse_ino_t, std::size_t size, off_t off,
                                    fuse_file_info* fi) {
    // The kernel counts a lookup for every entry but "." and "..", as if each were
    // looked up, and keeps its attributes: a walk then stats without asking again.
    Server& self = of(req);
    const auto& entries = reinterpret_cast<DirListing*>(fi->fh)->entries;
    std::vector<char> buf(size);
    std::vector<fuse_ino_t> sent;
    std::size_t used = 0;
    for (auto i = static_cast<std::size_t>(std::max<off_t>(off, 0)); i < entries.size(); ++i) {
        fuse_entry_param entry{};
        const bool dots = i < 2;
        if (!dots) {
            auto node = self.fs_->resolve(to_id(entries[i].ino));
            // Gone since opendir: listed, but with nothing the kernel may keep.
            if (node) {
                self.looked_up(to_id(entries[i].ino));
                entry = self.entry_of(**node);
                entry.ino = entries[i].ino;
            }
        }
        if (entry.ino == 0) {
            entry.attr.st_ino = entries[i].ino;
            entry.attr.st_mode = entries[i].directory ? S_IFDIR : S_IFREG;
        }
        const std::size_t needed =
            fuse_add_direntry_plus(req, buf.data() + used, size - used, entries[i].name.c_str(),
                                   &entry, static_cast<off_t>(i + 1));
        if (needed > size - used) {
            if (entry.ino != 0) {
                self.forgotten(entry.ino, 1);
            }
            break;
        }
        used += needed;
        if (entry.ino != 0) {
            sent.push_back(entry.ino);
        }
    }
    if (fuse_reply_buf(req, buf.data(), used) != 0) {
        for (fuse_ino_t ino : sent) {
            self.forgotten(ino, 1);
        }
    }
}

void LiveMount::Server::looked_up(InodeId id) {
    std::lock_guard lock(known_mutex_);
    Known& known = known_[id];
    ++known.lookups;
    known.attributes = true;
}

void LiveMount::Server::attributes_sent(InodeId id) {
    std::lock_guard lock(known_mutex_);
    if (auto it = known_.find(id); it != known_.end()) {
        it->second.attributes = true;
    }
}

void LiveMount::Server::forgotten(fuse_ino_t ino, std::uint64_t count) {
    std::lock_guard lock(known_mutex_);
    auto it = known_.find(to_id(ino));
    if (it != known_.end() && it->first != FileSystem::kRoot &&
        (it->second.lookups -= std::min(count, it->second.lookups)) == 0) {
        known_.erase(it);
    }
}

void LiveMount::Server::entry_gone(InodeId dir, std::string_view name) {
    if (forked_child.load(std::memory_order_relaxed)) {
        return;
    }
    {
        std::lock_guard lock(known_mutex_);
        if (!known_.contains(dir)) {
            return;
        }
    }
    fuse_lowlevel_notify_inval_entry(session_, to_ino(dir), name.data(), name.size());
}

void LiveMount::Server::changed(InodeId id) {
    if (forked_child.load(std::memory_order_relaxed)) {
        return;
    }
    {
        std::lock_guard lock(known_mutex_);
        auto it = known_.find(id);
        if (it == known_.end() || !std::exchange(it->second.attributes, false)) {
            return;
        }
    }
    // Attributes only: a file's cached pages go at its next open anyway (no keep_cache),
    // and the file lock keeps it from changing while the mount has it open.
    fuse_lowlevel_notify_inval_inode(session_, to_ino(id), -1, 0);
}

void LiveMount::Server::releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    Server& self = of(req);
    auto* listing = reinterpret_cast<DirListing*>(fi->fh);
    {
        std::lock_guard lock(self.open_mutex_);
        self.listings_.erase(listing);
    }
    delete listing;
    fuse_reply_err(req, 0);
}

void LiveMount::Server::statfs(fuse_req_t req, fuse_ino_t) {
    Server& self = of(req);
    const fs::Limits limits = self.fs_->limits();
    const fs::Usage used = self.fs_->usage();
    // Without a limit, room as large as a 64-bit count of blocks comfortably holds.
    constexpr std::uint64_t kUnlimitedBlocks = std::uint64_t{1} << 40;
    const std::uint64_t blocks =
        limits.max_bytes == fs::Limits::kUnlimited ? kUnlimitedBlocks : limits.max_bytes / kBlock;
    const std::uint64_t used_blocks = std::min(blocks, (used.bytes + kBlock - 1) / kBlock);
    const std::uint64_t files =
        limits.max_inodes == fs::Limits::kUnlimited ? kUnlimitedBlocks : limits.max_inodes;
    struct statvfs st {};
    st.f_bsize = kBlock;
    st.f_frsize = kBlock;
    st.f_blocks = blocks;
    st.f_bfree = st.f_bavail = blocks - used_blocks;
    st.f_files = files;
    st.f_ffree = st.f_favail = files - std::min(files, used.inodes);
    st.f_namemax = 255;
    fuse_reply_statfs(req, &st);
}

namespace {

// Where a mount of this process died with it, the kernel reports the mount point as no
// longer connected: it is detached so that the place can be used again.
std::expected<void, LiveMountError> check_mount_point(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOTCONN && errno != ECONNABORTED) {
            return std::unexpected(LiveMountError{errno, path});
        }
        ::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
        if (::stat(path.c_str(), &st) != 0) {
            return std::unexpected(LiveMountError{errno, path});
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        return std::unexpected(LiveMountError{ENOTDIR, path});
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        return std::unexpected(LiveMountError{errno, path});
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    if (!empty) {
        return std::unexpected(LiveMountError{ENOTEMPTY, path});
    }
    return {};
}

} // namespace

std::string LiveMount::mount_options(int fuse_fd, const LiveMountOptions& options) {
    // Anyone may enter, as with any directory; the modes decide the rest.
    return "fd=" + std::to_string(fuse_fd) +
           ",rootmode=40000,user_id=" + std::to_string(options.owner_uid) +
           ",group_id=" + std::to_string(options.owner_gid) + ",allow_other,default_permissions";
}

std::expected<std::unique_ptr<LiveMount>, LiveMountError>
LiveMount::mount(std::shared_ptr<FileSystem> fs, std::string path, LiveMountOptions options) {
    // Absolute and without links, so unmounting later names the same place whatever the
    // working directory is by then.
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        path = resolved;
        std::free(resolved);
    } else if (errno != ENOTCONN && errno != ECONNABORTED) {
        return std::unexpected(LiveMountError{errno, path});
    }
    if (auto usable = check_mount_point(path); !usable) {
        return std::unexpected(usable.error());
    }
    sandbox::UniqueFd fuse_fd(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!fuse_fd) {
        return std::unexpected(LiveMountError{errno, "/dev/fuse"});
    }
    const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOATIME |
                                (options.read_only ? static_cast<unsigned long>(MS_RDONLY) : 0ul);
    const std::string data = mount_options(fuse_fd.get(), options);
    if (::mount("ovaline", path.c_str(), "fuse.ovaline", flags, data.c_str()) != 0) {
        return std::unexpected(LiveMountError{errno, path});
    }
    auto served = serve(std::move(fs), std::move(fuse_fd), path, options);
    if (!served) {
        ::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
    }
    return served;
}

std::expected<std::unique_ptr<LiveMount>, LiveMountError>
LiveMount::serve(std::shared_ptr<FileSystem> fs, sandbox::UniqueFd fuse_fd, std::string path,
                 LiveMountOptions options, std::function<void()> detach) {
    auto server =
        std::make_unique<Server>(std::move(fs), std::move(path), options, std::move(detach));
    if (auto started = server->start(std::move(fuse_fd)); !started) {
        return std::unexpected(started.error());
    }
    return std::unique_ptr<LiveMount>(new LiveMount(std::move(server)));
}

LiveMount::LiveMount(std::unique_ptr<Server> server) : server_(std::move(server)) {}

LiveMount::~LiveMount() {
    // A forked child keeps its copy of the server for good: the tree's copy still
    // names it as an observer, and its threads, which never ran here, cannot be joined.
    if (forked_child.load(std::memory_order_relaxed)) {
        (void)server_.release();
    }
}

void LiveMount::unmount() {
    server_->stop();
}

bool LiveMount::mounted() const {
    return server_->running();
}

const std::string& LiveMount::path() const {
    return server_->path();
}

bool LiveMount::read_only() const {
    return server_->read_only();
}

void LiveMount::unmount_all() {
    // Under the registry's lock: an owner stopping its own mount meanwhile waits for it
    // before dropping the server, and then finds it stopped.
    std::lock_guard lock(registry_mutex);
    for (Server* server : registry()) {
        server->halt();
    }
    registry().clear();
}

} // namespace ovaline::bridge
