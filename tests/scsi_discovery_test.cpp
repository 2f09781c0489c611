// SCSI disk discovery against simulated nodes: which sysfs entries become
// records, which are skipped and what is logged at each level.
#include <dirent.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"

namespace {

using namespace nesk_test;

int filter(const std::string& name) { return nesk_test::apply_filter(selectscsidev, name); }

using ScsiDiscovery = SandboxTest;

TEST_F(ScsiDiscovery, RecordsALocalDiskWithItsSysfsAttributes) {
    sandbox().add_scsi_disk(ScsiDisk("0:0:0:0", "sda")
                                .with_vendor("ATA     ")
                                .with_model("ST4000NM0035-1V4")
                                .with_size(7814037168ULL)
                                .with_serial("ZC1234AB            "));
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_scsi_blkdevs(), 0);

    nesk_blkdev disk;
    ASSERT_EQ(manager.get_blkdev("/dev/sda", disk), 0);
    EXPECT_EQ(disk.get_name(), "/dev/sda");
    EXPECT_EQ(disk.get_loc(), "0:0:0:0");
    EXPECT_EQ(disk.get_vendor(), "ATA");
    EXPECT_EQ(disk.get_product(), "ST4000NM0035-1V4");
    EXPECT_EQ(disk.get_serial(), "ZC1234AB");
    EXPECT_EQ(disk.get_blocks(), 7814037168ULL);
    EXPECT_EQ(disk.get_blksize(), 512u);
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Found block device [/dev/sda] with serial number [ZC1234AB]"));
}

TEST_F(ScsiDiscovery, FilterAcceptsOnlyFourPartAddressesOfOneBlockDevice) {
    // Every rejected entry is a whole disk (block directory, one block name,
    // a /dev node) except for the one property its comment names.
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda"))
        .add_scsi_disk(ScsiDisk("9:9:9:9", "sdb"))
        .add_scsi_disk(ScsiDisk("0:0:0", "sdc"))
        .add_scsi_disk(ScsiDisk("0:0:0:0:0", "sdd"))
        .add_scsi_disk(ScsiDisk("0::0:0:0", "sde"))
        .add_scsi_disk(ScsiDisk("0:0:2:0", "sdf").without_node())
        .add_enclosure("0:0:3:0")
        .add_scsi_disk(ScsiDisk("0:0:0:x", "sdi"))
        .add_scsi_disk(ScsiDisk("0:0:0:-1", "sdj"));
    ScsiDisk two("0:0:4:0", "sdg");
    two.extra_block_names.push_back("sdh");
    sandbox().add_scsi_disk(two).add_device_node("sdh", {8, 250});
    sandbox().add_dangling_link("/sys/bus/scsi/devices/0:0:5:0", "../../../devices/gone/0:0:5:0");
    sandbox().make_link("/sys/bus/scsi/devices/.0:0:0:0", sandbox().scsi_device_dir("0:0:0:0"));

    const struct {
        const char* name;
        int accepted;
    } cases[] = {
        {"0:0:0:0", 1},   {"9:9:9:9", 1},     {"0::0:0:0", 1},
        {"host0", 0},     {"target0:0:0", 0},  // no block directory
        {"0:0:0", 0},     {"0:0:0:0:0", 0},    // three and five pieces
        {"0:0:0:x", 0},   {"0:0:0:-1", 0},     // a piece not starting with a digit
        {"0:0:2:0", 0},                        // no /dev node
        {"0:0:3:0", 0},                        // an enclosure: no block directory
        {"0:0:4:0", 0},                        // two block devices, both with /dev nodes
        {"0:0:5:0", 0},                        // a dangling link
        {".0:0:0:0", 0},                       // hidden name of an accepted disk
        {"1:0:0:0", 0},                        // no such entry
    };
    for (const auto& c : cases) EXPECT_EQ(filter(c.name), c.accepted) << c.name;

    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_scsi_blkdevs(), 0);
    EXPECT_EQ(keys(manager), (std::vector<std::string>{"/dev/sda", "/dev/sdb", "/dev/sde"}));
    nesk_blkdev disk;
    ASSERT_EQ(manager.get_blkdev("/dev/sde", disk), 0);
    EXPECT_EQ(disk.get_loc(), "0::0:0:0");
}

TEST_F(ScsiDiscovery, SkipsSanAndRemovableDevicesAndLogsEachTwice) {
    platform().set_debug_level(2);
    sandbox()
        .add_scsi_host(5, HostKind::fc)
        .add_scsi_host(6, HostKind::iscsi)
        .add_scsi_host(7, HostKind::sas)
        .add_scsi_disk(ScsiDisk("5:0:3:1074413572", "sdb"))
        .add_scsi_disk(ScsiDisk("6:0:0:0", "sdc"))
        .add_scsi_disk(ScsiDisk("7:0:0:0", "sdd"))
        .add_scsi_disk(ScsiDisk::optical("1:0:0:0", "sr0"));
    ScsiDisk no_flag("7:0:1:0", "sde");
    no_flag.removable.reset();
    sandbox().add_scsi_disk(no_flag);

    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_scsi_blkdevs(), 0);
    // A missing removable file counts as a fixed disk.
    EXPECT_EQ(keys(manager), (std::vector<std::string>{"/dev/sdd", "/dev/sde"}));
    EXPECT_TRUE(manager.is_san_disk(5));
    EXPECT_TRUE(manager.is_san_disk(6));
    EXPECT_FALSE(manager.is_san_disk(7));
    EXPECT_EQ(manager.skipped_devs, (std::map<std::string, std::string>{
                                        {"/dev/sdb", "san"}, {"/dev/sdc", "san"},
                                        {"/dev/sr0", "removable"}}));

    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "Skipping SAN attached block device [/dev/sdb]"));
    EXPECT_TRUE(has_line_containing(log, "Skipping SAN attached block device [/dev/sdc]"));
    EXPECT_TRUE(has_line_containing(log, "Skipping removable block device [/dev/sr0]"));
    EXPECT_TRUE(has_line_containing(log, "Failed to parse block device info @ /sys/block/5:0:3:1074413572"));
    EXPECT_TRUE(has_line_containing(log, "Failed to parse block device info @ /sys/block/6:0:0:0"));
    EXPECT_TRUE(has_line_containing(log, "Failed to parse block device info @ /sys/block/1:0:0:0"));
    EXPECT_EQ(count_lines_containing(log, "Failed to parse block device info"), 3);
}

TEST_F(ScsiDiscovery, DefaultThresholdKeepsOnlyLevelMinusOneAndZero) {
    sandbox()
        .add_scsi_host(5, HostKind::fc)
        .add_scsi_disk(ScsiDisk("5:0:0:0", "sdb"))
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_size(1000));
    nesk_blkdevmgr manager;
    manager.enumerate_scsi_blkdevs();
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "Skipping SAN attached block device [/dev/sdb]"));
    // No VPD page: the disk is recorded with empty brackets for its serial.
    EXPECT_TRUE(has_line_containing(log, "Found block device [/dev/sda] with serial number []"));
    EXPECT_FALSE(has_line_containing(log, "Failed to parse block device info"));
    EXPECT_FALSE(has_line_containing(log, "num of blocks"));
    EXPECT_FALSE(has_line_containing(log, "uuid for"));
}

TEST_F(ScsiDiscovery, DuplicateDiskKeepsTheFirstEntryInAlphasortOrder) {
    // "10:0:0:0" sorts before "9:0:0:0" although it is added second.
    sandbox()
        .add_scsi_disk(ScsiDisk("9:0:0:0", "sdd").with_vendor("SECOND"))
        .add_scsi_disk(ScsiDisk("10:0:0:0", "sdd").with_vendor("FIRST"));
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_scsi_blkdevs(), 0);
    nesk_blkdev disk;
    ASSERT_EQ(manager.get_blkdev("/dev/sdd", disk), 0);
    EXPECT_EQ(disk.get_vendor(), "FIRST");
    EXPECT_EQ(disk.get_loc(), "10:0:0:0");
    EXPECT_EQ(manager.blkdev_map.size(), 1u);
}

TEST_F(ScsiDiscovery, EmptyOrMissingScanDirectory) {
    sandbox().add_scsi_host(0).add_enclosure("0:0:3:0");
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_scsi_blkdevs(), 0);
    EXPECT_TRUE(manager.blkdev_map.empty());

    sandbox().remove("/sys/bus/scsi/devices");
    EXPECT_EQ(manager.enumerate_scsi_blkdevs(), -1);
    EXPECT_TRUE(manager.blkdev_map.empty());
}

TEST_F(ScsiDiscovery, ParseReportsABlockDirectoryThatChangedUnderIt) {
    sandbox().add_scsi_disk(ScsiDisk("0:0:1:0", "sdb"));
    const std::string block = sandbox().scsi_device_dir("0:0:1:0") + "/block";
    sandbox().remove(block + "/sdb").make_dir(block + "/.tmp");
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.parseblkdevinfo("4:0:0:0"), -1);  // no such entry
    EXPECT_EQ(manager.parseblkdevinfo("0:0:1:0"), -1);  // only a hidden name left
    EXPECT_TRUE(manager.blkdev_map.empty());
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "Unable to read block directory in [4:0:0:0]"));
    EXPECT_TRUE(has_line_containing(log, "No block device found in block directory of [0:0:1:0]"));
}

TEST(ScsiHostId, TakesTheLeadingNumberOfTheFirstPiece) {
    nesk_test::ScopedPlatform platform;
    nesk_blkdevmgr manager;
    const std::string long_name = std::string(62, '0') + "12:0:0:0";  // only 63 characters count
    const struct {
        const char* address;
        int host;
    } cases[] = {
        {"2:0:0:0", 2}, {"12:0:3:1074413572", 12}, {"::7:0", 7}, {"x:0:0:0", 0},
        {"", -1},       {":::", -1},               {long_name.c_str(), 1},
    };
    for (const auto& c : cases) EXPECT_EQ(manager.extracthostid(c.address), c.host) << c.address;
    EXPECT_EQ(manager.extracthostid(nullptr), -1);
}

}  // namespace
