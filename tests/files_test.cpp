#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "forked_child.h"
#include "nesk_utils.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;
using nesk_test::TempDir;
using V = std::vector<std::string>;

TEST(Read, FirstLineTrimmed) {
    TempDir dir;
    struct Case {
        std::string content, out;
    } cases[] = {
        {"x\n", "x"},
        {"", ""},
        {"\nabc\n", ""},
        {"  512 \t\r\nsecond\n", "512"},
        {"no line feed", "no line feed"},
        {"\va\f\n", "\va\f"},
        {std::string(10000, 'z') + "\nrest", std::string(10000, 'z')},
        {"a\0b\n"s, "a\0b"s},
    };
    for (const Case& c : cases) {
        nesk_test::write_whole_file(dir.file("attr"), c.content);
        EXPECT_EQ(nesk_utils::read(dir.file("attr")), c.out) << '"' << c.content << '"';
    }
    EXPECT_EQ(nesk_utils::read(dir.file("missing")), "");
    EXPECT_EQ(nesk_utils::read(dir.path()), "");
    EXPECT_EQ(nesk_utils::read(""), "");
}

TEST(Write, ExactBytesAndTruncation) {
    TempDir dir;
    const std::string path = dir.file("out");
    nesk_test::write_whole_file(path, "a much longer previous content\n");
    EXPECT_EQ(nesk_utils::write(path, "abc"), 0);
    EXPECT_EQ(nesk_test::read_whole_file(path), "abc");

    const std::string binary = "x\0y\n\xff"s;
    EXPECT_EQ(nesk_utils::write(path, binary), 0);
    EXPECT_EQ(nesk_test::read_whole_file(path), binary);

    EXPECT_EQ(nesk_utils::write(path, ""), 0);
    EXPECT_EQ(nesk_test::read_whole_file(path), "");

    EXPECT_EQ(nesk_utils::write(dir.file("no/such/dir/out"), "abc"), -1);
    EXPECT_EQ(nesk_utils::write(dir.path(), "abc"), -1);
}

TEST(ReadFile, LinesUntrimmedWithEmptyLinesAsLineFeed) {
    TempDir dir;
    struct Case {
        std::string content;
        V out;
    } cases[] = {
        {"a\n\nb", {"a", "\n", "b"}},
        {"a\n\nb\n", {"a", "\n", "b"}},
        {"\n", {"\n"}},
        {"\n\n", {"\n", "\n"}},
        {"", {}},
        {" x \r\n\ty\t\n", {" x \r", "\ty\t"}},
        // Lines that cross the reader's 4096-byte reads.
        {std::string(5000, 'a') + "\n" + std::string(5000, 'b') + "\nc",
         {std::string(5000, 'a'), std::string(5000, 'b'), "c"}},
    };
    for (const Case& c : cases) {
        nesk_test::write_whole_file(dir.file("f"), c.content);
        EXPECT_EQ(nesk_utils::read_file(dir.file("f")), c.out) << '"' << c.content << '"';
    }
    EXPECT_EQ(nesk_utils::read_file(dir.file("missing")), V{});
    EXPECT_EQ(nesk_utils::read_file(dir.path()), V{});
}

TEST(ReadFile, FileThatCannotBeWrittenGivesNothing) {
    TempDir dir;
    const std::string path = dir.file("ro");
    nesk_test::write_whole_file(path, "one\ntwo\n");
    if (!nesk_test::is_root()) {
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        EXPECT_EQ(nesk_utils::read_file(path), V{});
        EXPECT_EQ(nesk_utils::read(path), "one");
        return;
    }
    // Root writes through any mode bits; a read-only mount stops it. Bind the
    // directory read-only over itself in a private mount namespace.
    int code = nesk_test::run_in_child([&] {
        if (!nesk_test::enter_private_mount_namespace()) return 10;
        if (mount(dir.path().c_str(), dir.path().c_str(), nullptr, MS_BIND, nullptr) != 0)
            return 11;
        if (mount(nullptr, dir.path().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                  nullptr) != 0)
            return 12;
        if (nesk_utils::read(path) != "one") return 13;  // still readable
        if (!nesk_utils::read_file(path).empty()) return 14;
        return 0;
    });
    EXPECT_EQ(code, 0) << "10-12: namespace setup failed, 13: unreadable, 14: lines returned";
    EXPECT_EQ(nesk_utils::read_file(path), (V{"one", "two"}));  // outside the namespace
}

TEST(CopyFile, CopiesEveryByteOrLeavesAnEmptyTarget) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += static_cast<char>(i * 7 % 256);
    nesk_test::write_whole_file(dir.file("src"), data);
    nesk_test::write_whole_file(dir.file("dst"), std::string(300000, 'o'));
    nesk_utils::copy_file(dir.file("src"), dir.file("dst"));
    EXPECT_EQ(nesk_test::read_whole_file(dir.file("dst")), data);

    nesk_utils::copy_file(dir.file("missing"), dir.file("dst"));
    EXPECT_TRUE(nesk_utils::is_file(dir.file("dst")));
    EXPECT_EQ(nesk_test::read_whole_file(dir.file("dst")), "");
    nesk_utils::copy_file(dir.file("missing"), dir.file("new"));
    EXPECT_TRUE(nesk_utils::is_file(dir.file("new")));
}

// Sets `name` on `path`; false when the file system refuses the namespace.
bool set_attr(const std::string& path, const std::string& name, const std::string& value) {
    return setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

TEST(GetExtendedAttribute, ExactBytesOrUnchanged) {
    TempDir dir;
    const std::string path = dir.file("f");
    nesk_test::write_whole_file(path, "");
    std::string ns = "user.";
    if (!set_attr(path, "user.probe", "1")) {
        if (!nesk_test::is_root()) GTEST_SKIP() << "no user xattrs here and not root for trusted.";
        ns = "trusted.";
    }
    const std::string stamp = "ab\0cd\xff"s;
    ASSERT_TRUE(set_attr(path, ns + "stamp", stamp)) << strerror(errno);
    ASSERT_TRUE(set_attr(path, ns + "empty", ""));

    std::string value = "keep";
    EXPECT_EQ(nesk_utils::getextendedattribute(path, ns + "stamp", value), 0);
    EXPECT_EQ(value, stamp);
    EXPECT_EQ(nesk_utils::getextendedattribute(path, ns + "empty", value), 0);
    EXPECT_EQ(value, "");

    value = "keep";
    EXPECT_EQ(nesk_utils::getextendedattribute(path, ns + "absent", value), -1);
    EXPECT_EQ(nesk_utils::getextendedattribute(dir.file("missing"), ns + "stamp", value), -1);
    EXPECT_EQ(value, "keep");

    // Through a symbolic link to the file.
    ASSERT_EQ(symlink(path.c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(nesk_utils::getextendedattribute(dir.file("link"), ns + "stamp", value), 0);
    EXPECT_EQ(value, stamp);
}

// Checks the 4096-byte limit on `path`: 0, or a code naming what failed.
int check_attr_limit(const std::string& path, const std::string& ns) {
    const std::string full(4096, 'f'), over(4097, 'o');
    if (!set_attr(path, ns + "full", full) || !set_attr(path, ns + "over", over)) return 20;
    std::string value = "keep";
    if (nesk_utils::getextendedattribute(path, ns + "full", value) != 0 || value != full) return 21;
    value = "keep";
    if (nesk_utils::getextendedattribute(path, ns + "over", value) != -1 || value != "keep")
        return 22;
    return 0;
}

TEST(GetExtendedAttribute, ValueLongerThan4096BytesFails) {
    TempDir dir;
    const std::string path = dir.file("f");
    nesk_test::write_whole_file(path, "");
    if (check_attr_limit(path, "user.") == 0) return;
    // ext4 keeps a value in one block; tmpfs takes large values.
    if (!nesk_test::is_root()) GTEST_SKIP() << "file system refuses large values; tmpfs needs root";
    int code = nesk_test::run_in_child([&] {
        if (!nesk_test::enter_private_mount_namespace()) return 10;
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=1m") != 0) return 11;
        nesk_test::write_whole_file(path, "");  // throws: code 125
        return check_attr_limit(path, "trusted.");
    });
    EXPECT_EQ(code, 0) << "20: setxattr failed, 21: 4096 bytes not read, 22: 4097 bytes accepted";
}

TEST(GetFsUsage, BytesOfTheFileSystem) {
    unsigned long total = 7, free = 9;
    TempDir dir;
    EXPECT_EQ(nesk_utils::get_fs_usage(dir.file("missing"), total, free), -1);
    EXPECT_EQ(total, 7UL);
    EXPECT_EQ(free, 9UL);

    ASSERT_EQ(nesk_utils::get_fs_usage(dir.path(), total, free), 0);
    EXPECT_GT(total, 0UL);
    EXPECT_LE(free, total);

    if (!nesk_test::is_root()) GTEST_SKIP() << "a tmpfs of known size needs root";
    int code = nesk_test::run_in_child([&] {
        if (!nesk_test::enter_private_mount_namespace()) return 10;
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=4m") != 0) return 11;
        unsigned long t = 0, f = 0;
        if (nesk_utils::get_fs_usage(dir.path(), t, f) != 0) return 12;
        if (t != 4UL << 20) return 13;
        if (f != t) return 14;  // empty: every block free
        return 0;
    });
    EXPECT_EQ(code, 0) << "13: wrong total, 14: wrong free";
}

TEST(Paths, TypesFollowSymbolicLinks) {
    TempDir dir;
    nesk_test::write_whole_file(dir.file("file"), "x");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("sub", dir.file("to_dir").c_str()), 0);
    ASSERT_EQ(symlink("file", dir.file("to_file").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);

    struct Case {
        const char* name;
        bool dir, file;
    } cases[] = {
        {"file", false, true},    {"sub", true, false},       {"to_dir", true, false},
        {"to_file", false, true}, {"dangling", false, false}, {"missing", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nesk_utils::is_dir(dir.file(c.name)), c.dir) << c.name;
        EXPECT_EQ(nesk_utils::is_file(dir.file(c.name)), c.file) << c.name;
        EXPECT_FALSE(nesk_utils::is_blkdev(dir.file(c.name))) << c.name;
    }

    if (mknod(dir.file("blk").c_str(), S_IFBLK | 0600, makedev(7, 0)) != 0)
        GTEST_SKIP() << "cannot make a block device node: " << strerror(errno);
    ASSERT_EQ(symlink("blk", dir.file("to_blk").c_str()), 0);
    EXPECT_TRUE(nesk_utils::is_blkdev(dir.file("blk")));
    EXPECT_TRUE(nesk_utils::is_blkdev(dir.file("to_blk")));
    EXPECT_FALSE(nesk_utils::is_file(dir.file("blk")));
}

TEST(Paths, Readlink) {
    TempDir dir;
    nesk_test::write_whole_file(dir.file("file"), "x");
    ASSERT_EQ(symlink("../devices/pci0000:00/host0", dir.file("link").c_str()), 0);
    const std::string long_target(2000, 'l');
    ASSERT_EQ(symlink(long_target.c_str(), dir.file("long").c_str()), 0);

    std::string target = "stale";
    EXPECT_EQ(nesk_utils::readlink(dir.file("link"), target), 0);
    EXPECT_EQ(target, "../devices/pci0000:00/host0");
    EXPECT_EQ(nesk_utils::readlink(dir.file("long"), target), 0);
    EXPECT_EQ(target, long_target.substr(0, 1023));

    target = "stale";
    EXPECT_EQ(nesk_utils::readlink(dir.file("file"), target), -1);
    EXPECT_EQ(target, "");
    target = "stale";
    EXPECT_EQ(nesk_utils::readlink(dir.file("missing"), target), -1);
    EXPECT_EQ(target, "");
}

TEST(Paths, BasenameAndDirname) {
    struct Case {
        const char *path, *base, *dir;
    } cases[] = {
        {"/dev/sda", "sda", "/dev"},
        {"/a/b/", "b", "/a"},
        {"a/b//", "b", "a"},
        {"/", "/", "/"},
        {"", ".", "."},
        {"name", "name", "."},
        {"/a", "a", "/"},
        {"a//b", "b", "a"},
        {".", ".", "."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nesk_utils::get_basename(c.path), c.base) << '"' << c.path << '"';
        EXPECT_EQ(nesk_utils::dirname(c.path), c.dir) << '"' << c.path << '"';
    }
}

TEST(Files, NoDescriptorLeaks) {
    TempDir dir;
    nesk_test::write_whole_file(dir.file("f"), "a\nb\n");
    const int before = nesk_test::count_open_fds();
    for (int i = 0; i < 3; ++i) {
        nesk_utils::read(dir.file("f"));
        nesk_utils::read(dir.file("missing"));
        nesk_utils::read_file(dir.file("f"));
        nesk_utils::write(dir.file("g"), "x");
        nesk_utils::copy_file(dir.file("f"), dir.file("h"));
        nesk_utils::copy_file(dir.file("missing"), dir.file("h"));
    }
    EXPECT_EQ(nesk_test::count_open_fds(), before);
}

}  // namespace
