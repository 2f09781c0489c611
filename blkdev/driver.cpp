// The discovery driver: disks first, then the disks already in use.
#include "nesk_blkdev.h"

int nesk_blkdevmgr::enumerate_blkdevs(bool nvme) {
    enum_valid = true;
    failed_enums.clear();
    timed_out_enums.clear();
    // Discovery failures show in the log only; a disk is recorded whether or
    // not it is in use.
    enumerate_scsi_blkdevs();
    if (nvme) enumerate_nvme();
    // All three always run; any failure means used_devs may be incomplete.
    if (enumerate_pvs() != 0) failed_enums.push_back("lvm");
    if (enumerate_bdevs() != 0) failed_enums.push_back("mount");
    if (enumerate_md_tgts() != 0) failed_enums.push_back("raid");
    if (!failed_enums.empty()) enum_valid = false;
    return 0;
}
