#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/inode.hpp"

namespace ovaline::fs {

// Someone outside the tree who keeps copies of what it holds (the kernel, for a mounted
// tree) and must hear when they go stale. Told only once the change is complete and
// every lock of the tree is released, so it may wait on others who need those locks.
class ChangeObserver {
  public:
    virtual ~ChangeObserver() = default;
    // The entry `name` of the directory `dir` has gone, or names another inode now.
    virtual void entry_gone(InodeId dir, std::string_view name) = 0;
    // The inode's size, modification time or entries have changed.
    virtual void changed(InodeId id) = 0;

    // The observer whose own request this thread is carrying out: it knows of the
    // changes already, and telling it would wait on itself.
    static inline thread_local const ChangeObserver* serving = nullptr;
};

class FileSystem;

// What one operation changed, gathered while it holds the tree's locks and told to the
// observers when its outermost batch ends. Costs nothing while nobody observes.
class ChangeBatch {
  public:
    explicit ChangeBatch(FileSystem& fs);
    ~ChangeBatch();
    ChangeBatch(const ChangeBatch&) = delete;
    ChangeBatch& operator=(const ChangeBatch&) = delete;

    struct Change {
        InodeId id;
        // Empty when the inode itself changed; else the name of its entry that went.
        std::string gone;
        FileSystem* fs;
    };

  private:
    static inline thread_local int depth_ = 0;
    static inline thread_local std::vector<Change> pending_{};
    friend class FileSystem;
};

} // namespace ovaline::fs
