// Every path at which the library reads the kernel's view of the node: sysfs,
// procfs and the mount table. Code that reads one of these names it from here.
#ifndef NESK_KERNEL_PATHS_H
#define NESK_KERNEL_PATHS_H

#include <string>

#define NESK_INTERNAL __attribute__((visibility("hidden")))

// The block device manager's own path strings (defined in blkdev/manager.cpp;
// s_block_base_dir, "/sys/block", is exported through nesk_blkdev.h).
//
// "/sys/block": the kernel's block directory, one entry per whole disk.
extern NESK_INTERNAL const std::string sysfs_blkdev;
// "/dev": prefix of every device node path.
extern NESK_INTERNAL const std::string devfs_mntpath;
// "/sys/bus/scsi/devices": one entry per SCSI host, target and device.
extern NESK_INTERNAL const std::string sysfs_scsidev;

namespace nesk {
namespace kernel {

// Fibre Channel and iSCSI host adapters, as "host<N>" entries.
constexpr const char* fc_host_dir = "/sys/class/fc_host";
constexpr const char* iscsi_host_dir = "/sys/class/iscsi_host";
// The other SCSI host classes a disk's transport is told by, and the class
// every SCSI host is listed in (whose proc_name names its driver).
constexpr const char* sas_host_dir = "/sys/class/sas_host";
constexpr const char* spi_host_dir = "/sys/class/spi_host";
constexpr const char* scsi_host_dir = "/sys/class/scsi_host";
// The links udev makes to each disk by its identifiers (wwn-..., nvme-...,
// ata-..., scsi-...), relative to this directory.
constexpr const char* disk_by_id_dir = "/dev/disk/by-id";
// Present when the node booted through EFI.
constexpr const char* efi_dir = "/sys/firmware/efi";
// Major numbers of the registered character and block drivers.
constexpr const char* proc_devices = "/proc/devices";
// Loaded kernel modules, one per line, name first.
constexpr const char* proc_modules = "/proc/modules";
// Active swap areas: a heading, then path, type, size, used, priority.
constexpr const char* proc_swaps = "/proc/swaps";
// The mount table read by the mount helpers and the in-use enumeration.
constexpr const char* mount_table = "/etc/mtab";

}  // namespace kernel
}  // namespace nesk

#endif
