// Partition inspection: real partition tables written by parted on loop
// devices reached through nodes named like SCSI and NVMe disks, real FAT32 and
// XFS file systems read by the real parted and blkid; the listing's corner
// cases through a parted stub that answers in parted's own format.
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

// What a test looks at in a partition record.
struct Row {
    unsigned int number;
    std::string start;
    std::string fs_type;
    std::string name;
    std::string flags;
    bool operator==(const Row& o) const {
        return number == o.number && start == o.start && fs_type == o.fs_type && name == o.name &&
               flags == o.flags;
    }
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
    return out << "{" << r.number << " " << r.start << " [" << r.fs_type << "] [" << r.name
               << "] [" << r.flags << "]}";
}

std::vector<Row> rows_of(const std::vector<nesk_partition>& partitions) {
    std::vector<Row> rows;
    for (const nesk_partition& p : partitions)
        rows.push_back(Row{p.number, p.start, p.fs_type, p.name, p.flags});
    return rows;
}

TEST(PartitionName, NvmeTakesAP) {
    const struct {
        const char* disk;
        unsigned int number;
        const char* name;
    } cases[] = {
        {"/dev/sdb", 1, "/dev/sdb1"},
        {"/dev/sdc", 0, "/dev/sdc0"},
        {"/dev/nvme0n1", 1, "/dev/nvme0n1p1"},
        {"/dev/nvme1n1", 12, "/dev/nvme1n1p12"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nesk_utils::get_partition_name(c.disk, c.number), c.name) << c.disk;
}

// The disks, partitioned and formatted once with the kernel's own /sys:
//   sda      no partition table
//   sdb      msdos: 1 XFS, 2 unformatted
//   sdc      gpt: 1 named "fat32" but unformatted, 2 "EFI" FAT32 labelled NESKBOOT
//   sdd      XFS on the whole disk, no partition table
//   nvme0n1  gpt: 1 "boot" FAT32 labelled NVMEBOOT
class PartitionsTest : public SandboxTest {
protected:
    struct Disk {
        std::unique_ptr<LoopDevice> loop;
        std::vector<DevNum> partitions;
    };

    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        disks_["sda"] = make_disk(64, {});
        disks_["sdb"] = make_disk(400, {"mklabel", "msdos", "mkpart", "primary", "1MiB", "350MiB",
                                        "mkpart", "primary", "350MiB", "100%"});
        make_xfs(disks_["sdb"].loop->partition_path(1));
        disks_["sdc"] = make_disk(100, {"mklabel", "gpt", "mkpart", "fat32", "1MiB", "20MiB",
                                        "mkpart", "EFI", "fat32", "20MiB", "100%"});
        format_fat32(*disks_["sdc"].loop, 2, "NESKBOOT");
        disks_["sdd"] = make_disk(320, {});
        make_xfs(disks_["sdd"].loop->path());
        disks_["nvme0n1"] =
            make_disk(64, {"mklabel", "gpt", "mkpart", "boot", "fat32", "1MiB", "100%"});
        format_fat32(*disks_["nvme0n1"].loop, 1, "NVMEBOOT");
    }
    static void TearDownTestSuite() { disks_.clear(); }

    void SetUpNode() override {
        // blkid keeps a cache of what it saw: in the sandbox, not in the host's /run.
        blkid_cache_ = std::make_unique<ScopedEnv>("BLKID_FILE", sandbox().work_dir() + "/blkid.tab");
    }
    void TearDown() override {
        blkid_cache_.reset();
        SandboxTest::TearDown();
    }

    // A loop device of `mib` MiB with the table `parted_args` writes (none
    // when empty), and the device numbers of its partitions.
    static Disk make_disk(unsigned long long mib, std::vector<std::string> parted_args) {
        Disk disk{std::make_unique<LoopDevice>(mib << 20), {}};
        if (parted_args.empty()) return disk;
        unsigned int count = 0;
        for (const std::string& arg : parted_args) count += arg == "mkpart";
        parted_args.insert(parted_args.begin(), {"parted", "-s", disk.loop->path()});
        run_checked(parted_args);
        for (unsigned int n = 1; n <= count; ++n)
            disk.partitions.push_back(disk.loop->partition_devnum(n));
        return disk;
    }
    static void format_fat32(const LoopDevice& loop, unsigned int number, const std::string& label) {
        run_checked({"mkfs.vfat", "-F", "32", "-n", label, "-i", "1234ABCD",
                     loop.partition_path(number)});
    }

    // Places the disks in the sandbox as SCSI disks (sd*) or NVMe namespaces,
    // with nodes for their partitions named as the kernel names them.
    void place(const std::vector<std::string>& names) {
        unsigned int target = 0;
        for (const std::string& name : names) {
            const Disk& disk = disks_.at(name);
            const bool nvme = name.compare(0, 4, "nvme") == 0;
            if (nvme)
                sandbox().add_nvme(NvmeNamespace(name)
                                       .with_devnum(disk.loop->devnum())
                                       .with_size(disk.loop->sectors()));
            else
                sandbox().add_scsi_disk(
                    ScsiDisk("0:0:" + std::to_string(target++) + ":0", name)
                        .with_devnum(disk.loop->devnum())
                        .with_size(disk.loop->sectors()));
            for (unsigned int n = 1; n <= disk.partitions.size(); ++n)
                sandbox().add_device_node(nesk_utils::get_partition_name(name, n),
                                          disk.partitions[n - 1]);
        }
    }

    static inline std::map<std::string, Disk> disks_;
    std::unique_ptr<ScopedEnv> blkid_cache_;
};

TEST_F(PartitionsTest, ReadsRealTables) {
    place({"sda", "sdb", "sdc", "sdd"});
    const struct {
        const char* disk;
        int status;
        std::vector<Row> rows;
    } cases[] = {
        {"/dev/sda", 1 << 8, {}},  // parted: unrecognised disk label
        // Fields by position: an empty one stays empty, so a name is never
        // taken for a file-system type; the closing ";" stays on the flags.
        {"/dev/sdb", 0, {{1, "1049kB", "xfs", "", ";"}, {2, "367MB", "", "", ";"}}},
        {"/dev/sdc",
         0,
         {{1, "1049kB", "", "fat32", ";"}, {2, "21.0MB", "fat32", "EFI", "msftdata;"}}},
        {"/dev/sdd", 0, {}},  // the whole disk, listed from 0.00B
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.disk);
        std::string disk = c.disk;
        std::vector<nesk_partition> partitions(1);  // appended to, never emptied
        partitions[0].number = 99;
        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.extract_partition_info(disk, partitions), c.status);
        ASSERT_FALSE(partitions.empty());
        EXPECT_EQ(partitions[0].number, 99u);
        partitions.erase(partitions.begin());
        EXPECT_EQ(rows_of(partitions), c.rows);
    }
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(
        log, "nesk_blkdevmgr::extract_partition_info: Partition table will be extracted for "
             "[/dev/sdb] using command [parted  -s -m /dev/sdb  print 2>/dev/null]"));
    EXPECT_TRUE(has_line_containing(log, "Failed to extract output of command [parted  -s -m "
                                         "/dev/sda  print 2>/dev/null]"));
}

TEST_F(PartitionsTest, LabelOfRealPartitions) {
    place({"sdb", "sdc"});
    const struct {
        const char* partition;
        const char* tag;
    } cases[] = {
        {"/dev/sdc2", "NESKBOOT"},  // the label is blkid's first tag
        {"/dev/sdb2", ""},          // nothing on it: blkid prints nothing
        {"/dev/sdz9", ""},          // no such device
    };
    nesk_blkdevmgr manager;
    for (const auto& c : cases) {
        std::string partition = c.partition;
        EXPECT_EQ(manager.extract_label(partition), c.tag) << c.partition;
    }
    EXPECT_TRUE(has_line_containing(
        platform().log_lines(),
        "blkdevmgr::extractlabel: UUID will be extracted using command [blkid /dev/sdc2 | awk "
        "'{print $2}' | cut -d '=' -f2 | tr -d '\"']"));
}

TEST_F(PartitionsTest, FirstFat32PartitionInPathOrder) {
    place({"sda", "sdb", "sdc", "sdd", "nvme0n1"});
    const struct {
        const char* what;
        std::vector<std::string> disks;
        int status;
        const char* partition;
        const char* tag;
    } cases[] = {
        {"none", {"sda", "sdb", "sdd"}, -1, "unchanged", "unchanged"},
        {"the FAT32 partition, not one named fat32", {"sda", "sdb", "sdc", "sdd"}, 0, "/dev/sdc2",
         "NESKBOOT"},
        {"NVMe sorts first", {"sdc", "nvme0n1"}, 0, "/dev/nvme0n1p1", "NVMEBOOT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        nesk_blkdevmgr manager;
        for (const std::string& name : c.disks) manager.blkdev_map["/dev/" + name].set_name("/dev/" + name);
        std::string partition = "unchanged", tag = "unchanged";
        EXPECT_EQ(manager.get_vfat_partition(partition, tag), c.status);
        EXPECT_EQ(partition, c.partition);
        EXPECT_EQ(tag, c.tag);
    }
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "nesk_blkdevmgr::get_vfat_partition: Failed to extract "
                                         "partition information for [/dev/sda]"));
    EXPECT_TRUE(has_line_containing(log, "nesk_blkdevmgr::get_vfat_partition: Found a fat32 file "
                                         "system on [/dev/nvme0n1:1]"));

    // The same through discovery of the sandbox's SCSI disks and NVMe drives.
    nesk_blkdevmgr discovered;
    discovered.enumerate_scsi_blkdevs();
    discovered.enumerate_nvme();
    ASSERT_EQ(discovered.blkdev_map.size(), 5u);
    std::string partition, tag;
    EXPECT_EQ(discovered.get_vfat_partition(partition, tag), 0);
    EXPECT_EQ(partition, "/dev/nvme0n1p1");
    EXPECT_EQ(tag, "NVMEBOOT");
}

// Listings in parted's format for cases real disks do not give.
TEST_F(PartitionsTest, ListingCornerCases) {
    const char header[] = "BYT;\n/dev/sdb:2000GB:scsi:512:512:gpt:ATA VIRTUAL-DISK:;\n";
    const struct {
        const char* what;
        std::string listing;
        std::vector<Row> rows;
    } cases[] = {
        {"every field",
         std::string(header) + "1:1049kB:538MB:537MB:fat32:EFI System Partition:boot, esp;\n",
         {{1, "1049kB", "fat32", "EFI System Partition", "boot, esp;"}}},
        {"empty fields",
         std::string(header) + "2:538MB:1000GB:999GB:xfs::;\n3:1000GB:2000GB:1000GB:;\n",
         {{2, "538MB", "xfs", "", ";"}, {3, "1000GB", ";", "", ""}}},
        {"free space and short lines skipped, later lines read",
         std::string(header) + "1:0.00B:1049kB:1049kB:free;\n4:1MB;\n\n" +
             "5:1MB:2MB:1MB:ext4:x:y:extra:more;\n",
         {{5, "1MB", "ext4", "x", "y"}}},
        {"two lines only", header, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox().stub_command("parted", {c.listing, "", 0});
        std::string disk = "/dev/sdb";
        std::vector<nesk_partition> partitions;
        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.extract_partition_info(disk, partitions), 0);
        EXPECT_EQ(rows_of(partitions), c.rows);
        EXPECT_EQ(sandbox().command_log("parted").back(), "parted -s -m /dev/sdb print");
    }
}

TEST_F(PartitionsTest, OnlyLowerCaseFat32Matches) {
    sandbox().stub_command("parted",
                           {"BYT;\n/dev/sdb:2000GB:scsi:512:512:msdos:ATA VIRTUAL-DISK:;\n"
                            "1:1049kB:538MB:537MB:fat16::boot;\n"
                            "2:538MB:1000GB:999GB:FAT32::;\n",
                            "", 0});
    nesk_blkdevmgr manager;
    manager.blkdev_map["/dev/sdb"].set_name("/dev/sdb");
    std::string partition, tag;
    EXPECT_EQ(manager.get_vfat_partition(partition, tag), -1);
    EXPECT_TRUE(partition.empty());
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Found a partition [2] with [FAT32] file system"));
}

}  // namespace
