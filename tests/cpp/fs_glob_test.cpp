#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/glob.hpp"

using namespace ovaline::fs;

namespace {

using Paths = std::vector<std::string>;

class Glob : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(fs.makedirs("/d/e", false));
        for (const char* path : {"/a.txt", "/.hidden", "/d/b.txt", "/d/e/c.txt", "/d/*"}) {
            ASSERT_TRUE(fs.touch(path)) << path;
        }
        d = fs.get_inode_by_path_raw("/d").value();
    }

    FileSystem fs;
    InodeId d = 0;
};

} // namespace

TEST_F(Glob, FromTheRoot) {
    EXPECT_EQ(glob(fs, "*.txt"), Paths{"a.txt"});
    EXPECT_EQ(glob(fs, "**/*.txt"), (Paths{"a.txt", "d/b.txt", "d/e/c.txt"}));
    EXPECT_EQ(glob(fs, "\\d\\*.txt"), Paths{"/d/b.txt"});
    EXPECT_EQ(glob(fs, "*/"), Paths{"d/"});
    EXPECT_EQ(glob(fs, ".*"), Paths{".hidden"});
    EXPECT_EQ(glob(fs, "/"), Paths{"/"});
    EXPECT_EQ(glob(fs, ""), Paths{});
}

TEST_F(Glob, TheShellsWay) {
    const GlobOptions shell{.dir = d, .escapes = true, .recursive = false};
    EXPECT_EQ(glob(fs, "*", shell), (Paths{"*", "b.txt", "e"}));
    // `**` is `*`, one component deep.
    EXPECT_EQ(glob(fs, "**/*.txt", shell), Paths{"e/c.txt"});
    EXPECT_EQ(glob(fs, "\\*", shell), Paths{"*"});
    EXPECT_EQ(glob(fs, "\\**", shell), Paths{"*"});
    EXPECT_EQ(glob(fs, "../*.txt", shell), Paths{"../a.txt"});
    EXPECT_EQ(glob(fs, "/*/b*", shell), Paths{"/d/b.txt"});
    EXPECT_EQ(glob(fs, "*/", shell), Paths{"e/"});
    EXPECT_EQ(glob(fs, "../\\.h*", shell), Paths{"../.hidden"});
    EXPECT_EQ(glob(fs, "../?h*", shell), Paths{});
    EXPECT_EQ(glob(fs, "nope/*", shell), Paths{});
}
