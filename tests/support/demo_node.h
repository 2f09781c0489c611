// A simulated storage node with one disk of each kind that new-disk selection
// tells apart, for the demo and the end-to-end tests of nesk-disks:
//
//   sda      0:0:0:0  300 MiB  XFS with the appliance's stamp set    real loop device
//   sdb      0:0:1:0   64 MiB  LVM physical volume (real pvcreate)   real loop device
//   sdc      1:0:0:0  320 MiB  partition sdc1 (XFS) mounted          real loop device
//   sdd      1:0:1:0    1 GiB  active member of md0                  sysfs only
//   sde      1:0:2:0    1 GiB  spare of md0                          sysfs only
//   sdf      2:0:0:0   16 GiB  removable drive                       sysfs only
//   sdg      5:0:0:1  100 GiB  on a Fibre Channel host (SAN)         sysfs only
//   sdh      3:0:0:0    2 GiB  blank                                 real loop device
//   sdi      3:0:1:0    1 GiB  blank                                 real loop device
//   nvme0n1           512 MiB  blank NVMe namespace                  real loop device
//   sdj      3:0:2:0  768 MiB  ext4 left by an earlier use, unmounted real loop device
//
// The sysfs-only disks have device nodes that reach no disk. md0 is listed by
// a stub mdadm whose answer has the format of mdadm 4.2's
// --detail; /proc/devices is the sandbox's RHEL list, which has md.
#ifndef NESK_DEMO_NODE_H
#define NESK_DEMO_NODE_H

#include <memory>
#include <string>
#include <vector>

#include "node_sandbox.h"
#include "real_devices.h"

namespace nesk_test {

// The loop devices of the node. The partition table needs the kernel's own
// /sys, so these are made before the NodeSandbox.
struct DemoDisks {
    DemoDisks();
    LoopDevice stamped;
    LoopDevice pv;
    LoopDevice partitioned;
    LoopDevice blank_large;
    LoopDevice blank_small;
    LoopDevice blank_nvme;
    DevNum data_partition;
    LoopDevice foreign_ext4;
};

// The node itself, laid out in a live sandbox. Destroy it before the sandbox:
// it holds the mount of sdc1 and LVM's private /run.
class DemoNode {
public:
    DemoNode(NodeSandbox& sandbox, DemoDisks& disks);
    ~DemoNode();
    DemoNode(const DemoNode&) = delete;
    DemoNode& operator=(const DemoNode&) = delete;

    // One line per disk for a reader: device, what it is, what nesk-disks should say.
    static std::vector<std::string> description();
    // mdadm --detail /dev/md0 as the stub answers it.
    static std::string md0_detail();

private:
    std::unique_ptr<SandboxLvm> lvm_;
    std::unique_ptr<ScopedMount> data_mount_;
};

}  // namespace nesk_test

#endif
