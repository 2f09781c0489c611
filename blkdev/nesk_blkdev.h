// The block device manager: discovers the node's local disks, works out which
// are already in use and answers which are new.
#ifndef NESK_BLKDEV_H
#define NESK_BLKDEV_H

#include <dirent.h>

#include <csignal>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "nesk_debug.h"

class nesk_assess_options;
class nesk_assessment;

// Block major number of the md driver, written by each md lookup; -1 before the
// first lookup and after a failed one.
NESK_EXPORT extern int md_major;
// Chunk size in bytes of the file comparison helpers.
NESK_EXPORT extern int BUFFER_SIZE;
// sysfs block directory scanned by the software-RAID enumeration.
NESK_EXPORT extern std::string s_block_base_dir;

// One discovered disk. Copies carry their own freshly set-up debug log.
class NESK_EXPORT nesk_blkdev {
public:
    nesk_blkdev();
    nesk_blkdev(const nesk_blkdev& other);
    nesk_blkdev(nesk_blkdev&& other);
    nesk_blkdev& operator=(const nesk_blkdev& other);
    ~nesk_blkdev();

    void set_name(std::string value);
    void set_loc(std::string value);
    void set_vendor(std::string value);
    void set_product(std::string value);
    void set_serial(std::string value);
    void set_blocks(unsigned long long value);
    void set_block_size(unsigned int value);

    std::string get_name() const;
    std::string get_loc() const;
    std::string get_vendor() const;
    std::string get_product() const;
    std::string get_serial() const;
    unsigned long long get_blocks() const;
    unsigned int get_blksize() const;

private:
    std::string name;        // device node path of the whole disk, e.g. /dev/sdb
    std::string loc;         // SCSI address host:channel:target:lun; empty for NVMe
    std::string vendor;      // SCSI vendor; empty for NVMe
    std::string product;     // SCSI model; empty for NVMe
    std::string serial;      // unit serial number from VPD page 0x80, or empty
    unsigned long long blocks;
    unsigned int block_size; // bytes per unit of `blocks`; discovery uses 512
    nesk_debug debug_log;
};

// Name and size of a candidate disk handed to callers.
class NESK_EXPORT nesk_blkdev_basic_info {
public:
    nesk_blkdev_basic_info() = default;
    nesk_blkdev_basic_info(std::string name, unsigned long long blocks, unsigned int block_size)
        : name(std::move(name)), blocks(blocks), block_size(block_size) {}

    std::string name;
    unsigned long long blocks = 0;
    unsigned int block_size = 0;
};

// One row of a disk's partition table.
class NESK_EXPORT nesk_partition {
public:
    unsigned int number = 0;
    std::string start;
    std::string end;
    std::string size;
    std::string fs_type;
    std::string name;
    std::string flags;
};

// Owns the map of discovered disks and the set of disks already in use. Create
// one, call enumerate_blkdevs once, then ask. One thread at a time.
class NESK_EXPORT nesk_blkdevmgr {
public:
    nesk_blkdevmgr();

    // ---- Records (blkdev/manager.cpp) ----

    // 0 with `out` assigned from the record stored under `path` (a full device
    // path such as /dev/sdb); -1 and a level -1 message when there is none.
    int get_blkdev(std::string path, nesk_blkdev& out);
    // The whole-disk path of a device path: /dev/nvme<N>n<M>p<K> gives
    // /dev/nvme<N>n<M> and an NVMe namespace path stays as it is; any other
    // path is cut at its first digit (/dev/sdb1 gives /dev/sdb).
    std::string to_blkdev(std::string path);

    // ---- Discovery driver (blkdev/driver.cpp) ----

    // Discovers SCSI disks (and NVMe drives when `nvme`), then the disks already
    // in use; clears the enum_valid flag when an in-use enumeration fails.
    // Always 0. Nothing is cleared first: a second call only adds.
    int enumerate_blkdevs(bool nvme);

    // ---- SCSI discovery (blkdev/scsi.cpp) ----

    // Scans /sys/bus/scsi/devices: -1 when it cannot be scanned, else 0.
    int enumerate_scsi_blkdevs();
    // Builds and stores the record of one accepted SCSI address: 0 when stored,
    // -1 when the device was skipped (SAN, removable, unreadable) or failed.
    int parseblkdevinfo(std::string address);
    // Host number of a SCSI address ("2:0:0:0" gives 2), -1 when there is none.
    int extracthostid(const char* address);
    // True when SCSI host `host` is a Fibre Channel or iSCSI host.
    bool is_san_disk(unsigned int host);
    // True when the kernel flags the record's disk removable.
    bool is_removable_drive(nesk_blkdev record);

    // ---- Capacity and serial number (blkdev/capacity.cpp) ----

    // Sets blocks (512-byte units) and block size from sysfs: 0, or -1 when an
    // exception was caught (both then 0). A missing size file gives 0 and 0.
    int get_capacity(nesk_blkdev& record);
    // Sets the serial number decoded from VPD page 0x80: 0, or -1 when the page
    // cannot be decoded (serial then empty).
    int get_serialnum(nesk_blkdev& record);

    // ---- NVMe discovery (blkdev/nvme.cpp) ----

    // Scans /sys/block for nvme namespaces: -1 when it cannot be scanned, else 0.
    int enumerate_nvme();
    // Stores the record of /sys/block/<entry>; always 0.
    int parse_nvme(std::string entry);
    // Sets blocks from `dir`/size and the block size to 512.
    void extractsize(std::string dir, nesk_blkdev& record);

    // ---- Devices already in use (blkdev/inuse.cpp) ----

    // Disks holding an LVM physical volume: 0, or pvscan's failure status
    // (the volumes it listed are recorded all the same).
    int enumerate_pvs();
    // Disks backing a mounted file system, from /etc/mtab: always 0.
    int enumerate_bdevs();
    // Disks that are members of a software RAID array: 0, or -1 when the md
    // devices or the members of an array cannot be listed (the members of the
    // other arrays are still added).
    int enumerate_md_tgts();
    // Replaces `names` with the md device names (md0, ...): 0, also with no
    // name when the kernel lists no md driver; -1 when /proc/devices or the
    // sysfs block directory cannot be read.
    int enumerate_md_devs(std::list<std::string>& names);
    // Replaces `members` with the member paths that "mdadm --detail" lists for
    // md device `name`: 0, or mdadm's failure status (`members` unchanged).
    int get_backend_devs(std::string name, std::list<std::string>& members);
    // Block major number of `driver` in /proc/devices, -1 when not listed.
    int get_major_num(std::string driver);

    // ---- Activity probe (blkdev/probe.cpp) ----

    // True unless the disk is proven free to use, which takes one of:
    //   - its first four bytes, read from the device itself, are not the XFS
    //     superblock magic "XFSB" (nothing is mounted, no directory made); or
    //   - it was mounted read-only without log recovery, its root carries no
    //     valid stamp set, its log holds nothing to recover, and it was
    //     unmounted again and is no longer held by the kernel.
    // Every other outcome answers true, with a level -1 message saying why,
    // and records why in active_reasons: "in-use" (in used_devs),
    // "unknown-size" (discovery could not read its size), "busy" (the kernel
    // holds it for another user, or another probe of it did not end in
    // time), "stamped", "unresponsive" (a read, mount or unmount ran out of
    // timeout_ms), "unverified" (it could not be read, no directory could be
    // made, it has the XFS magic but does not mount, its log needs recovery,
    // or it stays mounted or held after the unmount). The disk is mounted on
    // a directory inside a fresh 0700 /tmp/hamntXXXXXX, which stays behind.
    // Probes of one disk by several processes take turns (a lock on the
    // disk's sysfs directory).
    bool is_active_bdev(std::string device);
    // Runs "mount -t <type>[  -o <options>] <device> <mount_point>" within
    // timeout_ms: 0 or -1.
    int mount(std::string mount_point, std::string device, std::string fs_type,
              std::string options);
    // Runs "umount  <mount_point>" within timeout_ms: 0 or -1.
    int unmount(std::string mount_point);
    // 0 for a valid stamp set on `path`; -1 for a wrong vornik stamp; the
    // attribute reader's negative result for a missing stamp.
    int check_for_vrnk_xattrs(std::string path);
    // Length of attribute `name` of `path` with `value` set, or -1 (logged).
    int getextendedattribute(std::string path, std::string name, std::string& value);

    // ---- New disk selection (blkdev/select.cpp) ----

    // Replaces `disks` with the disks that are not active, in path order.
    // 0, or -1 when *stop_request became non-zero and the disks after the
    // probe under way were not looked at (the list then holds what was found).
    int get_new_disks(std::list<nesk_blkdev_basic_info>& disks);
    // As above, keeping disks of at least `minimum` bytes, sorted by size in
    // bytes, smallest first (equal sizes keep path order).
    int get_new_disks(unsigned long long minimum, std::list<nesk_blkdev_basic_info>& disks);

    // ---- Assessment (blkdev/assess.cpp) ----

    // Discovers the disks (enumerate_blkdevs(options.nvme)) and says of each
    // disk discovery recorded or passed over, in path order, whether it is
    // new and why not, with its cautions and identity (nesk_disk_assessment).
    // Each in-use enumeration runs once, and each disk at most one probe
    // (is_active_bdev): a disk in use or of unknown size is not probed. A
    // disk is new exactly when get_new_disks(options.min_size, ...) keeps it,
    // the kernel does not flag it read-only and, with options.strict, it has
    // no caution. Cautions are read within timeout_ms.
    // Returns 0 with `result` filled; -1 when *stop_request became non-zero
    // (result.disks then holds the disks assessed before); -2 when a disk of
    // options.devices is neither recorded nor passed over by discovery
    // (result.unknown_devices names each, and each is logged at level -1;
    // nothing is probed, result.disks is empty). result.failed_enums and
    // timed_out_enums are set in every case. Logs one level 0 line per disk
    // assessed, "Disk <path>: <state> (<reasons>)".
    int assess_disks(const nesk_assess_options& options, nesk_assessment& result);

    // ---- Partition inspection (blkdev/partitions.cpp) ----

    // Appends one record per partition line of "parted -s -m <disk> print",
    // its ':'-separated fields taken by position, an empty field left empty
    // (lines of fewer than four fields and lines starting at 0.00B give none):
    // 0, or the command's non-zero status with `partitions` unchanged. Logs the
    // command, and its failure, at level 0.
    int extract_partition_info(std::string& disk, std::vector<nesk_partition>& partitions);
    // The value of the first tag blkid prints for `partition` (such as its
    // label or UUID); "" when blkid finds nothing or the command fails.
    std::string extract_label(std::string& partition);
    // Finds the first fat32 partition of the discovered disks, in path order and
    // on a disk in table order: 0 with its device path in `partition` and its
    // first blkid tag value in `tag` (possibly ""), or -1 with both unchanged.
    // Logs every partition seen and every disk it cannot read at level 0.
    int get_vfat_partition(std::string& partition, std::string& tag);

    // Discovered disks by device path; records are only ever added.
    std::map<std::string, nesk_blkdev> blkdev_map;
    nesk_debug debug_log;
    // Whole-disk paths of the disks already in use; only ever grows.
    std::set<std::string> used_devs;
    // False when an in-use enumeration of the last enumerate_blkdevs failed, so
    // that used_devs may be incomplete. Read by callers only.
    bool enum_valid;

    // ---- What discovery passed over and what could not be enumerated ----
    // These only tell a caller why; no operation of the manager reads them.

    // Disks SCSI discovery found but did not record, by device path, with why:
    // "san" (on a Fibre Channel or iSCSI host) or "removable" (flagged so by
    // the kernel). Only ever grows, like blkdev_map.
    std::map<std::string, std::string> skipped_devs;
    // The in-use enumerations of the last enumerate_blkdevs that failed, in the
    // order they ran: "lvm" (enumerate_pvs), "mount" (enumerate_bdevs), "raid"
    // (enumerate_md_tgts). Empty exactly when enum_valid is true. One that ran
    // out of timeout_ms failed.
    std::vector<std::string> failed_enums;
    // The in-use enumerations of the last enumerate_blkdevs that failed
    // because a command ran out of timeout_ms; a subset of failed_enums.
    std::vector<std::string> timed_out_enums;
    // Disks whose sysfs size could not be read or parsed, by device path;
    // their blocks are 0 and they are never new. Only ever grows.
    std::set<std::string> unsized_devs;
    // Which in-use enumerations put each disk into used_devs: "lvm"
    // (enumerate_pvs), "mount" (enumerate_bdevs), "raid" (enumerate_md_tgts).
    // Only ever grows, like used_devs.
    std::map<std::string, std::set<std::string>> used_kinds;
    // Why the last probe of a disk answered true (see is_active_bdev), by
    // device path; a disk the last probe found free has no entry.
    std::map<std::string, std::string> active_reasons;

    // ---- Limits a caller may set; the defaults keep the behaviour above ----

    // Longest wait in milliseconds for each command and device read of the
    // main road: pvscan, mdadm, the probe's device reads, mount, umount and
    // the log check. 0, the default, waits for as long as it takes. Past it,
    // the command's process group is killed and nobody waits for a process
    // stuck on the device: an enumeration that ran out of time has failed, and
    // a disk whose read, mount or unmount ran out of time is active.
    unsigned int timeout_ms = 0;
    // When set, get_new_disks probes no further disk once *stop_request is
    // non-zero (a signal handler's flag, for example).
    const volatile std::sig_atomic_t* stop_request = nullptr;
};

// scandir filter of SCSI discovery: 1 for an entry of /sys/bus/scsi/devices
// that names exactly one local block device by a four-part SCSI address.
NESK_EXPORT int selectscsidev(const struct dirent* entry);
// scandir filter of NVMe discovery: 1 for a /sys/block directory "nvme*".
NESK_EXPORT int selectnvme(const struct dirent* entry);
// scandir filter of the md enumeration: 1 for a /sys/block entry whose major
// number is md_major.
NESK_EXPORT int blkdev_select(const struct dirent* entry);
// Major number held by a sysfs "dev" file ("9:0" gives 9); 0 when unreadable.
NESK_EXPORT int read_major_num(std::string path);
// Why a disk deserves a second look before it is wiped, read without writing to
// it. Replaces `cautions` with stable codes, in this order:
//   "partition-table:<type>"  a partition table (gpt, dos, ...), from libblkid;
//   "signature:<type>"        each file system, RAID, LVM, swap or crypto
//                             signature libblkid finds on the whole disk
//                             (xfs, ext4, linux_raid_member, LVM2_member,
//                             swap, crypto_LUKS, ...);
//   "holder:<name>"           each entry of the disk's sysfs holders directory;
//   "swap"                    the disk or one of its partitions is an active
//                             swap area in /proc/swaps.
// `device` is a whole-disk node path such as /dev/sdb. Returns 0, or -1 when
// the disk itself could not be opened, has no bytes, or could not be read or
// probed (the sysfs and swap codes are still given).
NESK_EXPORT int get_disk_cautions(const std::string& device, std::vector<std::string>& cautions);
// As above, with the disk read by libblkid in a child process that is given
// at most `timeout_ms` milliseconds (0: as long as it takes): -2 when the disk
// did not answer in time (the sysfs and swap codes are still given).
NESK_EXPORT int get_disk_cautions(const std::string& device, std::vector<std::string>& cautions,
                                  unsigned int timeout_ms);
// True when a's size in bytes is smaller than b's.
NESK_EXPORT bool blkdev_compare(const nesk_blkdev_basic_info& a, nesk_blkdev_basic_info& b);

// What tells one disk from another, as an engineer used to lsblk knows it.
// Strings are empty, numbers 0 and flags false where the kernel (or udev, for
// the links) does not tell.
class NESK_EXPORT nesk_disk_identity {
public:
    // World Wide Name as lsblk shows it: an NVMe namespace's wwid as the
    // kernel gives it ("eui.0025385b71b0d3c1", "nvme.144d-..."); for a SCSI
    // disk "0x" and the hex digits of its NAA designator ("0x5000c500a1b2c3d4"),
    // from its wwid or else from VPD page 0x83. Empty for a SCSI disk named
    // only by an EUI-64, T10 vendor or SCSI name designator.
    std::string wwn;
    // The /dev/disk/by-id links whose target is the disk's node, as full
    // paths ("/dev/disk/by-id/wwn-0x5000c500a1b2c3d4"), sorted.
    std::vector<std::string> by_id;
    // device/model, trimmed: a SCSI disk's INQUIRY product (for an ATA disk
    // its model's first 16 characters), an NVMe controller's model.
    std::string model;
    // Trimmed: the serial of VPD page 0x80, else device/serial (an NVMe
    // controller's serial).
    std::string serial;
    // As lsblk's TRAN column names it: "sata", "ata", "sas", "fc", "fcoe",
    // "iscsi", "usb", "sbp" or "spi" from the SCSI host and device, "nvme"
    // for an NVMe namespace; empty for any other disk.
    std::string transport;
    bool rotational = false;  // queue/rotational is non-zero
    bool read_only = false;   // the kernel's read-only flag, /sys/block/<name>/ro
    unsigned int logical_sector_size = 0;   // queue/logical_block_size, bytes
    unsigned int physical_sector_size = 0;  // queue/physical_block_size, bytes
    // Host:channel:target:lun of a SCSI disk ("2:0:0:0"), from its device link.
    std::string hctl;
};

// Fills `identity` for the whole disk `device` (a node path such as /dev/sdb or
// /dev/nvme0n1) from sysfs and /dev/disk/by-id, without opening the disk.
// Returns 0 when /sys/block holds the disk, each field set as far as its
// source exists; -1, every field empty, when it does not (a partition's path
// also gives -1). Nothing is logged.
NESK_EXPORT int get_disk_identity(const std::string& device, nesk_disk_identity& identity);

// What assess_disks is asked.
class NESK_EXPORT nesk_assess_options {
public:
    bool nvme = true;                 // NVMe drives are discovered as well
    unsigned long long min_size = 0;  // a disk of fewer bytes is "too-small"
    bool strict = false;              // any caution is a reason ("caution")
    // When set, cautions are read only for the disks that are new but for
    // "caution"; the others have none. A listing of the new disks needs no
    // more, and need not wait for a disk in use that does not answer.
    bool cautions_of_new_only = false;
    // When not empty, only these disks are assessed, by device path as
    // discovery names them (/dev/sdb): the others are neither probed nor read.
    std::set<std::string> devices;
};

// What assess_disks found out about one disk.
class NESK_EXPORT nesk_disk_assessment {
public:
    std::string device;  // /dev/sdb, /dev/nvme0n1
    // "new"; "not-new", with at least one reason; or "skipped": discovery
    // passed the disk over, and its one reason is "removable" or "san".
    std::string state;
    // Why a recorded disk is not new, each at most once, in this order:
    //   "lvm-pv", "raid-member", "mounted"  put into used_devs by enumerate_pvs,
    //                    enumerate_md_tgts, enumerate_bdevs (see used_kinds);
    //   "stamped", "busy", "unresponsive", "unverified"  the probe's answer
    //                    (see is_active_bdev);
    //   "unknown-size"   discovery could not read its size;
    //   "read-only"      the kernel flags it read-only (/sys/block/NAME/ro);
    //   "too-small"      fewer than options.min_size bytes;
    //   "caution"        with options.strict, it has a caution.
    // Any other reason the probe gives (such as "in-use" for an entry a
    // caller put into used_devs) comes last.
    std::vector<std::string> reasons;
    // get_disk_cautions' codes, then "unreadable" when it returned -1, or
    // "unresponsive" when the disk did not answer within timeout_ms (see
    // nesk_assess_options::cautions_of_new_only).
    std::vector<std::string> cautions;
    // Discovery's record: false for a skipped disk, whose numbers are 0 and
    // texts empty. Size in units of block_size bytes; vendor, model (the
    // record's product) and serial as recorded, empty for NVMe.
    bool recorded = false;
    unsigned long long blocks = 0;
    unsigned int block_size = 0;
    std::string vendor;
    std::string model;
    std::string serial;
    // get_disk_identity's answer; identified is false when it returned -1.
    bool identified = false;
    nesk_disk_identity identity;

    unsigned long long size_bytes() const {
        return blocks * static_cast<unsigned long long>(block_size);
    }
};

// What assess_disks answers.
class NESK_EXPORT nesk_assessment {
public:
    // The disks, in path order.
    std::vector<nesk_disk_assessment> disks;
    // The in-use enumerations that failed, and those of them that ran out of
    // timeout_ms, as in nesk_blkdevmgr::failed_enums and timed_out_enums: a
    // disk called new may be in use unless failed_enums is empty.
    std::vector<std::string> failed_enums;
    std::vector<std::string> timed_out_enums;
    // The disks of nesk_assess_options::devices that discovery does not know.
    std::vector<std::string> unknown_devices;
};

#endif
