// The discovery driver: disks first, then the disks already in use.
#include "nesk_blkdev.h"

int nesk_blkdevmgr::enumerate_blkdevs(bool nvme) {
    enum_valid = true;
    // Discovery failures show in the log only; a disk is recorded whether or
    // not it is in use.
    enumerate_scsi_blkdevs();
    if (nvme) enumerate_nvme();
    // All three always run; any failure means used_devs may be incomplete.
    if (enumerate_pvs() != 0) enum_valid = false;
    if (enumerate_bdevs() != 0) enum_valid = false;
    if (enumerate_md_tgts() != 0) enum_valid = false;
    return 0;
}
