// New disk selection: which discovered disks are new, in which order.
#include <list>
#include <map>
#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Names = std::vector<std::string>;

Names names_of(const std::list<nesk_blkdev_basic_info>& disks) {
    Names names;
    for (const auto& d : disks) names.push_back(d.name);
    return names;
}

nesk_blkdev_basic_info info(unsigned long long blocks, unsigned int block_size) {
    return nesk_blkdev_basic_info("/dev/x", blocks, block_size);
}

TEST(BlkdevCompare, OrdersByBytesNotBlocks) {
    nesk_blkdev_basic_info big_blocks = info(1000, 4096);   // 4 096 000 bytes
    nesk_blkdev_basic_info small_blocks = info(7000, 512);  // 3 584 000 bytes
    nesk_blkdev_basic_info same = info(8000, 512);          // 4 096 000 bytes
    EXPECT_TRUE(blkdev_compare(small_blocks, big_blocks));
    EXPECT_FALSE(blkdev_compare(big_blocks, small_blocks));
    EXPECT_FALSE(blkdev_compare(big_blocks, same));
    EXPECT_FALSE(blkdev_compare(same, big_blocks));
    // Sizes beyond 32 bits are not truncated.
    nesk_blkdev_basic_info huge = info(1ULL << 33, 512);
    nesk_blkdev_basic_info less = info((1ULL << 33) - 1, 512);
    EXPECT_TRUE(blkdev_compare(less, huge));
}

class NewDisksTest : public SandboxTest {
protected:
    void SetUpNode() override { platform().set_debug_level(2); }
};

// Four disks whose nodes all reach one small blank device: every probe reads
// no XFS superblock, so all are new and only order and size decide.
TEST_F(NewDisksTest, PathOrderOrSizeOrder) {
    LoopDevice blank(1ULL << 20);
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sdb").with_size(100).with_devnum(blank.devnum()))
        .add_scsi_disk(ScsiDisk("0:0:1:0", "sda").with_size(200).with_devnum(blank.devnum()))
        .add_scsi_disk(ScsiDisk("0:0:2:0", "sdaa").with_size(300).with_devnum(blank.devnum()))
        .add_scsi_disk(ScsiDisk("0:0:3:0", "sdc").with_size(100).with_devnum(blank.devnum()));
    nesk_blkdevmgr manager;
    manager.enumerate_scsi_blkdevs();
    ASSERT_EQ(manager.blkdev_map.size(), 4u);

    std::list<nesk_blkdev_basic_info> disks{info(1, 512)};
    EXPECT_EQ(manager.get_new_disks(disks), 0);
    EXPECT_EQ(names_of(disks), (Names{"/dev/sda", "/dev/sdaa", "/dev/sdb", "/dev/sdc"}));
    EXPECT_EQ(disks.front().blocks, 200u);
    EXPECT_EQ(disks.front().block_size, 512u);

    const struct {
        unsigned long long minimum;
        Names order;
    } cases[] = {
        {0, {"/dev/sdb", "/dev/sdc", "/dev/sda", "/dev/sdaa"}},  // equal sizes keep path order
        {100 * 512, {"/dev/sdb", "/dev/sdc", "/dev/sda", "/dev/sdaa"}},
        {100 * 512 + 1, {"/dev/sda", "/dev/sdaa"}},
        {300 * 512 + 1, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.minimum);
        const size_t before = platform().log_lines().size();
        EXPECT_EQ(manager.get_new_disks(c.minimum, disks), 0);
        EXPECT_EQ(names_of(disks), c.order);
        const std::vector<std::string> log = platform().log_lines(before);
        // Every disk is probed, the small ones too, and none is mounted; one
        // message per disk kept, in path order.
        EXPECT_EQ(count_lines_containing(log, "holds no XFS file system"), 4);
        EXPECT_FALSE(has_line_containing(log, "Mount command"));
        std::vector<std::string> found;
        for (const std::string& line : log)
            if (line.find("nesk_blkdevmgr::get_new_disks: Found a new block device") != line.npos)
                found.push_back(line.substr(line.find("/dev/")));
        Names expected;
        for (const std::string& name : Names{"/dev/sda", "/dev/sdaa", "/dev/sdb", "/dev/sdc"})
            for (const std::string& kept : c.order)
                if (kept == name) expected.push_back(name);
        ASSERT_EQ(found.size(), expected.size());
        for (size_t i = 0; i < found.size(); ++i)
            EXPECT_EQ(found[i].find(expected[i] + " with "), 0u);
    }
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Found a new block device /dev/sda with 200 blocks"));
}

// Discovery, in-use enumerations, probe and selection on real block devices
// reached through nodes named like SCSI disks.
TEST_F(NewDisksTest, EndToEndOnLoopDevices) {
    LoopDevice stamped(300ULL << 20), unstamped(300ULL << 20), blank(64ULL << 20);
    sandbox()
        .add_scsi_disk(
            ScsiDisk("0:0:0:0", "sda").with_devnum(stamped.devnum()).with_size(stamped.sectors()))
        .add_scsi_disk(ScsiDisk("0:0:1:0", "sdb")
                           .with_devnum(unstamped.devnum())
                           .with_size(unstamped.sectors()))
        .add_scsi_disk(
            ScsiDisk("0:0:2:0", "sdc").with_devnum(blank.devnum()).with_size(blank.sectors()))
        .add_scsi_disk(ScsiDisk("0:0:3:0", "sdd"))
        .add_scsi_disk(ScsiDisk("0:0:4:0", "sde"))
        .add_scsi_disk(ScsiDisk("0:0:5:0", "sdf"))
        .add_virtual_block("md0")
        .stub_command("pvscan", {"  /dev/sdd\n  Total: 1 [1.00 GiB]\n", "", 0})
        .stub_command("mdadm", "--detail /dev/md0",
                      {"    Number   Major   Minor   RaidDevice State\n"
                       "       0       8       64        0      active sync   /dev/sde\n",
                       "", 0})
        .set_mtab("/dev/sdf1 /data xfs rw,relatime 0 0\n");
    make_xfs("/dev/sda");
    set_root_attributes("/dev/sda", valid_stamps("/dev/sda"));
    make_xfs("/dev/sdb");

    nesk_blkdevmgr manager;
    ASSERT_EQ(manager.enumerate_blkdevs(true), 0);
    ASSERT_TRUE(manager.enum_valid);
    const size_t dirs_before = probe_directories().size();
    std::list<nesk_blkdev_basic_info> disks;
    EXPECT_EQ(manager.get_new_disks(disks), 0);
    EXPECT_EQ(names_of(disks), (Names{"/dev/sdb", "/dev/sdc"}));
    EXPECT_EQ(manager.get_new_disks(0, disks), 0);
    EXPECT_EQ(names_of(disks), (Names{"/dev/sdc", "/dev/sdb"}));
    EXPECT_EQ(manager.get_new_disks(100ULL << 20, disks), 0);
    EXPECT_EQ(names_of(disks), (Names{"/dev/sdb"}));

    // Two mounting probes per call (sda, sdb; the blank sdc is only read);
    // their directories stay, nothing stays mounted.
    EXPECT_EQ(probe_directories().size(), dirs_before + 6);
    for (const std::string& point : mount_points()) EXPECT_EQ(point.find("/tmp/hamnt"), point.npos);
    EXPECT_EQ(count_lines_containing(platform().log_lines(),
                                     "Block device /dev/sda has valid vornik extended attributes"),
              3);
}

}  // namespace

namespace {

// A disk whose size cannot be read would look like a new disk of 0 bytes: it
// is not new, whatever the minimum, and the probe says why.
TEST_F(NewDisksTest, DiskOfUnknownSizeIsNeverNew) {
    LoopDevice blank(1ULL << 20);
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_size(100).with_devnum(blank.devnum()))
        .add_scsi_disk(ScsiDisk("0:0:1:0", "sdb").with_devnum(blank.devnum()))
        .add_nvme(NvmeNamespace("nvme0n1").without_size().with_devnum(blank.devnum()));
    sandbox().write_file(sandbox().scsi_device_dir("0:0:1:0") + "/block/sdb/size", "12x\n");
    nesk_blkdevmgr manager;
    manager.enumerate_scsi_blkdevs();
    manager.enumerate_nvme();
    std::list<nesk_blkdev_basic_info> disks;
    EXPECT_EQ(manager.get_new_disks(0, disks), 0);
    EXPECT_EQ(names_of(disks), (Names{"/dev/sda"}));
    EXPECT_EQ(manager.active_reasons,
              (std::map<std::string, std::string>{{"/dev/nvme0n1", "unknown-size"},
                                                  {"/dev/sdb", "unknown-size"}}));
}

}  // namespace
