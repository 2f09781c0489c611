// Disks already in use: LVM physical volumes, disks behind mounts, software
// RAID members. Real pvcreate/pvscan and a real mounted partition where the
// kernel allows; mdadm answers with listings in the format of mdadm 4.2's
// --detail, as this kernel has no md driver.
#include <list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Set = std::set<std::string>;

const char k_pvscan_no_pv[] = "  No matching physical volumes found\n";

// Lines of the log that contain `text`, in order.
std::vector<std::string> matching(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

// One partitioned loop device, whose partition holds XFS, for all tests.
class InUseTest : public SandboxTest {
protected:
    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        partitioned_ = std::make_unique<LoopDevice>(320ULL << 20);
        partition_ = partitioned_->make_one_partition();
        make_xfs(partitioned_->path() + "p1");
    }
    static void TearDownTestSuite() { partitioned_.reset(); }

    void SetUpNode() override { platform().set_debug_level(2); }

    static inline std::unique_ptr<LoopDevice> partitioned_;
    static inline DevNum partition_;
};

TEST_F(InUseTest, PhysicalVolumesFromPvscanOutput) {
    struct Case {
        const char* what;
        StubResult pvscan;
        int status;
        Set used;
    };
    const Case cases[] = {
        {"two disks, one by partitions",
         {"  /dev/sdb\n  /dev/sdc1\n  /dev/sdc2\n"
          "  Total: 3 [<2.99 GiB] / in use: 2 [1.99 GiB] / in no VG: 1 [1020.00 MiB]\n",
          "", 0},
         0, {"/dev/sdb", "/dev/sdc"}},
        {"NVMe partition", {"  /dev/nvme0n1p2\n  Total: 1 [10.00 GiB]\n", "", 0}, 0,
         {"/dev/nvme0n1"}},
        {"no physical volume at all", {k_pvscan_no_pv, "", 0}, 0, {}},
        {"pvscan fails", {"", "", 5}, 5 * 256, {}},
        {"pvscan fails but still lists volumes",
         {"  /dev/sdd\n  /dev/sde1\n  Total: 2 [1.99 GiB]\n",
          "  WARNING: Couldn't find device with uuid x2Yv3J-0000-0000-0000-0000-0000-000000.\n", 5},
         5 * 256, {"/dev/sdd", "/dev/sde"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox().stub_command("pvscan", c.pvscan);
        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.enumerate_pvs(), c.status);
        EXPECT_EQ(manager.used_devs, c.used);
        EXPECT_EQ(sandbox().command_log("pvscan").back(), "pvscan -s");
    }
    const auto log = platform().log_lines();
    EXPECT_EQ(count_lines_containing(
                  log,
                  "nesk_blkdevmgr::enumerate_pvs: Failed to enumerate the LVM physical volumes "
                  "currently present on the server"),
              2);
    EXPECT_TRUE(has_line_containing(log, "LVM PV /dev/sdc2 block dev /dev/sdc"));
    EXPECT_TRUE(has_line_containing(log, "LVM PV /dev/nvme0n1p2 block dev /dev/nvme0n1"));
}

TEST_F(InUseTest, RealPhysicalVolumeFoundByRealPvscan) {
    LoopDevice pv(64ULL << 20);
    LoopDevice blank(64ULL << 20);
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sdb").with_devnum(pv.devnum()))
        .add_scsi_disk(ScsiDisk("0:0:1:0", "sdc").with_devnum(blank.devnum()));
    SandboxLvm lvm;
    nesk_blkdevmgr before;
    EXPECT_EQ(before.enumerate_pvs(), 0);  // pvscan with no volume succeeds
    EXPECT_TRUE(before.used_devs.empty());

    lvm.pvcreate("/dev/sdb");
    nesk_blkdevmgr after;
    EXPECT_EQ(after.enumerate_pvs(), 0);
    EXPECT_EQ(after.used_devs, Set{"/dev/sdb"});
}

TEST_F(InUseTest, MountTableBackingDevices) {
    sandbox().set_mtab(
        "/dev/sda2 / xfs rw,relatime 0 0\n"
        "proc /proc proc rw,nosuid,nodev,noexec,relatime 0 0\n"
        "tmpfs /run tmpfs rw,nosuid,nodev,mode=755 0 0\n"
        "/dev/sda1 /boot xfs rw,relatime 0 0\n"
        "/dev/nvme0n1p3 /var/log xfs rw,relatime 0 0\n"
        "/dev/mapper/vg_sys-lv_home /home xfs rw,relatime 0 0\n"
        "/dev/sdk /mnt/with\\040blank xfs rw 0 0\n"
        "/de /short xfs rw 0 0\n");
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_bdevs(), 0);
    EXPECT_EQ(manager.used_devs,
              (Set{"/dev/sda", "/dev/nvme0n1", "/dev/mapper/vg_sys-lv_home", "/dev/sdk"}));
    EXPECT_EQ(count_lines_containing(platform().log_lines(), "Mountpath backing device"), 5);
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Mountpath backing device /dev/sda1 block dev /dev/sda"));
}

TEST_F(InUseTest, RealMountedPartitionMarksItsDisk) {
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:3:0", "sdd").with_devnum(partitioned_->devnum()))
        .add_device_node("sdd1", partition_);
    ScopedMount mounted("/dev/sdd1", "xfs");
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_bdevs(), 0);
    EXPECT_EQ(manager.used_devs.count("/dev/sdd"), 1u);
    EXPECT_EQ(manager.used_devs.count("/dev/sdd1"), 0u);
}

// Member lines as mdadm --detail prints them for each state.
const char k_detail_head[] =
    "/dev/md0:\n"
    "           Version : 1.2\n"
    "     Creation Time : Mon Mar 11 09:14:52 2024\n"
    "        Raid Level : raid1\n"
    "             State : clean, degraded\n"
    "\n"
    "              Name : node1:0  (local to host node1)\n"
    "              UUID : 3b0d5e2a:9f1c4b7e:6a2d8c31:5e7f9a10\n"
    "            Events : 17\n"
    "\n"
    "    Number   Major   Minor   RaidDevice State\n";

TEST_F(InUseTest, RaidMembersInEveryState) {
    struct Case {
        const char* what;
        std::string members;
        Set used;
    };
    const Case cases[] = {
        {"active and spare",
         "       0       8       16        0      active sync   /dev/sdb\n"
         "       1       8       32        1      active sync   /dev/sdc\n\n"
         "       2       8       48        -      spare   /dev/sdd\n",
         {"/dev/sdb", "/dev/sdc", "/dev/sdd"}},
        {"faulty and removed",
         "       0       8       17        0      active sync   /dev/sdb1\n"
         "       -       0        0        1      removed\n\n"
         "       1       8       33        -      faulty   /dev/sdc1\n",
         {"/dev/sdb", "/dev/sdc"}},
        {"RAID10 sets",
         "       0       8       17        0      active sync set-A   /dev/sdb1\n"
         "       1       8       33        1      active sync set-B   /dev/sdc1\n"
         "       2     259        1        2      active sync set-A   /dev/nvme0n1p1\n"
         "       3     259        3        3      active sync set-B   /dev/nvme1n1p1\n",
         {"/dev/sdb", "/dev/sdc", "/dev/nvme0n1", "/dev/nvme1n1"}},
        {"rebuilding spare",
         "       0       8       16        0      active sync   /dev/sdb\n"
         "       2       8       48        1      spare rebuilding   /dev/sdd\n",
         {"/dev/sdb", "/dev/sdd"}},
    };
    sandbox().add_virtual_block("md0", 2097152ULL);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox().stub_command("mdadm", "--detail /dev/md0", {k_detail_head + c.members, "", 0});
        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.enumerate_md_tgts(), 0);
        EXPECT_EQ(manager.used_devs, c.used);
        EXPECT_EQ(md_major, 9);
    }
    EXPECT_TRUE(has_line_containing(
        platform().log_lines(),
        "nesk_blkdevmgr::get_backend_devs: Backend devices will be extracted using command mdadm "
        "--detail /dev/md0"));
    EXPECT_EQ(sandbox().command_log("mdadm").back(), "mdadm --detail /dev/md0");
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Software raid device md0 block dev /dev/nvme1n1"));
}

TEST_F(InUseTest, MdDevicesInAlphasortOrder) {
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda"))
        .add_virtual_block("md2")
        .add_virtual_block("md10")
        .add_virtual_block("md0")
        .add_virtual_block("md1")
        .add_virtual_block("dm-0")
        .write_file("/sys/devices/virtual/block/.md9/dev", "9:9\n")
        .make_link("/sys/block/.md9", "../devices/virtual/block/.md9");
    std::list<std::string> names{"stale"};
    nesk_blkdevmgr manager;
    ASSERT_EQ(manager.enumerate_md_devs(names), 0);
    EXPECT_EQ(names, (std::list<std::string>{"md0", "md1", "md10", "md2"}));
    // The log is open now; a second scan must hold nothing open afterwards.
    const int fds = count_open_fds();
    ASSERT_EQ(manager.enumerate_md_devs(names), 0);
    EXPECT_EQ(count_open_fds(), fds);

    const auto found = matching(platform().log_lines(), "Found a md device");
    ASSERT_EQ(found.size(), 8u);
    EXPECT_NE(found[2].find("md10"), std::string::npos);
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "nesk_blkdevmgr::get_md_devno: Found major number 9 for "
                                    "kernel module md"));

    // With the driver but without an array nothing is listed and nothing run.
    sandbox()
        .remove("/sys/block/md0")
        .remove("/sys/block/md1")
        .remove("/sys/block/md2")
        .remove("/sys/block/md10");
    nesk_blkdevmgr empty;
    EXPECT_EQ(empty.enumerate_md_tgts(), 0);
    EXPECT_TRUE(empty.used_devs.empty());
    EXPECT_TRUE(sandbox().command_log("mdadm").empty());
}

TEST_F(InUseTest, MajorNumberOfDriver) {
    struct Case {
        const char* what;
        std::string devices;
        int md;
    };
    const Case cases[] = {
        {"RHEL list", NodeSandbox::default_proc_devices(), 9},
        {"only mdp", "Character devices:\n  1 mem\n\nBlock devices:\n  8 sd\n254 mdp\n", -1},
        {"md among character devices only",
         "Character devices:\n  9 md\n\nBlock devices:\n  8 sd\n", -1},
        {"heading with blanks, odd lines",
         "Character devices:\n  1 mem\n\n   Block devices:  \nnot a line\n\n 31 md\n", 31},
        {"no block devices section", "Character devices:\n  9 md\n", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox().set_proc_devices(c.devices);
        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.get_major_num("md"), c.md);
    }
    EXPECT_EQ(count_lines_containing(platform().log_lines(),
                                     "nesk_blkdevmgr::get_md_devno: Found major number -1 for "
                                     "kernel module md"),
              3);

    // A kernel without the md driver has no arrays: a complete, empty answer.
    sandbox().set_proc_devices("Character devices:\n  1 mem\n\nBlock devices:\n  8 sd\n");
    sandbox().add_virtual_block("md0");
    md_major = 9;
    nesk_blkdevmgr without_driver;
    EXPECT_EQ(without_driver.enumerate_md_tgts(), 0);
    EXPECT_EQ(md_major, -1);
    EXPECT_TRUE(without_driver.used_devs.empty());
    EXPECT_TRUE(sandbox().command_log("mdadm").empty());
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "No md kernel module loaded, no software raid devices present"));

    // A device list that cannot be read fails the enumeration and says why, in order.
    sandbox().set_proc_devices("Character devices:\n  9 md\n");
    nesk_blkdevmgr unreadable;
    EXPECT_EQ(unreadable.enumerate_md_tgts(), -1);
    const auto log = platform().log_lines();
    const auto tail = std::vector<std::string>(log.end() - 3, log.end());
    EXPECT_NE(tail[0].find("Found major number -1 for kernel module md"), std::string::npos);
    EXPECT_NE(tail[1].find("Failed to find major number for md kernel module"), std::string::npos);
    EXPECT_NE(tail[2].find("Failed to enumerate software raid devices"), std::string::npos);
}

TEST_F(InUseTest, ArrayWhoseMembersCannotBeListedMakesTheSetIncomplete) {
    sandbox()
        .add_virtual_block("md0")
        .add_virtual_block("md1")
        .stub_command("mdadm", "--detail /dev/md0",
                      {"", "mdadm: cannot open /dev/md0: No such file or directory\n", 1})
        .stub_command("mdadm", "--detail /dev/md1",
                      {std::string(k_detail_head) +
                           "       0       8       16        0      active sync   /dev/sdb\n",
                       "", 0});
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_md_tgts(), -1);
    EXPECT_EQ(manager.used_devs, Set{"/dev/sdb"}) << "the other arrays are still read";
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Failed to get backend devices for md device md0"));

    // Without mdadm at all no array can be read.
    sandbox().stub_command("mdadm", "--detail /dev/md1", {"", "sh: 1: mdadm: not found\n", 127});
    nesk_blkdevmgr no_tool;
    EXPECT_EQ(no_tool.enumerate_md_tgts(), -1);
    EXPECT_TRUE(no_tool.used_devs.empty());
}

TEST(ReadMajorNum, FirstFieldOfDevFile) {
    TempDir dir;
    const struct {
        const char* content;
        int major;
    } cases[] = {
        {"9:0\n", 9}, {"259:12\n", 259}, {" 253 : 4 \n", 253}, {"8\n", 0},
        {":5\n", 0},  {"", 0},           {"x7:1\n", 0},        {"65:16\nignored\n", 65},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        write_whole_file(dir.file("dev"), c.content);
        EXPECT_EQ(read_major_num(dir.file("dev")), c.major);
    }
    EXPECT_EQ(read_major_num(dir.file("missing")), 0);
}

}  // namespace
