// Mount-table parser: escapes, field order, options, long lines and a missing
// table.
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZavMntParser.h"
#include "test_support.h"

namespace {

std::vector<std::string> options_of(const ZavMntInfo& entry) {
    std::list<std::string> options;
    entry.GetMountOptions(options);
    return std::vector<std::string>(options.begin(), options.end());
}

}  // namespace

TEST(ZavMntParser, DecodesEscapesAndKeepsTableOrder) {
    nesk_test::TempDir dir("nesk-mnt");
    const std::string table = dir.file("mtab");
    // An overlay's layer list makes a line of many kilobytes.
    const std::string layers = "lowerdir=" + std::string(20000, 'l');
    nesk_test::write_whole_file(
        table,
        "/dev/sda1 / ext4 rw,relatime 0 1\n"
        "overlay /merged overlay rw," + layers + " 0 0\n"
        "# a comment line\n"
        "\n"
        "/dev/sdb1 /mnt/with\\040blank xfs rw,noatime,attr2,inode64,noquota 1 2\n"
        "server:/x\\040y /mnt/tab\\011here nfs4 ro,vers=4.2,addr=10.0.0.1 0 0\n"
        "/dev/sdc /mnt/back\\134slash xfs\tdefaults  0 0\n"
        "none /mnt/bare tmpfs\n");
    ZavMntParser parser(table);
    EXPECT_EQ(table, parser.GetPath());
    std::list<ZavMntInfo> entries;
    ASSERT_EQ(0, parser.ParseMountPointInfo(entries));

    struct Expected {
        const char* mount_point;
        const char* device;
        const char* type;
        int dump, pass;
        std::vector<std::string> options;
    };
    const std::vector<Expected> expected = {
        {"/", "/dev/sda1", "ext4", 0, 1, {"rw", "relatime"}},
        {"/merged", "overlay", "overlay", 0, 0, {"rw", layers}},
        {"/mnt/with blank", "/dev/sdb1", "xfs", 1, 2,
         {"rw", "noatime", "attr2", "inode64", "noquota"}},
        {"/mnt/tab\there", "server:/x y", "nfs4", 0, 0, {"ro", "vers=4.2", "addr=10.0.0.1"}},
        {"/mnt/back\\slash", "/dev/sdc", "xfs", 0, 0, {"defaults"}},
        {"/mnt/bare", "none", "tmpfs", 0, 0, {}},
    };
    ASSERT_EQ(expected.size(), entries.size());
    auto entry = entries.begin();
    for (const Expected& e : expected) {
        EXPECT_EQ(e.mount_point, entry->GetMountPoint());
        EXPECT_EQ(e.device, entry->GetBackingDevice());
        EXPECT_EQ(e.type, entry->GetFileSystemType());
        EXPECT_EQ(e.dump, entry->GetDumpFrequency());
        EXPECT_EQ(e.pass, entry->GetPassNumber());
        EXPECT_EQ(e.options, options_of(*entry)) << e.mount_point;
        ++entry;
    }

    // Options are appended behind what the caller's list already holds, and a
    // second parse appends behind the first.
    std::list<std::string> options = {"first"};
    entries.front().GetMountOptions(options);
    EXPECT_EQ((std::list<std::string>{"first", "rw", "relatime"}), options);
    ASSERT_EQ(0, parser.ParseMountPointInfo(entries));
    EXPECT_EQ(2 * expected.size(), entries.size());
}

TEST(ZavMntParser, MissingTableLeavesListUnchanged) {
    nesk_test::TempDir dir("nesk-mnt");
    ZavMntParser parser(dir.file("absent"));
    std::list<ZavMntInfo> entries(1);
    EXPECT_EQ(-1, parser.ParseMountPointInfo(entries));
    EXPECT_EQ(1u, entries.size());
}

TEST(ZavMntParser, ReadsTheLiveTable) {
    ZavMntParser parser("/proc/self/mounts");
    std::list<ZavMntInfo> entries;
    ASSERT_EQ(0, parser.ParseMountPointInfo(entries));
    bool root = false;
    for (const ZavMntInfo& entry : entries)
        root = root || (entry.GetMountPoint() == "/" && !options_of(entry).empty());
    EXPECT_TRUE(root);
}
