// The assessment: one disk of each kind on a sandbox node, with real loop
// devices where the probe or the read-only flag must see a disk.
#include <algorithm>
#include <csignal>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Names = std::vector<std::string>;

constexpr unsigned long long MiB = 1ULL << 20;
// A device number no device of the host has: the default one of an NVMe
// namespace (259:N) may be a partition of a loop device another test made.
constexpr DevNum k_nowhere{8, 250};

class AssessTest : public SandboxTest {
protected:
    void SetUpNode() override {
        stamped_ = std::make_unique<LoopDevice>(300 * MiB);
        blank_ = std::make_unique<LoopDevice>(4 * MiB);
        read_only_ = std::make_unique<LoopDevice>(4 * MiB, true);
        ext4_ = std::make_unique<LoopDevice>(8 * MiB);
        run_checked({"mkfs.ext4", "-q", "-F", ext4_->path()});
        auto real = [](const char* address, const char* name, const LoopDevice& loop) {
            return ScsiDisk(address, name).with_devnum(loop.devnum()).with_size(loop.sectors());
        };
        sandbox()
            .add_scsi_disk(real("0:0:0:0", "sda", *stamped_))
            .add_scsi_disk(ScsiDisk("0:0:1:0", "sdb"))
            .add_scsi_disk(ScsiDisk("0:0:2:0", "sdc"))
            .add_scsi_disk(ScsiDisk("0:0:3:0", "sdd"))
            .add_scsi_disk(real("0:0:4:0", "sde", *read_only_).with_read_only())
            .add_scsi_disk(real("0:0:5:0", "sdf", *blank_).with_size(2048))  // 1 MiB
            .add_scsi_disk(real("0:0:6:0", "sdg", *blank_).with_wwid("naa.5000c500a1b2c3d4"))
            .add_scsi_disk(ScsiDisk("0:0:7:0", "sdh").with_removable("1"))
            .add_scsi_host(5, HostKind::fc)
            .add_scsi_disk(ScsiDisk("5:0:0:1", "sdi"))
            .add_scsi_disk(real("0:0:8:0", "sdj", *ext4_))
            .add_scsi_disk(ScsiDisk("0:0:9:0", "sdk"))  // its node reaches no disk
            .add_nvme(NvmeNamespace("nvme0n1").without_size().with_devnum(k_nowhere))
            .add_virtual_block("md0")
            .stub_command("pvscan", {"  /dev/sdb\n  Total: 1 [1.00 GiB]\n", "", 0})
            .stub_command("mdadm", "--detail /dev/md0",
                          {"    Number   Major   Minor   RaidDevice State\n"
                           "       0       8       32        0      active sync   /dev/sdc\n",
                           "", 0})
            .set_mtab("/dev/sdb1 /b xfs rw 0 0\n/dev/sdd1 /d xfs rw 0 0\n");
        make_xfs("/dev/sda");
        set_root_attributes("/dev/sda", valid_stamps("/dev/sda"));
    }
    void TearDown() override {
        stamped_.reset();
        blank_.reset();
        read_only_.reset();
        ext4_.reset();
        SandboxTest::TearDown();
    }

    std::unique_ptr<LoopDevice> stamped_, blank_, read_only_, ext4_;
};

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

TEST_F(AssessTest, EveryDiskWithItsStateReasonsAndCautions) {
    const struct {
        const char* device;
        const char* state;
        const char* reasons;
        const char* strict_reasons;
        const char* cautions;
    } expected[] = {
        {"/dev/nvme0n1", "not-new", "unknown-size,too-small", "unknown-size,too-small,caution",
         "unreadable"},
        {"/dev/sda", "not-new", "stamped", "stamped,caution", "signature:xfs"},
        {"/dev/sdb", "not-new", "lvm-pv,mounted", "lvm-pv,mounted,caution", "unreadable"},
        {"/dev/sdc", "not-new", "raid-member", "raid-member,caution", "unreadable"},
        {"/dev/sdd", "not-new", "mounted", "mounted,caution", "unreadable"},
        {"/dev/sde", "not-new", "read-only", "read-only", ""},
        {"/dev/sdf", "not-new", "too-small", "too-small", ""},
        {"/dev/sdg", "new", "", "", ""},
        {"/dev/sdh", "skipped", "removable", "removable", "unreadable"},
        {"/dev/sdi", "skipped", "san", "san", "unreadable"},
        {"/dev/sdj", "new", "", "caution", "signature:ext4"},
        {"/dev/sdk", "not-new", "unverified", "unverified,caution", "unreadable"},
    };
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict ? "strict" : "");
        const size_t log_before = platform().log_lines().size();
        nesk_blkdevmgr manager;
        nesk_assess_options options;
        options.min_size = 2 * MiB;
        options.strict = strict;
        nesk_assessment result;
        ASSERT_EQ(manager.assess_disks(options, result), 0);
        EXPECT_TRUE(result.failed_enums.empty());
        ASSERT_EQ(result.disks.size(), std::size(expected));
        for (size_t i = 0; i < result.disks.size(); ++i) {
            const nesk_disk_assessment& disk = result.disks[i];
            const auto& want = expected[i];
            SCOPED_TRACE(want.device);
            EXPECT_EQ(disk.device, want.device);
            EXPECT_EQ(disk.state, strict && disk.device == "/dev/sdj" ? "not-new" : want.state);
            EXPECT_EQ(joined(disk.reasons), strict ? want.strict_reasons : want.reasons);
            EXPECT_EQ(joined(disk.cautions), want.cautions);
            EXPECT_EQ(disk.recorded, disk.state != "skipped");
            EXPECT_TRUE(disk.identified);  // sysfs knows every one, skipped or not
        }
        // Each in-use enumeration ran once; only the disks in none were
        // probed, once each, and only the XFS one was mounted.
        const Names log = platform().log_lines(log_before);
        EXPECT_EQ(count_lines_containing(log, "Software raid device md0 block dev /dev/sdc"), 1);
        EXPECT_EQ(count_lines_containing(log, "is currently active"), 0);
        EXPECT_EQ(count_lines_containing(log, "holds no XFS file system"), 4);  // sde sdf sdg sdj
        EXPECT_EQ(count_lines_containing(log, "has valid vornik extended attributes"), 1);
        EXPECT_EQ(count_lines_containing(log, "nesk_blkdevmgr::assess_disks: Disk /dev/"), 12);
    }
    EXPECT_EQ(sandbox().command_log("pvscan").size(), 2u);  // one per assessment

    // What the records and the identity hold.
    nesk_blkdevmgr manager;
    nesk_assessment result;
    ASSERT_EQ(manager.assess_disks(nesk_assess_options(), result), 0);
    const nesk_disk_assessment& sdg = result.disks.at(7);
    EXPECT_EQ(sdg.size_bytes(), 4 * MiB);
    EXPECT_EQ(sdg.block_size, 512u);
    EXPECT_EQ(sdg.model, "VIRTUAL-DISK");
    EXPECT_EQ(sdg.identity.wwn, "0x5000c500a1b2c3d4");
    EXPECT_EQ(sdg.identity.hctl, "0:0:6:0");
    EXPECT_TRUE(result.disks.at(5).identity.read_only);
    const nesk_disk_assessment& nvme = result.disks.at(0);
    EXPECT_EQ(nvme.model, "");  // the record's; the identity reads the controller
    EXPECT_EQ(nvme.identity.model, "VIRTUAL NVME DISK");
    EXPECT_EQ(result.disks.at(8).blocks, 0u);
    EXPECT_EQ(result.disks.at(8).identity.hctl, "0:0:7:0");

    // The new disks by size are the ones get_new_disks returns, less the
    // read-only one.
    Names assessed_new;
    std::vector<const nesk_disk_assessment*> by_size;
    for (const nesk_disk_assessment& disk : result.disks)
        if (disk.state == "new") by_size.push_back(&disk);
    std::stable_sort(by_size.begin(), by_size.end(), [](const auto* a, const auto* b) {
        return a->size_bytes() < b->size_bytes();
    });
    for (const auto* disk : by_size) assessed_new.push_back(disk->device);
    nesk_blkdevmgr selection;
    selection.enumerate_blkdevs(true);
    std::list<nesk_blkdev_basic_info> chosen;
    ASSERT_EQ(selection.get_new_disks(0, chosen), 0);
    Names selected;
    for (const auto& disk : chosen)
        if (disk.name != "/dev/sde") selected.push_back(disk.name);
    EXPECT_EQ(selected.size() + 1, chosen.size());
    EXPECT_EQ(assessed_new, selected);
    EXPECT_EQ(assessed_new, (Names{"/dev/sdf", "/dev/sdg", "/dev/sdj"}));
}

TEST_F(AssessTest, OnlyTheDisksAskedForAndAStopRequest) {
    nesk_assess_options options;
    options.devices = {"/dev/sdg", "/dev/sdh"};
    nesk_blkdevmgr manager;
    nesk_assessment result;
    const size_t before = platform().log_lines().size();
    ASSERT_EQ(manager.assess_disks(options, result), 0);
    Names devices;
    for (const auto& disk : result.disks) devices.push_back(disk.device);
    EXPECT_EQ(devices, (Names{"/dev/sdg", "/dev/sdh"}));
    EXPECT_EQ(
        count_lines_containing(platform().log_lines(before), "nesk_blkdevmgr::is_active_bdev"), 1);

    // Cautions of the disks that are new but for them only.
    options.devices.clear();
    options.cautions_of_new_only = true;
    options.strict = true;
    ASSERT_EQ(manager.assess_disks(options, result), 0);
    std::map<std::string, std::string> cautions;
    for (const auto& disk : result.disks) cautions[disk.device] = joined(disk.cautions);
    EXPECT_EQ(cautions.at("/dev/sdj"), "signature:ext4");
    EXPECT_EQ(result.disks.at(10).reasons, Names{"caution"});
    EXPECT_EQ(cautions.at("/dev/sda"), "");  // stamped
    EXPECT_EQ(cautions.at("/dev/sdh"), "");  // skipped

    // An unknown disk: named, nothing assessed, nothing probed.
    options.devices = {"/dev/sdg", "/dev/sdz", "/dev/sda1"};
    const size_t unknown_before = platform().log_lines().size();
    EXPECT_EQ(manager.assess_disks(options, result), -2);
    EXPECT_EQ(result.unknown_devices, (Names{"/dev/sda1", "/dev/sdz"}));
    EXPECT_TRUE(result.disks.empty());
    EXPECT_FALSE(has_line_containing(platform().log_lines(unknown_before), "is_active_bdev"));

    // A stop request set before: no disk is assessed.
    volatile std::sig_atomic_t stop = 1;
    manager.stop_request = &stop;
    EXPECT_EQ(manager.assess_disks(nesk_assess_options(), result), -1);
    EXPECT_TRUE(result.disks.empty());
    EXPECT_TRUE(result.failed_enums.empty());
}

}  // namespace
