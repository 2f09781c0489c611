#include "demo_node.h"

namespace nesk_test {

namespace {

constexpr unsigned long long MiB = 1024ULL * 1024;
constexpr unsigned long long GiB = 1024 * MiB;

// A disk with a World Wide Name: the kernel's wwid "naa." + `naa`.
ScsiDisk disk(const std::string& address, const std::string& name, const std::string& model,
              const std::string& serial, unsigned long long bytes, const std::string& naa) {
    ScsiDisk d(address, name);
    d.with_vendor("ATA     ")
        .with_model(model)
        .with_serial(serial)
        .with_size(bytes / 512)
        .with_wwid("naa." + naa);
    return d;
}

}  // namespace

DemoDisks::DemoDisks()
    : stamped(300 * MiB),
      pv(64 * MiB),
      partitioned(320 * MiB),
      blank_large(2 * GiB),
      blank_small(1 * GiB),
      blank_nvme(512 * MiB),
      data_partition(partitioned.make_one_partition()),
      foreign_ext4(768 * MiB) {
    run_checked({"mkfs.ext4", "-q", "-F", foreign_ext4.path()});
}

DemoNode::DemoNode(NodeSandbox& sandbox, DemoDisks& disks) {
    sandbox
        .add_scsi_disk(disk("0:0:0:0", "sda", "SAMSUNG MZ7LH480", "S45NNE0M100001", 300 * MiB,
                            "5002538e40a1b001")
                           .with_devnum(disks.stamped.devnum()))
        .add_scsi_disk(disk("0:0:1:0", "sdb", "SAMSUNG MZ7LH480", "S45NNE0M100002", 64 * MiB,
                            "5002538e40a1b002")
                           .with_devnum(disks.pv.devnum()))
        .add_scsi_host(1, HostKind::sas)
        .add_scsi_disk(
            disk("1:0:0:0", "sdc", "ST1000NM0045", "ZBS0A1C1", 320 * MiB, "5000c500a1b2c001")
                .with_devnum(disks.partitioned.devnum()))
        .add_device_node("sdc1", disks.data_partition)
        .add_scsi_disk(
            disk("1:0:1:0", "sdd", "ST1000NM0045", "ZBS0A1D4", 1 * GiB, "5000c500a1b2c002"))
        .add_scsi_disk(
            disk("1:0:2:0", "sde", "ST1000NM0045", "ZBS0A1E7", 1 * GiB, "5000c500a1b2c003"))
        .add_scsi_disk(ScsiDisk("2:0:0:0", "sdf")
                           .with_vendor("SanDisk ")
                           .with_model("Ultra Fit       ")
                           .with_removable("1")
                           .with_size(16 * GiB / 512))
        .add_scsi_host(5, HostKind::fc)
        .add_scsi_disk(ScsiDisk("5:0:0:1", "sdg")
                           .with_vendor("3PARdata")
                           .with_model("VV              ")
                           .with_wwid("naa.60002ac0000000000000000a0001b2c3")
                           .with_size(100 * GiB / 512))
        .add_scsi_disk(
            disk("3:0:0:0", "sdh", "MZ7KM960HMJP0D3", "S3F3NX0K200001", 2 * GiB, "5002538c40b1c001")
                .with_devnum(disks.blank_large.devnum()))
        .add_scsi_disk(
            disk("3:0:1:0", "sdi", "MZ7KM960HMJP0D3", "S3F3NX0K200002", 1 * GiB, "5002538c40b1c002")
                .with_devnum(disks.blank_small.devnum()))
        .add_nvme(NvmeNamespace("nvme0n1")
                      .with_size(512 * MiB / 512)
                      .with_wwid("eui.0025385b71b0d3c1")
                      .with_devnum(disks.blank_nvme.devnum()))
        .add_scsi_disk(disk("3:0:2:0", "sdj", "INTEL SSDSC2KB48", "BTYF02710001", 768 * MiB,
                            "55cd2e414d0e0f01")
                           .with_devnum(disks.foreign_ext4.devnum()))
        .add_virtual_block("md0", 1 * GiB / 512)
        .stub_command("mdadm", "--detail /dev/md0", {md0_detail(), "", 0});

    make_xfs("/dev/sda");
    set_root_attributes("/dev/sda", valid_stamps("/dev/sda"));

    lvm_ = std::make_unique<SandboxLvm>();
    lvm_->pvcreate("/dev/sdb");

    make_xfs("/dev/sdc1");
    data_mount_ = std::make_unique<ScopedMount>("/dev/sdc1", "xfs");
}

DemoNode::~DemoNode() {
    data_mount_.reset();
    lvm_.reset();
}

std::vector<std::string> DemoNode::description() {
    return {
        "/dev/sda      300 MiB  XFS on the whole disk with the appliance's stamp set",
        "/dev/sdb       64 MiB  LVM physical volume (pvcreate; pvscan finds it)",
        "/dev/sdc      320 MiB  partition table; /dev/sdc1 holds XFS and is mounted",
        "/dev/sdd        1 GiB  active member of the software RAID md0 (sysfs only: unreadable)",
        "/dev/sde        1 GiB  spare of md0 (sysfs only: unreadable)",
        "/dev/sdf       16 GiB  removable USB drive (sysfs only: unreadable)",
        "/dev/sdg      100 GiB  LUN behind a Fibre Channel host, SAN (sysfs only: unreadable)",
        "/dev/sdh        2 GiB  blank",
        "/dev/sdi        1 GiB  blank",
        "/dev/sdj      768 MiB  ext4 left by an earlier use, not mounted",
        "/dev/nvme0n1  512 MiB  blank NVMe namespace",
    };
}

std::string DemoNode::md0_detail() {
    return "/dev/md0:\n"
           "           Version : 1.2\n"
           "     Creation Time : Mon Mar 11 09:14:52 2024\n"
           "        Raid Level : raid1\n"
           "        Array Size : 1046528 (1022.00 MiB 1071.64 MB)\n"
           "     Used Dev Size : 1046528 (1022.00 MiB 1071.64 MB)\n"
           "      Raid Devices : 1\n"
           "     Total Devices : 2\n"
           "       Persistence : Superblock is persistent\n"
           "\n"
           "       Update Time : Tue Mar 12 10:22:10 2024\n"
           "             State : clean\n"
           "    Active Devices : 1\n"
           "   Working Devices : 2\n"
           "    Failed Devices : 0\n"
           "     Spare Devices : 1\n"
           "\n"
           "Consistency Policy : resync\n"
           "\n"
           "              Name : node1:0  (local to host node1)\n"
           "              UUID : 3b0d5e2a:9f1c4b7e:6a2d8c31:5e7f9a10\n"
           "            Events : 17\n"
           "\n"
           "    Number   Major   Minor   RaidDevice State\n"
           "       0       8       48        0      active sync   /dev/sdd\n"
           "\n"
           "       1       8       64        -      spare   /dev/sde\n";
}

}  // namespace nesk_test
