#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "fs/file_system.hpp"
#include "fs/posix_path.hpp"

namespace {

using ovaline::fs::check_posix_path;
using ovaline::fs::FileSystem;

struct Case {
    std::string path;
    int error;            // 0: accepted
    std::string resolved; // the path the tree is asked for
    bool directory_only = false;
};

TEST(PosixPath, AppliesWhatOsAppliesBeforeTheTreeResolves) {
    auto fs = FileSystem::create();
    ASSERT_TRUE(fs->makedirs("/d/e", false));
    ASSERT_TRUE(fs->touch("/f"));
    const Case cases[] = {
        {"", ENOENT, ""},
        {"/", 0, "/"},
        {"//", 0, "/", true},
        {"/f", 0, "/f"},
        {"/f/", ENOTDIR, ""},
        {"/f\\", ENOTDIR, ""},
        {"/f/.", ENOTDIR, ""},
        {"/f/..", ENOTDIR, ""},
        {"/f/../d", ENOTDIR, ""},
        {"/f/./x", ENOTDIR, ""},
        {"/d/", 0, "/d", true},
        {"/d//", 0, "/d", true},
        {"/d/.", 0, "/d/."},
        {"/d/e/../../f", 0, "/d/e/../../f"},
        {"/missing/", 0, "/missing", true},
        {"/missing/../f", 0, "/missing/../f"},
        {"/" + std::string(255, 'n'), 0, "/" + std::string(255, 'n')},
        {"/" + std::string(256, 'n'), ENAMETOOLONG, ""},
        {"/d/" + std::string(256, 'n') + "/x", ENAMETOOLONG, ""},
    };
    for (const Case& c : cases) {
        const auto checked = check_posix_path(*fs, c.path);
        if (c.error != 0) {
            ASSERT_FALSE(checked) << c.path;
            EXPECT_EQ(checked.error(), c.error) << c.path;
        } else {
            ASSERT_TRUE(checked) << c.path;
            EXPECT_EQ(checked->path, c.resolved) << c.path;
            EXPECT_EQ(checked->directory_only, c.directory_only) << c.path;
        }
    }
}

} // namespace
