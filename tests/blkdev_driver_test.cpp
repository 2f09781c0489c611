// The discovery driver: disks first, then the three in-use enumerations, and
// whether the in-use picture is complete.
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Set = std::set<std::string>;

const char k_no_md[] = "Character devices:\n  1 mem\n\nBlock devices:\n  8 sd\n259 blkext\n";
const char k_md0_members[] =
    "    Number   Major   Minor   RaidDevice State\n"
    "       0       8       48        0      active sync   /dev/sdd\n";

class DriverTest : public SandboxTest {
protected:
    void SetUpNode() override {
        platform().set_debug_level(2);
        sandbox()
            .add_scsi_disk(ScsiDisk("0:0:0:0", "sda"))
            .add_scsi_disk(ScsiDisk("0:0:1:0", "sdb"))
            .add_scsi_disk(ScsiDisk("0:0:2:0", "sdc"))
            .add_scsi_disk(ScsiDisk("0:0:3:0", "sdd"))
            .add_nvme(NvmeNamespace("nvme0n1"))
            .add_virtual_block("md0")
            .stub_command("pvscan", {"  /dev/sdb\n  Total: 1 [1.00 GiB]\n", "", 0})
            .stub_command("mdadm", "--detail /dev/md0", {k_md0_members, "", 0})
            .set_mtab("/dev/sdc1 /data xfs rw 0 0\n/dev/nvme0n1p1 /boot xfs rw 0 0\n");
    }
};

TEST_F(DriverTest, DiscoversThenEnumeratesInUseInOrder) {
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.enumerate_blkdevs(true), 0);
    EXPECT_TRUE(manager.enum_valid);
    EXPECT_EQ(keys(manager), (std::vector<std::string>{"/dev/nvme0n1", "/dev/sda", "/dev/sdb",
                                                       "/dev/sdc", "/dev/sdd"}));
    EXPECT_EQ(manager.used_devs, (Set{"/dev/nvme0n1", "/dev/sdb", "/dev/sdc", "/dev/sdd"}));

    const auto log = platform().log_lines();
    const size_t scsi = first_line_with(log, "Found block device [/dev/sda]");
    const size_t nvme = first_line_with(log, "nesk_blkdevmgr::parse_nvme");
    const size_t pvs = first_line_with(log, "LVM PV /dev/sdb block dev /dev/sdb");
    const size_t mounts =
        first_line_with(log, "Mountpath backing device /dev/sdc1 block dev /dev/sdc");
    const size_t raid = first_line_with(log, "Software raid device md0 block dev /dev/sdd");
    ASSERT_LT(raid, log.size());
    EXPECT_LT(scsi, nvme);
    EXPECT_LT(nvme, pvs);
    EXPECT_LT(pvs, mounts);
    EXPECT_LT(mounts, raid);

    // The NVMe partition behind /boot keeps its disk out of the new ones;
    // sda, a node without a device behind it, cannot be read and is no new
    // disk either.
    std::list<nesk_blkdev_basic_info> disks;
    manager.get_new_disks(disks);
    EXPECT_TRUE(disks.empty());
    EXPECT_EQ(manager.active_reasons,
              (std::map<std::string, std::string>{{"/dev/nvme0n1", "in-use"},
                                                  {"/dev/sda", "unverified"},
                                                  {"/dev/sdb", "in-use"},
                                                  {"/dev/sdc", "in-use"},
                                                  {"/dev/sdd", "in-use"}}));
}

TEST_F(DriverTest, ValidOnlyWhenEveryInUseEnumerationSucceeds) {
    struct Case {
        const char* what;
        StubResult pvscan;
        std::string proc_devices;
        bool valid;
        Set used;
        StubResult mdadm = {k_md0_members, "", 0};
        std::vector<std::string> failed = {};
    };
    const std::string rhel = NodeSandbox::default_proc_devices();
    const Case cases[] = {
        {"no physical volume", {"  No matching physical volumes found\n", "", 0}, rhel, true,
         {"/dev/nvme0n1", "/dev/sdc", "/dev/sdd"}},
        {"pvscan fails", {"", "", 5}, rhel, false, {"/dev/nvme0n1", "/dev/sdc", "/dev/sdd"},
         {k_md0_members, "", 0}, {"lvm"}},
        {"pvscan missing", {"", "", 127}, rhel, false, {"/dev/nvme0n1", "/dev/sdc", "/dev/sdd"},
         {k_md0_members, "", 0}, {"lvm"}},
        {"no md driver, so no array", {"  /dev/sdb\n", "", 0}, k_no_md, true,
         {"/dev/nvme0n1", "/dev/sdb", "/dev/sdc"}},
        {"mdadm fails", {"  /dev/sdb\n", "", 0}, rhel, false,
         {"/dev/nvme0n1", "/dev/sdb", "/dev/sdc"}, {"", "mdadm: cannot open /dev/md0\n", 1},
         {"raid"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox()
            .stub_command("pvscan", c.pvscan)
            .stub_command("mdadm", "--detail /dev/md0", c.mdadm)
            .set_proc_devices(c.proc_devices);
        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.enumerate_blkdevs(false), 0);
        EXPECT_EQ(manager.enum_valid, c.valid);
        EXPECT_EQ(manager.failed_enums, c.failed);
        EXPECT_EQ(manager.used_devs, c.used);
        EXPECT_EQ(manager.blkdev_map.size(), 4u);  // without NVMe
    }
}

TEST_F(DriverTest, SecondCallOnlyAdds) {
    nesk_blkdevmgr manager;
    manager.enumerate_blkdevs(false);
    ASSERT_EQ(keys(manager).size(), 4u);

    // The node changes: sda grows, sde appears, and pvscan no longer runs.
    sandbox()
        .write_file("/sys/block/sda/size", "999\n")
        .add_scsi_disk(ScsiDisk("0:0:4:0", "sde"))
        .stub_command("pvscan", {"", "  Cannot access lvm metadata\n", 5});
    EXPECT_EQ(manager.enumerate_blkdevs(false), 0);
    EXPECT_FALSE(manager.enum_valid);
    EXPECT_EQ(manager.failed_enums, std::vector<std::string>{"lvm"});
    EXPECT_EQ(keys(manager), (std::vector<std::string>{"/dev/sda", "/dev/sdb", "/dev/sdc",
                                                       "/dev/sdd", "/dev/sde"}));
    nesk_blkdev sda;
    ASSERT_EQ(manager.get_blkdev("/dev/sda", sda), 0);
    EXPECT_EQ(sda.get_blocks(), 2097152u);
    EXPECT_EQ(manager.used_devs.count("/dev/sdb"), 1u);

    // enum_valid describes the last call only.
    sandbox().stub_command("pvscan", {"  No matching physical volumes found\n", "", 0});
    manager.enumerate_blkdevs(false);
    EXPECT_TRUE(manager.enum_valid);
    EXPECT_TRUE(manager.failed_enums.empty());
}

}  // namespace
