#include <gtest/gtest.h>

#include <string>

#include "nesk_blkdev.h"
#include "test_support.h"

namespace {

using nesk_test::ScopedPlatform;

TEST(BlkdevRecords, CopiesCarryEveryField) {
    ScopedPlatform platform;
    nesk_blkdev disk;
    EXPECT_EQ(disk.get_blocks(), 0u);
    EXPECT_EQ(disk.get_blksize(), 0u);
    disk.set_name("/dev/sdb");
    disk.set_loc("2:0:0:0");
    disk.set_vendor("ATA");
    disk.set_product("ST4000NM0035");
    disk.set_serial("ZC1234AB");
    disk.set_blocks(7814037168ULL);
    disk.set_block_size(512);

    auto expect_same = [](nesk_blkdev& d) {
        EXPECT_EQ(d.get_name(), "/dev/sdb");
        EXPECT_EQ(d.get_loc(), "2:0:0:0");
        EXPECT_EQ(d.get_vendor(), "ATA");
        EXPECT_EQ(d.get_product(), "ST4000NM0035");
        EXPECT_EQ(d.get_serial(), "ZC1234AB");
        EXPECT_EQ(d.get_blocks(), 7814037168ULL);
        EXPECT_EQ(d.get_blksize(), 512u);
    };
    nesk_blkdev copy(disk);
    expect_same(copy);
    nesk_blkdev assigned;
    assigned = disk;
    expect_same(assigned);
    nesk_blkdev moved(std::move(copy));
    expect_same(moved);
    expect_same(disk);

    // Records are values: changing a copy leaves the source alone.
    assigned.set_serial("OTHER");
    EXPECT_EQ(disk.get_serial(), "ZC1234AB");
}

TEST(BlkdevRecords, BasicInfoAndPartitionStartEmpty) {
    nesk_blkdev_basic_info info;
    EXPECT_TRUE(info.name.empty());
    nesk_partition partition;
    EXPECT_TRUE(partition.start.empty() && partition.end.empty() && partition.size.empty() &&
                partition.fs_type.empty() && partition.name.empty() && partition.flags.empty());
}

TEST(BlkdevManager, FreshManagerKnowsNoDisk) {
    ScopedPlatform platform;
    nesk_blkdevmgr manager;
    EXPECT_TRUE(manager.enum_valid);
    EXPECT_TRUE(manager.blkdev_map.empty());
    EXPECT_TRUE(manager.used_devs.empty());

    nesk_blkdev out;
    out.set_name("untouched");
    EXPECT_EQ(manager.get_blkdev("/dev/sda", out), -1);
    EXPECT_EQ(manager.get_blkdev("sda", out), -1) << "keys are full device paths";
    EXPECT_EQ(out.get_name(), "untouched");

    auto lines = platform.log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Failed to find block device [/dev/sda] on the server"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("Failed to find block device [sda] on the server"), std::string::npos)
        << lines[1];
}

TEST(BlkdevManager, ToBlkdevReducesPartitionsToTheirDisk) {
    struct Case {
        const char* path;
        const char* disk;
    };
    const Case cases[] = {
        {"/dev/sdb1", "/dev/sdb"},
        {"/dev/sdb", "/dev/sdb"},
        {"/dev/vda", "/dev/vda"},
        {"", ""},
        {"/dev/sdaa12", "/dev/sdaa"},
        {"/dev/md127", "/dev/md"},
        {"/dev/mapper/vg0-lv1", "/dev/mapper/vg"},
        // NVMe namespaces keep their own digits; their partitions map to them.
        {"/dev/nvme0n1", "/dev/nvme0n1"},
        {"/dev/nvme0n1p1", "/dev/nvme0n1"},
        {"/dev/nvme12n3p45", "/dev/nvme12n3"},
        // Anything short of the namespace form is cut at its first digit.
        {"/dev/nvme0", "/dev/nvme"},
        {"/dev/nvme0n1p", "/dev/nvme"},
        {"/dev/nvme0n1q1", "/dev/nvme"},
        {"/dev/nvmen1", "/dev/nvmen"},
        {"nvme0n1p1", "nvme"},
    };
    ScopedPlatform platform;
    nesk_blkdevmgr manager;
    for (const auto& c : cases) EXPECT_EQ(manager.to_blkdev(c.path), c.disk) << c.path;
    EXPECT_TRUE(platform.log_lines().empty()) << "to_blkdev never logs";
}

TEST(BlkdevManager, ExportedData) {
    EXPECT_EQ(BUFFER_SIZE, 16384);
    EXPECT_EQ(s_block_base_dir, "/sys/block");
    EXPECT_EQ(md_major, -1) << "nothing has looked the md driver up yet";
}

}  // namespace
