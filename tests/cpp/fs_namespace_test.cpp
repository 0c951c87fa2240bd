#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/debug_text.hpp"
#include "fs/file_system.hpp"

using namespace ovaline::fs;
using ovaline::error::IoError;

namespace {

IoErrorKind kind_of(const auto& result) {
    return result.error().kind();
}

constexpr const char* kFresh =
    "FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: RwLock { "
    "data: Directory { children: [] }, poisoned: false, .. } }}, next_inode_id: 1 }";

} // namespace

TEST(IoErrorText, MessagesAndDiagnosticNames) {
    EXPECT_EQ(IoError(IoErrorKind::InodeNotFound).message(), "Inode not found");
    EXPECT_EQ(IoError(IoErrorKind::ResourceCurrentInUse).message(), "Resource is currently in use");
    EXPECT_EQ(IoError(IoErrorKind::NotASymlink).debug(), "NotASymlink");
    const auto read = IoError::operation_not_supported("read");
    EXPECT_EQ(read.message(), "File does not support the specified operation: read");
    EXPECT_EQ(read.debug(), "OperationNotSupported(\"read\")");
    EXPECT_NE(read, IoError::operation_not_supported("write"));
}

TEST(FileSystemDebug, FreshAndAfterCreation) {
    auto fs = FileSystem::create();
    EXPECT_EQ(fs->debug_string(), kFresh);
    ASSERT_TRUE(fs->mkdir("/a"));
    const std::string text = fs->debug_string();
    EXPECT_NE(text.find("1: INode { id: 1, parent: 0, depth: 1, name: \"a\""), std::string::npos);
    EXPECT_NE(text.find("Directory { children: [1] }"), std::string::npos);
    EXPECT_NE(text.find("next_inode_id: 2 }"), std::string::npos);
}

TEST(FileSystemDebug, NamesAreEscaped) {
    EXPECT_EQ(quote_name("a\"b\\c\td\re\nf"), "\"a\\\"b\\\\c\\td\\re\\nf\"");
    EXPECT_EQ(quote_name(std::string("x\0y", 3)), "\"x\\0y\"");
    EXPECT_EQ(quote_name("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
    EXPECT_EQ(quote_name("caf\xc3\xa9 \xe2\x9c\x93"), "\"caf\xc3\xa9 \xe2\x9c\x93\"");
    // Format characters, separators and unassigned code points are invisible or
    // ambiguous, so they are shown by number too.
    EXPECT_EQ(quote_name("a\u200b\u2028\ufeff\u0378b"),
              "\"a\\u{200b}\\u{2028}\\u{feff}\\u{378}b\"");
    // Malformed UTF-8 (overlong, surrogate, truncated) is one replacement per bad run.
    EXPECT_EQ(quote_name("\xc0\xaf|\xed\xa0\x80|\xe2\x82"),
              "\"\\u{fffd}\\u{fffd}|\\u{fffd}\\u{fffd}\\u{fffd}|\\u{fffd}\"");
}

TEST(CreateInode, IdsAreSpentAndNeverReused) {
    FileSystem fs;
    EXPECT_EQ(fs.create_inode(0, "a", Directory{}), 1u);
    EXPECT_EQ(kind_of(fs.create_inode(0, "a", File{})), IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(fs.create_inode(0, "b", File{}), 3u);
    ASSERT_TRUE(fs.rm_raw(3, false));
    EXPECT_EQ(fs.create_inode(0, "b", File{}), 4u);
    // Bad names spend no id.
    for (const char* bad : {"", ".", "..", "x/y", "x\\y", "/"}) {
        EXPECT_EQ(kind_of(fs.create_inode(0, bad, File{})), IoErrorKind::ResourceAlreadyExists)
            << bad;
    }
    EXPECT_EQ(fs.next_inode_id(), 5u);
    EXPECT_EQ(kind_of(fs.create_inode(4, "x", File{})), IoErrorKind::NotADirectory);
    EXPECT_EQ(kind_of(fs.create_inode(99, "x", File{})), IoErrorKind::InodeNotFound);
}

TEST(CreateInode, DepthLimit) {
    FileSystem fs;
    InodeId parent = 0;
    for (int depth = 1; depth <= 64; ++depth) {
        auto id = fs.create_inode(parent, "d", Directory{});
        ASSERT_TRUE(id) << depth;
        parent = *id;
    }
    EXPECT_EQ(kind_of(fs.create_inode(parent, "d", Directory{})),
              IoErrorKind::MaxRecursionDepthExceeded);
}

TEST(PathResolution, RootForms) {
    FileSystem fs;
    for (const char* path : {"", "/", "\\", "//", "/.", "/..", "/../..", "\\/."}) {
        EXPECT_EQ(fs.get_inode_by_path_raw(path), 0u) << path;
    }
}

TEST(PathResolution, Components) {
    FileSystem fs;
    ASSERT_TRUE(fs.mkdir("a"));
    ASSERT_TRUE(fs.mkdir("a/b"));
    ASSERT_TRUE(fs.touch("f"));
    for (const char* path : {"a", "/a", "a/", "//a//", "\\a", "a/b/.."}) {
        EXPECT_EQ(fs.get_inode_by_path_raw(path), 1u) << path;
    }
    EXPECT_EQ(fs.get_inode_by_path_raw("a\\b"), fs.get_inode_by_path_raw("/a/b"));
    EXPECT_EQ(fs.get_inode_by_path_raw("/a/../f"), 3u);
    EXPECT_EQ(kind_of(fs.get_inode_by_path_raw("/nope/../f")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(kind_of(fs.get_inode_by_path_raw("/f/x")), IoErrorKind::NotADirectory);
    EXPECT_EQ(fs.get_inode_by_path_raw("/f/."), 3u);
    EXPECT_EQ(fs.get_inode_by_path_raw("/f/"), 3u);
    EXPECT_EQ(fs.get_inode_by_path_raw("/f/.."), 0u);
    EXPECT_EQ(kind_of(fs.get_inode_by_path_raw("/A")), IoErrorKind::InodeNotFound);
}

TEST(PathResolution, FromADirectory) {
    FileSystem fs;
    ASSERT_TRUE(fs.makedirs("/a/b", false));
    ASSERT_TRUE(fs.touch("/a/f"));
    const InodeId a = fs.get_inode_by_path_raw("/a").value();
    const InodeId b = fs.get_inode_by_path_raw("/a/b").value();
    auto at = [&](InodeId dir, std::string_view path) -> IoResult<InodeId> {
        auto node = fs.resolve_at(dir, path);
        if (!node) {
            return std::unexpected(node.error());
        }
        return (*node)->id;
    };
    EXPECT_EQ(at(a, ""), a);
    EXPECT_EQ(at(a, "b"), b);
    EXPECT_EQ(at(a, "b\\..//./b"), b);
    EXPECT_EQ(at(b, "../f"), fs.get_inode_by_path_raw("/a/f"));
    EXPECT_EQ(at(b, "/a"), a);
    EXPECT_EQ(at(b, "\\a"), a);
    EXPECT_EQ(kind_of(at(a, "a")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(kind_of(at(a, "f/x")), IoErrorKind::NotADirectory);
    // A directory that is gone leads nowhere, but a path from the root does not need it.
    ASSERT_TRUE(fs.rm("/a/b", false));
    EXPECT_EQ(kind_of(at(b, ".")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(at(b, "/a"), a);
}

TEST(PathResolution, NamesAndKinds) {
    FileSystem fs;
    ASSERT_TRUE(fs.mkdir("a"));
    ASSERT_TRUE(fs.mkdir("a/b"));
    ASSERT_TRUE(fs.touch("a/f"));
    EXPECT_EQ(fs.find_inode_by_name(1, ""), 1u);
    EXPECT_EQ(fs.find_inode_by_name(1, "."), 1u);
    EXPECT_EQ(fs.find_inode_by_name(1, ".."), 0u);
    EXPECT_EQ(fs.find_inode_by_name(0, ".."), 0u);
    EXPECT_EQ(fs.find_inode_by_name(1, "b"), 2u);
    EXPECT_EQ(kind_of(fs.find_inode_by_name(1, "B")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(kind_of(fs.find_inode_by_name(3, "x")), IoErrorKind::NotADirectory);
    EXPECT_EQ(fs.find_inode_by_name(3, ".."), 1u);
    EXPECT_EQ(kind_of(fs.find_inode_by_name(2, "x")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(fs.is_directory_raw(0), true);
    EXPECT_EQ(fs.is_file_raw(0), false);
    EXPECT_EQ(fs.is_file_raw(3), true);
    EXPECT_EQ(kind_of(fs.is_file_raw(42)), IoErrorKind::InodeNotFound);
    EXPECT_EQ(fs.get_path_by_inode(0), "/");
    EXPECT_EQ(fs.get_path_by_inode(2), "/a/b");
    EXPECT_EQ(kind_of(fs.get_path_by_inode(42)), IoErrorKind::InodeNotFound);
}

TEST(Namespace, MkdirAndTouchPaths) {
    FileSystem fs;
    EXPECT_TRUE(fs.mkdir("a"));
    EXPECT_EQ(fs.get_inode_by_path_raw("a"), 1u);
    EXPECT_EQ(kind_of(fs.mkdir("a/")), IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(kind_of(fs.mkdir("")), IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(kind_of(fs.mkdir("/")), IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(kind_of(fs.mkdir("x/")), IoErrorKind::InodeNotFound);
    const auto before = fs.next_inode_id();
    EXPECT_EQ(kind_of(fs.mkdir("a/b/c")), IoErrorKind::InodeNotFound);
    EXPECT_EQ(fs.next_inode_id(), before);
    EXPECT_EQ(kind_of(fs.touch("a")), IoErrorKind::ResourceAlreadyExists);
    ASSERT_TRUE(fs.touch("\\a\\f"));
    EXPECT_EQ(kind_of(fs.touch("a/f")), IoErrorKind::ResourceAlreadyExists);
    EXPECT_EQ(kind_of(fs.mkdir("a/f/x")), IoErrorKind::NotADirectory);
}

TEST(Namespace, ListInCreationOrder) {
    FileSystem fs;
    ASSERT_TRUE(fs.touch("x"));
    ASSERT_TRUE(fs.mkdir("d"));
    ASSERT_TRUE(fs.touch("y"));
    auto listing = fs.ls_raw(0);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->files, (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(listing->directories, (std::vector<std::string>{"d"}));
    auto empty = fs.ls_raw(2);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->files.empty() && empty->directories.empty());
    EXPECT_EQ(kind_of(fs.ls_raw(1)), IoErrorKind::NotADirectory);
}

// Each change to a directory gives it a stamp no earlier state of any directory had;
// asked with its current stamp, ls_raw answers "unchanged" and lists nothing.
TEST(Namespace, ListingStampFollowsEveryChange) {
    FileSystem fs;
    ASSERT_TRUE(fs.mkdir("d"));
    ASSERT_TRUE(fs.mkdir("e"));
    EXPECT_EQ(fs.ls_raw(1)->stamp, 0u);
    std::vector<std::uint64_t> seen;
    const auto stamp_after = [&](auto change) {
        ASSERT_TRUE(change());
        auto listing = fs.ls_raw(1);
        ASSERT_TRUE(listing);
        ASSERT_NE(listing->stamp, 0u);
        EXPECT_EQ(std::find(seen.begin(), seen.end(), listing->stamp), seen.end());
        seen.push_back(listing->stamp);
        auto again = fs.ls_raw(1, listing->stamp);
        ASSERT_TRUE(again);
        EXPECT_TRUE(again->unchanged && again->files.empty() && again->directories.empty());
        EXPECT_FALSE(fs.ls_raw(1, listing->stamp + 1)->unchanged);
    };
    stamp_after([&] { return fs.touch("d/a"); });
    stamp_after([&] { return fs.touch("d/b"); });
    stamp_after([&] { return fs.rename("d/a", "d/c", false); });
    stamp_after([&] { return fs.rename("d/c", "d/b", true); });
    stamp_after([&] { return fs.mkdir("d/x"); });
    stamp_after([&] { return fs.rename("e", "d/y", false); });
    stamp_after([&] { return fs.rm("d/b", false); });
    ASSERT_TRUE(fs.touch("f"));
    stamp_after([&] { return fs.rename("f", "d/f", false); });
}

TEST(Namespace, Remove) {
    FileSystem fs;
    ASSERT_TRUE(fs.mkdir("d"));
    ASSERT_TRUE(fs.mkdir("d/e"));
    ASSERT_TRUE(fs.touch("d/e/f"));
    ASSERT_TRUE(fs.touch("g"));
    EXPECT_EQ(kind_of(fs.rm("d", false)), IoErrorKind::DirectoryIsNotEmpty);
    EXPECT_TRUE(fs.rm("g", false));
    EXPECT_EQ(kind_of(fs.get_inode_by_path_raw("g")), IoErrorKind::InodeNotFound);
    EXPECT_TRUE(fs.rm("d", true));
    EXPECT_EQ(fs.inode_count(), 1u);
    EXPECT_EQ(fs.debug_string().find("children: [] }"), fs.debug_string().rfind("children"));
}

TEST(Namespace, RemovingTheRootKeepsIt) {
    FileSystem fs;
    EXPECT_TRUE(fs.rm("/", false));
    ASSERT_TRUE(fs.mkdir("a"));
    ASSERT_TRUE(fs.touch("a/f"));
    EXPECT_EQ(kind_of(fs.rm("/a/..", false)), IoErrorKind::DirectoryIsNotEmpty);
    EXPECT_TRUE(fs.rm("/a/..", true));
    EXPECT_EQ(fs.inode_count(), 1u);
    // Still usable afterwards.
    EXPECT_TRUE(fs.mkdir("b"));
    EXPECT_EQ(fs.get_inode_by_path_raw("b"), 3u);
}

TEST(Namespace, NameIndexSurvivesManyEntriesAndRemovals) {
    FileSystem fs;
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(fs.touch("f" + std::to_string(i)));
    }
    for (int i = 0; i < 2000; i += 3) {
        ASSERT_TRUE(fs.rm("f" + std::to_string(i), false));
    }
    for (int i = 0; i < 2000; ++i) {
        const bool present = i % 3 != 0;
        EXPECT_EQ(fs.get_inode_by_path_raw("f" + std::to_string(i)).has_value(), present) << i;
    }
    auto listing = fs.ls_raw(0);
    ASSERT_TRUE(listing);
    ASSERT_EQ(listing->files.size(), 1333u);
    EXPECT_EQ(listing->files.front(), "f1");
    EXPECT_EQ(listing->files.back(), "f1999");
}

TEST(Namespace, CreationOrderSurvivesRemovalsInAnyOrder) {
    FileSystem fs;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(fs.touch("f" + std::to_string(i)));
    }
    // Oldest first, as a recursive removal goes, then a few from the back.
    for (int i = 0; i < 250; ++i) {
        ASSERT_TRUE(fs.rm("f" + std::to_string(i), false));
    }
    for (int i = 299; i >= 290; --i) {
        ASSERT_TRUE(fs.rm("f" + std::to_string(i), false));
    }
    ASSERT_TRUE(fs.mkdir("d"));
    ASSERT_TRUE(fs.touch("g"));
    for (int i = 250; i < 290; ++i) {
        expected.push_back("f" + std::to_string(i));
    }
    expected.push_back("g");
    auto listing = fs.ls_raw(0);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->files, expected);
    EXPECT_EQ(listing->directories, std::vector<std::string>{"d"});
    const std::string text = fs.debug_string();
    EXPECT_NE(text.find("children: [251, 252, "), std::string::npos);
    EXPECT_NE(text.find(", 290, 301, 302] }"), std::string::npos);
    ASSERT_TRUE(fs.rm("/", true));
    EXPECT_EQ(fs.inode_count(), 1u);
}

TEST(Namespace, NamesKeepTheirBytesInlineOrOnTheHeap) {
    // Around the inline limit of fifteen bytes, with embedded zeros and high bytes.
    for (const std::string& text :
         {std::string(), std::string("a"), std::string(15, 'x'), std::string(16, 'y'),
          std::string("\0\xff\x80z", 4), std::string(300, '\xff')}) {
        Name name(text);
        EXPECT_EQ(name.view(), text);
        Name copy(name);
        Name moved(std::move(copy));
        EXPECT_EQ(moved.view(), text);
        // Assigning a name its own bytes, or another length across the limit.
        moved = moved.view();
        EXPECT_EQ(moved.view(), text);
        moved = std::string(20, 'q') + text;
        EXPECT_EQ(moved.view(), std::string(20, 'q') + text);
        moved = "n";
        EXPECT_EQ(moved.view(), "n");
        name = moved;
        EXPECT_TRUE(name == "n");
    }
}
