#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <list>
#include <set>
#include <string>

#include "forked_child.h"
#include "nesk_utils.h"
#include "test_support.h"

namespace {

using nesk_test::TempDir;
using Names = std::set<std::string>;

TEST(ReadDirectory, AppendsEveryEntryAfterWhatWasThere) {
    TempDir dir;
    std::list<std::string> entries = {"first"};
    nesk_utils::read_directory(dir.path(), entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries.front(), "first");
    EXPECT_EQ(Names(std::next(entries.begin()), entries.end()), (Names{".", ".."}));

    nesk_test::write_whole_file(dir.file(".hidden"), "");
    nesk_test::write_whole_file(dir.file("file"), "");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    entries.clear();
    nesk_utils::read_directory(dir.path(), entries);
    EXPECT_EQ(Names(entries.begin(), entries.end()), (Names{".", "..", ".hidden", "file", "sub"}));
    EXPECT_EQ(entries.size(), 5u);

    entries = {"kept"};
    nesk_utils::read_directory("", entries);
    nesk_utils::read_directory(dir.file("missing"), entries);
    nesk_utils::read_directory(dir.file("file"), entries);
    EXPECT_EQ(entries, std::list<std::string>{"kept"});
}

TEST(IsDirEmpty, OnlyDotEntriesOrNothingReadable) {
    TempDir dir;
    EXPECT_TRUE(nesk_utils::is_dir_empty(dir.path()));
    EXPECT_TRUE(nesk_utils::is_dir_empty(dir.file("missing")));
    EXPECT_TRUE(nesk_utils::is_dir_empty(""));
    nesk_test::write_whole_file(dir.file(".hidden"), "");
    EXPECT_FALSE(nesk_utils::is_dir_empty(dir.path()));
    EXPECT_TRUE(nesk_utils::is_dir_empty(dir.file(".hidden")));  // not a directory

    TempDir other;
    ASSERT_EQ(mkdir(other.file("d").c_str(), 0755), 0);
    EXPECT_FALSE(nesk_utils::is_dir_empty(other.path()));
    EXPECT_TRUE(nesk_utils::is_dir_empty(other.file("d")));
}

TEST(MkdirR, CreatesEveryMissingLevel) {
    TempDir dir;
    const mode_t old_mask = umask(022);
    EXPECT_EQ(nesk_utils::mkdir_r(dir.path() + "//a/b//c/", 0750), 0);
    umask(old_mask);
    for (const char* sub : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(stat(dir.file(sub).c_str(), &st), 0) << sub;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << sub;
        EXPECT_EQ(st.st_mode & 07777, 0750u) << sub;
    }

    // Existing directories are left as they are.
    ASSERT_EQ(chmod(dir.file("a").c_str(), 0700), 0);
    EXPECT_EQ(nesk_utils::mkdir_r(dir.file("a/b"), 0755), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    // Nothing to make.
    EXPECT_EQ(nesk_utils::mkdir_r("", 0755), 0);
    EXPECT_EQ(nesk_utils::mkdir_r("///", 0755), 0);
}

TEST(MkdirR, StopsAtAFileOnTheWay) {
    TempDir dir;
    nesk_test::write_whole_file(dir.file("file"), "x");
    EXPECT_EQ(nesk_utils::mkdir_r(dir.file("file"), 0755), -1);
    EXPECT_EQ(nesk_utils::mkdir_r(dir.file("file/sub/deeper"), 0755), -1);
    EXPECT_FALSE(nesk_utils::is_dir(dir.file("file/sub")));
    // A link to a file is no directory either.
    ASSERT_EQ(symlink("file", dir.file("link").c_str()), 0);
    EXPECT_EQ(nesk_utils::mkdir_r(dir.file("link/z"), 0755), -1);
    // A name the file system cannot take fails at stat; levels made before remain.
    EXPECT_EQ(nesk_utils::mkdir_r(dir.file("made/" + std::string(300, 'n')), 0755), -1);
    EXPECT_TRUE(nesk_utils::is_dir(dir.file("made")));
}

TEST(MkdirR, RelativePathStartsAtTheRoot) {
    if (!nesk_test::is_root())
        GTEST_SKIP() << "needs root for a private mount namespace and chroot";
    TempDir dir;
    // A scratch root: a tmpfs in a private mount namespace of a child, which
    // then chroots into it, so the real root is never written.
    int code = nesk_test::run_in_child([&] {
        if (!nesk_test::enter_private_mount_namespace()) return 10;
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m,mode=0755") != 0) return 11;
        if (chroot(dir.path().c_str()) != 0 || chdir("/") != 0) return 12;
        if (mkdir("/work", 0755) != 0 || chdir("/work") != 0) return 13;
        if (nesk_utils::mkdir_r("a/b", 0755) != 0) return 14;
        if (!nesk_utils::is_dir("/a/b")) return 15;
        if (nesk_utils::is_dir("/work/a")) return 16;  // not below the working directory
        return 0;
    });
    EXPECT_EQ(code, 0) << "10-13: sandbox setup failed, 14: mkdir_r failed, 15: /a/b missing, "
                          "16: made below the working directory";
}

}  // namespace
