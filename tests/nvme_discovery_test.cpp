// NVMe discovery from /sys/block of a simulated node.
#include <dirent.h>
#include <string.h>

#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"

namespace {

using namespace nesk_test;

int filter(const std::string& name) { return nesk_test::apply_filter(selectnvme, name); }

using NvmeDiscovery = SandboxTest;

TEST_F(NvmeDiscovery, RecordsEachNamespaceWithItsSize) {
    platform().set_debug_level(2);
    sandbox()
        .add_nvme(NvmeNamespace("nvme1n1").with_size(2000))
        .add_nvme(NvmeNamespace("nvme0n1").with_size(1000));
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_nvme(), 0);

    ASSERT_EQ(manager.blkdev_map.size(), 2u);
    const struct {
        const char* name;
        unsigned long long blocks;
    } cases[] = {{"/dev/nvme0n1", 1000}, {"/dev/nvme1n1", 2000}};
    for (const auto& c : cases) {
        nesk_blkdev disk;
        ASSERT_EQ(manager.get_blkdev(c.name, disk), 0) << c.name;
        EXPECT_EQ(disk.get_blocks(), c.blocks);
        EXPECT_EQ(disk.get_blksize(), 512u);
        EXPECT_EQ(disk.get_loc() + disk.get_vendor() + disk.get_product() + disk.get_serial(), "");
    }
    // One line per namespace, in alphasort order, naming the bare entry.
    std::vector<std::string> detected;
    for (const std::string& line : platform().log_lines()) {
        std::string::size_type at = line.find("Detected nvme drive [");
        if (at != std::string::npos) detected.push_back(line.substr(at));
    }
    EXPECT_EQ(detected, (std::vector<std::string>{"Detected nvme drive [nvme0n1]",
                                                  "Detected nvme drive [nvme1n1]"}));
}

TEST_F(NvmeDiscovery, FilterTakesDirectoriesNamedNvmeOnly) {
    sandbox()
        .add_nvme(NvmeNamespace("nvme0n1"))
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda"))
        .add_virtual_block("md0")
        .make_link("/sys/block/.nvme0n1", "../devices/virtual/block/md0")
        .make_link("/sys/block/NVME0n1", "../devices/virtual/block/md0")
        .write_file("/sys/block/nvme-file", "")
        .add_dangling_link("/sys/block/nvme9n1", "../devices/gone/nvme9n1");
    const struct {
        const char* name;
        int accepted;
    } cases[] = {{"nvme0n1", 1}, {"sda", 0},       {".nvme0n1", 0},  {"md0", 0},
                 {"NVME0n1", 0}, {"nvme-file", 0}, {"nvme9n1", 0}};
    for (const auto& c : cases) EXPECT_EQ(filter(c.name), c.accepted) << c.name;

    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_nvme(), 0);
    ASSERT_EQ(manager.blkdev_map.size(), 1u);
    EXPECT_EQ(manager.blkdev_map.begin()->first, "/dev/nvme0n1");
}

TEST_F(NvmeDiscovery, MissingSizeStillRecordsTheDrive) {
    platform().set_debug_level(2);
    sandbox().add_nvme(NvmeNamespace("nvme0n1").without_size());
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_nvme(), 0);
    nesk_blkdev disk;
    ASSERT_EQ(manager.get_blkdev("/dev/nvme0n1", disk), 0);
    EXPECT_EQ(disk.get_blocks(), 0u);
    EXPECT_EQ(disk.get_blksize(), 512u);
    EXPECT_EQ(count_lines_containing(platform().log_lines(), "Detected nvme drive [nvme0n1]"), 1);
}

TEST_F(NvmeDiscovery, KeepsTheFirstRecordOfAName) {
    platform().set_debug_level(2);
    sandbox().add_nvme(NvmeNamespace("nvme0n1").with_size(1000));
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.parse_nvme("nvme0n1"), 0);
    sandbox().write_file("/sys/block/nvme0n1/size", "5000\n");
    EXPECT_EQ(manager.parse_nvme("nvme0n1"), 0);
    nesk_blkdev disk;
    ASSERT_EQ(manager.get_blkdev("/dev/nvme0n1", disk), 0);
    EXPECT_EQ(disk.get_blocks(), 1000u);
    EXPECT_EQ(count_lines_containing(platform().log_lines(), "Detected nvme drive [nvme0n1]"), 2);
}

TEST_F(NvmeDiscovery, EmptyOrMissingBlockDirectory) {
    sandbox().add_virtual_block("loop0").add_virtual_block("dm-0");
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_nvme(), 0);
    EXPECT_TRUE(manager.blkdev_map.empty());
    sandbox().remove("/sys/block");
    EXPECT_EQ(manager.enumerate_nvme(), -1);
}

}  // namespace
