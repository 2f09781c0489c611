#include <dirent.h>
#include <string.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <utility>
#include <vector>

#include "fd_util.h"
#include "kernel_paths.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "sysfs.h"

namespace {

// True for host:channel:target:lun, four pieces split at ":" (empty pieces
// dropped), each starting with a decimal digit.
bool is_scsi_address(const std::string& name) {
    std::vector<char> text(name.begin(), name.end());
    text.push_back('\0');
    char colon[] = ":";
    std::list<std::string> pieces;
    nesk_utils::tokenize(text.data(), colon, pieces);
    if (pieces.size() != 4) return false;
    for (const std::string& piece : pieces)
        if (piece.empty() || piece[0] < '0' || piece[0] > '9') return false;
    return true;
}

// The kernel name of the one block device that the entry `name` of the SCSI
// device directory holds, or "" when the entry is not a local disk candidate:
// hidden, not a four-part address, without a "block" directory (hosts,
// targets, enclosures), with no or several block devices, or without a node
// under /dev. The name is looked at first: it costs no system call.
std::string scsi_disk_of(const std::string& name) {
    if (name.empty() || name[0] == '.' || !is_scsi_address(name)) return std::string();
    // Listing "block" fails unless both the entry (a link into /sys/devices)
    // and its "block" are directories.
    std::list<std::string> names;
    if (!nesk::sysfs_dev(sysfs_scsidev + "/" + name).list("block", names) || names.size() != 1)
        return std::string();
    if (!nesk_utils::is_blkdev(devfs_mntpath + "/" + names.front())) return std::string();
    return names.front();
}

bool flagged_removable(const nesk::sysfs_dev& disk) {
    const std::string text = disk.read("removable");
    return !text.empty() && nesk_utils::string_to_uint(text) != 0;
}

// Builds and stores the record of SCSI device `address` whose block device is
// `kernel_name`; 0 when stored, -1 when skipped or failed (logged).
int parse_scsi_disk(nesk_blkdevmgr& manager, const std::string& address,
                    const std::string& kernel_name) {
    const char* const function = "nesk_blkdevmgr::parseblkdevinfo";
    nesk_debug& log = manager.debug_log;
    try {
        const std::string name = devfs_mntpath + "/" + kernel_name;
        int host = manager.extracthostid(address.c_str());
        if (host < 0) {
            log.logMessage(function, -1, "Unable to get hostid for block device [%s]",
                           name.c_str());
            return -1;
        }
        if (manager.is_san_disk(static_cast<unsigned int>(host))) {
            log.logMessage(function, -1, "Skipping SAN attached block device [%s]", name.c_str());
            manager.skipped_devs.emplace(name, "san");
            return -1;
        }
        if (flagged_removable(nesk::sysfs_dev::disk(name))) {
            log.logMessage(function, -1, "Skipping removable block device [%s]", name.c_str());
            manager.skipped_devs.emplace(name, "removable");
            return -1;
        }

        // The record is built where it will be stored: every nesk_blkdev sets
        // up a log of its own, and a copy or a move would set up another.
        std::map<std::string, nesk_blkdev> staging;
        nesk_blkdev& record = staging.try_emplace(name).first->second;
        record.set_name(name);
        record.set_loc(address);
        const nesk::sysfs_dev device(sysfs_scsidev + "/" + address);
        record.set_vendor(device.read("vendor"));
        record.set_product(device.read("model"));
        // A disk whose size or serial cannot be read is recorded all the same.
        manager.get_capacity(record);
        manager.get_serialnum(record);
        log.logMessage(function, -1, "Found block device [%s] with serial number [%s]",
                       name.c_str(), record.get_serial().c_str());
        // A disk already recorded keeps its first record.
        manager.blkdev_map.insert(staging.extract(staging.begin()));
        return 0;
    } catch (...) {
        log.logMessage(function, -1, "Exception encountered while processing SCSI device @ [%s]",
                       address.c_str());
        return -1;
    }
}

}  // namespace

int selectscsidev(const struct dirent* entry) {
    // Called from inside scandir: nothing may propagate out of it.
    try {
        return scsi_disk_of(entry->d_name).empty() ? 0 : 1;
    } catch (...) {
        return 0;
    }
}

int nesk_blkdevmgr::enumerate_scsi_blkdevs() {
    // The scan keeps the block device name the filter found with each entry,
    // so that each disk's block directory is listed once.
    std::vector<std::pair<std::string, std::string>> disks;
    {
        nesk::unique_dir stream(opendir(sysfs_scsidev.c_str()));
        if (!stream) return -1;
        while (struct dirent* entry = readdir(stream.get())) {
            std::string kernel_name;
            try {
                kernel_name = scsi_disk_of(entry->d_name);
            } catch (...) {
                continue;
            }
            if (!kernel_name.empty()) disks.emplace_back(entry->d_name, std::move(kernel_name));
        }
    }
    // In alphasort order.
    std::sort(disks.begin(), disks.end(), [](const auto& a, const auto& b) {
        return strcoll(a.first.c_str(), b.first.c_str()) < 0;
    });
    for (const auto& disk : disks) {
        if (parse_scsi_disk(*this, disk.first, disk.second) != 0)
            debug_log.logMessage("nesk_blkdevmgr::enumerate_scsi_blkdevs", 2,
                                 "Failed to parse block device info @ %s",
                                 (sysfs_blkdev + "/" + disk.first).c_str());
    }
    return 0;
}

int nesk_blkdevmgr::parseblkdevinfo(std::string address) {
    const char* const function = "nesk_blkdevmgr::parseblkdevinfo";
    std::list<std::string> listing;
    nesk_utils::read_directory(sysfs_scsidev + "/" + address + "/block", listing);
    if (listing.empty()) {
        debug_log.logMessage(function, -1, "Unable to read block directory in [%s]",
                             address.c_str());
        return -1;
    }
    std::string kernel_name;
    try {
        for (const std::string& n : listing) {
            if (!n.empty() && n[0] != '.') {
                kernel_name = n;
                break;
            }
        }
    } catch (...) {
        debug_log.logMessage(function, -1, "Exception encountered while processing SCSI device @ [%s]",
                             address.c_str());
        return -1;
    }
    // The filter saw exactly one block device, but the directory may have
    // changed since.
    if (kernel_name.empty()) {
        debug_log.logMessage(function, -1, "No block device found in block directory of [%s]",
                             address.c_str());
        return -1;
    }
    return parse_scsi_disk(*this, address, kernel_name);
}

int nesk_blkdevmgr::extracthostid(const char* address) {
    if (address == nullptr) return -1;
    char copy[64];
    strncpy(copy, address, sizeof copy - 1);
    copy[sizeof copy - 1] = '\0';
    char* state = nullptr;
    const char* token = strtok_r(copy, ":", &state);
    if (token == nullptr) return -1;
    return nesk_utils::string_to_int(token);
}

bool nesk_blkdevmgr::is_san_disk(unsigned int host) {
    const std::string entry = "/host" + nesk_utils::uint_to_string(host);
    return nesk_utils::is_dir(nesk::kernel::fc_host_dir + entry) ||
           nesk_utils::is_dir(nesk::kernel::iscsi_host_dir + entry);
}

bool nesk_blkdevmgr::is_removable_drive(nesk_blkdev record) {
    return flagged_removable(nesk::sysfs_dev::disk(record.get_name()));
}
