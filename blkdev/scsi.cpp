#include <dirent.h>
#include <string.h>

#include <cstdlib>
#include <list>
#include <vector>

#include "blkdev_paths.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "scandir_list.h"

namespace {

// Names listed in `dir` that do not begin with "." ("", "." and ".." included).
std::list<std::string> visible_names(const std::string& dir) {
    std::list<std::string> names;
    nesk_utils::read_directory(dir, names);
    names.remove_if([](const std::string& n) { return n.empty() || n[0] == '.'; });
    return names;
}

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

}  // namespace

int selectscsidev(const struct dirent* entry) {
    // Called from inside scandir: nothing may propagate out of it.
    try {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') return 0;
        std::string path = sysfs_scsidev + "/" + name;
        // Entries are links into /sys/devices: is_dir follows them.
        if (!nesk_utils::is_dir(path)) return 0;
        // Hosts, targets and devices without a block device (enclosures) stop here.
        if (!nesk_utils::is_dir(path + "/block")) return 0;
        std::list<std::string> names = visible_names(path + "/block");
        if (names.size() != 1) return 0;
        if (!nesk_utils::is_blkdev(devfs_mntpath + "/" + names.front())) return 0;
        return is_scsi_address(name) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int nesk_blkdevmgr::enumerate_scsi_blkdevs() {
    scandir_list entries;
    if (entries.scan(sysfs_scsidev.c_str(), selectscsidev, alphasort) < 0) return -1;
    for (int i = 0; i < entries.size(); ++i) {
        std::string name = entries[i]->d_name;
        if (parseblkdevinfo(name) != 0)
            debug_log.logMessage("nesk_blkdevmgr::enumerate_scsi_blkdevs", 2,
                                 "Failed to parse block device info @ %s",
                                 (sysfs_blkdev + "/" + name).c_str());
    }
    return 0;
}

int nesk_blkdevmgr::parseblkdevinfo(std::string address) {
    const char* const function = "nesk_blkdevmgr::parseblkdevinfo";
    const std::string path = sysfs_scsidev + "/" + address;
    std::list<std::string> listing;
    nesk_utils::read_directory(path + "/block", listing);
    if (listing.empty()) {
        debug_log.logMessage(function, -1, "Unable to read block directory in [%s]",
                             address.c_str());
        return -1;
    }
    try {
        std::string kernel_name;
        for (const std::string& n : listing) {
            if (!n.empty() && n[0] != '.') {
                kernel_name = n;
                break;
            }
        }
        // The filter saw exactly one block device, but the directory may have
        // changed since.
        if (kernel_name.empty()) {
            debug_log.logMessage(function, -1, "No block device found in block directory of [%s]",
                                 address.c_str());
            return -1;
        }

        nesk_blkdev record;
        record.set_name(devfs_mntpath + "/" + kernel_name);
        record.set_loc(address);
        const std::string name = record.get_name();

        int host = extracthostid(address.c_str());
        if (host < 0) {
            debug_log.logMessage(function, -1, "Unable to get hostid for block device [%s]",
                                 name.c_str());
            return -1;
        }
        if (is_san_disk(static_cast<unsigned int>(host))) {
            debug_log.logMessage(function, -1, "Skipping SAN attached block device [%s]",
                                 name.c_str());
            skipped_devs.emplace(name, "san");
            return -1;
        }
        if (is_removable_drive(record)) {
            debug_log.logMessage(function, -1, "Skipping removable block device [%s]",
                                 name.c_str());
            skipped_devs.emplace(name, "removable");
            return -1;
        }

        record.set_vendor(nesk_utils::read(path + "/vendor"));
        record.set_product(nesk_utils::read(path + "/model"));
        // A disk whose size or serial cannot be read is recorded all the same.
        get_capacity(record);
        get_serialnum(record);
        debug_log.logMessage(function, -1, "Found block device [%s] with serial number [%s]",
                             name.c_str(), record.get_serial().c_str());
        blkdev_map.try_emplace(name, record);
        return 0;
    } catch (...) {
        debug_log.logMessage(function, -1, "Exception encountered while processing SCSI device @ [%s]",
                             address.c_str());
        return -1;
    }
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
    const std::string number = nesk_utils::uint_to_string(host);
    return nesk_utils::is_dir("/sys/class/fc_host/host" + number) ||
           nesk_utils::is_dir("/sys/class/iscsi_host/host" + number);
}

bool nesk_blkdevmgr::is_removable_drive(nesk_blkdev record) {
    std::string text = nesk_utils::read("/sys/block/" + nesk_utils::get_basename(record.get_name()) +
                                        "/removable");
    return !text.empty() && nesk_utils::string_to_uint(text) != 0;
}
