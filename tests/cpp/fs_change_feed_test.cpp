#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "fs/file_handle.hpp"

using namespace ovaline::fs;

namespace {

// Writes down what it is told, as "changed <path>" or "gone <dir path>/<name>", paths
// taken while being told: the tree must be readable then.
class Recorder : public ChangeObserver {
  public:
    explicit Recorder(FileSystem& fs) : fs_(fs) {}
    void entry_gone(InodeId dir, std::string_view name) override {
        told.push_back("gone " + path_of(dir) + "|" + std::string(name));
    }
    void changed(InodeId id) override { told.push_back("changed " + path_of(id)); }

    std::vector<std::string> told;

  private:
    std::string path_of(InodeId id) {
        auto path = fs_.get_path_by_inode(id);
        return path ? *path : "?";
    }
    FileSystem& fs_;
};

struct Case {
    const char* name;
    std::function<void(const std::shared_ptr<FileSystem>&)> change;
    std::vector<std::string> told;
};

void prepare(FileSystem& fs) {
    ASSERT_TRUE(fs.mkdir("/d"));
    ASSERT_TRUE(fs.mkdir("/e"));
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    ASSERT_TRUE(fs.write_file("/d/f", bytes));
}

} // namespace

TEST(ChangeFeed, EachChangeTellsWhatWentStale) {
    const std::vector<std::uint8_t> bytes{9};
    const std::vector<Case> cases = {
        {"mkdir", [](auto& fs) { ASSERT_TRUE(fs->mkdir("/d/n")); }, {"changed /d"}},
        {"write_file",
         [&](auto& fs) { ASSERT_TRUE(fs->write_file("/d/f", bytes)); },
         {"changed /d/f"}},
        {"handle write",
         [&](auto& fs) {
             auto h = FileSystem::open(fs, "/d/f", FileHandleType(FileHandleType::WRITE), false);
             ASSERT_TRUE(h && h->write_at(10, bytes));
         },
         {"changed /d/f"}},
        {"rm", [](auto& fs) { ASSERT_TRUE(fs->rm("/d/f", false)); }, {"gone /d|f", "changed /d"}},
        {"rename",
         [](auto& fs) { ASSERT_TRUE(fs->rename_at(1, "f", 2, "g", true)); },
         {"gone /d|f", "gone /e|g", "changed /d", "changed /e", "changed /e/g"}},
        {"recursive rm",
         [](auto& fs) { ASSERT_TRUE(fs->rm("/d", true)); },
         // The removed directory has no path any more when it is told.
         {"gone ?|f", "changed ?", "gone /|d", "changed /"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto fs = FileSystem::create();
        prepare(*fs);
        Recorder recorder(*fs);
        fs->add_observer(&recorder);
        c.change(fs);
        EXPECT_EQ(recorder.told, c.told);
        fs->remove_observer(&recorder);
    }
}

TEST(ChangeFeed, TheObserverServingAChangeIsNotToldOfIt) {
    auto fs = FileSystem::create();
    Recorder serving(*fs);
    Recorder other(*fs);
    fs->add_observer(&serving);
    fs->add_observer(&other);
    ChangeObserver::serving = &serving;
    ASSERT_TRUE(fs->mkdir("/x"));
    ChangeObserver::serving = nullptr;
    EXPECT_TRUE(serving.told.empty());
    EXPECT_EQ(other.told, std::vector<std::string>{"changed /"});
    fs->remove_observer(&serving);
    fs->remove_observer(&other);
}

// An observer may wait on others who need the tree's locks (the kernel waits on the
// mount's threads): it is told only once every lock is released, so changing the tree
// from within a notification finishes.
TEST(ChangeFeed, ObserversAreToldWithNoLockHeld) {
    auto fs = FileSystem::create();
    prepare(*fs);
    struct Reentrant : ChangeObserver {
        std::shared_ptr<FileSystem> fs;
        int depth = 0;
        void entry_gone(InodeId, std::string_view) override {}
        void changed(InodeId) override {
            // From another thread, as the mount's server would.
            if (depth++ == 0) {
                std::async(std::launch::async, [&] {
                    (void)fs->rename("/e", "/e2", false);
                    (void)fs->write_file("/d/f", std::vector<std::uint8_t>{1});
                }).get();
            }
        }
    } observer;
    observer.fs = fs;
    fs->add_observer(&observer);
    auto done = std::async(std::launch::async, [&] { return fs->rename("/d/f", "/d/g", false); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(done.get());
    EXPECT_TRUE(fs->stat("/e2"));
    fs->remove_observer(&observer);
}

TEST(ChangeFeed, ModificationTimesFollowChangesAndClones) {
    auto fs = FileSystem::create();
    prepare(*fs);
    auto before = fs->stat("/d")->mtime_ns;
    ASSERT_TRUE(fs->mkdir("/d/n"));
    EXPECT_GT(fs->stat("/d")->mtime_ns, before);
    auto file = fs->stat("/d/f")->mtime_ns;
    auto h = FileSystem::open(fs, "/d/f", FileHandleType(FileHandleType::WRITE), false);
    ASSERT_TRUE(h && h->truncate(0));
    EXPECT_GT(fs->stat("/d/f")->mtime_ns, file);
    EXPECT_EQ(fs->clone()->stat("/d/f")->mtime_ns, fs->stat("/d/f")->mtime_ns);
}
