// Fixed sysfs and device paths of the block device manager (internal).
#ifndef NESK_BLKDEV_PATHS_H
#define NESK_BLKDEV_PATHS_H

#include <string>

#define NESK_INTERNAL __attribute__((visibility("hidden")))

// "/sys/block": the kernel's block directory, scanned for NVMe namespaces.
extern NESK_INTERNAL const std::string sysfs_blkdev;
// "/dev": prefix of every device node path.
extern NESK_INTERNAL const std::string devfs_mntpath;
// "/sys/bus/scsi/devices": scanned for SCSI disks.
extern NESK_INTERNAL const std::string sysfs_scsidev;

#endif
