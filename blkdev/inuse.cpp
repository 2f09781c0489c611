// Disks already in use: LVM physical volumes, disks behind mounted file
// systems and members of software RAID (md) arrays. Each enumeration reduces
// what it finds to whole-disk paths and adds them to the manager's used_devs.
#include <dirent.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>

#include "ZavMntParser.h"
#include "device_data.h"
#include "fd_util.h"
#include "kernel_paths.h"
#include "line_reader.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "run_command.h"
#include "scandir_list.h"
#include "sysfs.h"

namespace {

// Delay handed to the command runner for pvscan and mdadm.
const int k_command_delay_ms = 100;

// "<number> <word>" with white space allowed before each: true with both set.
bool parse_number_and_word(const std::string& line, int& number, std::string& word) {
    const char* start = line.c_str();
    char* number_end = nullptr;
    errno = 0;
    long value = std::strtol(start, &number_end, 10);
    if (number_end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    number = static_cast<int>(value);
    size_t begin = line.find_first_not_of(" \t\n\r\v\f", static_cast<size_t>(number_end - start));
    if (begin == std::string::npos) return false;
    size_t end = line.find_first_of(" \t\n\r\v\f", begin);
    word = line.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    return true;
}

// The block major number of `driver` in the device list `devices` reads, or
// -1. `listed` tells whether the block device list was found in it.
int major_in_list(nesk::line_reader& devices, const std::string& driver, bool& listed) {
    listed = false;
    // Character devices come first; only the block device list counts.
    std::string line;
    while (devices.next(line)) {
        if (!listed) {
            listed = nesk_utils::trim(line).find("Block devices") != std::string::npos;
            continue;
        }
        int number = 0;
        std::string word;
        if (parse_number_and_word(line, number, word) && word == driver) return number;
    }
    return -1;
}

// The block major number of `driver` in /proc/devices, or -1. `listed` tells
// whether the block device list was read at all.
int block_major(const std::string& driver, bool& listed) {
    listed = false;
    nesk::line_reader devices(nesk::kernel::proc_devices);
    if (!devices.is_open()) return -1;
    return major_in_list(devices, driver, listed);
}

// Records that the in-use enumeration of `kind` found `disk` in use.
void mark_in_use(nesk_blkdevmgr& manager, const std::string& disk, const char* kind) {
    manager.used_devs.insert(disk);
    manager.used_kinds[disk].insert(kind);
}

}  // namespace

int block_major_in(FILE* devices, const std::string& driver, bool& listed) {
    nesk::line_reader reader(devices);
    return major_in_list(reader, driver, listed);
}

int nesk_blkdevmgr::enumerate_pvs() {
    // pvscan -s prints one indented device path per physical volume and a
    // "Total:" line; a node without any volume prints only a notice and still
    // succeeds, so the status is pvscan's own and the paths are picked here.
    // pvscan also fails while still listing volumes (a volume group missing
    // one of its devices): the volumes it names are in use all the same.
    std::list<std::string> lines;
    bool expired = false;
    const int status = popen_limited("pvscan -s", lines, k_command_delay_ms, timeout_ms, &expired);
    if (expired) {
        debug_log.logMessage("nesk_blkdevmgr::enumerate_pvs", -1,
                             "pvscan did not finish within %u ms; its process group was killed",
                             timeout_ms);
        timed_out_enums.push_back("lvm");
    }
    if (status != 0) {
        debug_log.logMessage("nesk_blkdevmgr::enumerate_pvs", -1,
                             "Failed to enumerate the LVM physical volumes currently present on "
                             "the server");
    }
    for (const std::string& line : lines) {
        if (line.find("/dev") == std::string::npos) continue;
        std::string disk = to_blkdev(line);
        debug_log.logMessage("nesk_blkdevmgr::enumerate_pvs", 2, "LVM PV %s block dev %s",
                             line.c_str(), disk.c_str());
        mark_in_use(*this, disk, "lvm");
    }
    return status;
}

int nesk_blkdevmgr::enumerate_bdevs() {
    ZavMntParser parser(nesk::kernel::mount_table);
    std::list<ZavMntInfo> entries;
    // An unreadable table leaves the list empty: nothing is added.
    parser.ParseMountPointInfo(entries);
    for (const ZavMntInfo& entry : entries) {
        std::string device = entry.GetBackingDevice();
        // Pseudo file systems (proc, tmpfs, ...) have no device path.
        if (device.compare(0, 4, "/dev") != 0) continue;
        std::string disk = to_blkdev(device);
        debug_log.logMessage("nesk_blkdevmgr::enumerate_bdevs", 2,
                             "Mountpath backing device %s block dev %s", device.c_str(),
                             disk.c_str());
        mark_in_use(*this, disk, "mount");
    }
    return 0;
}

int nesk_blkdevmgr::enumerate_md_tgts() {
    std::list<std::string> arrays;
    if (enumerate_md_devs(arrays) != 0) {
        debug_log.logMessage("nesk_blkdevmgr::enumerate_md_tgts", -1,
                             "Failed to enumerate software raid devices");
        return -1;
    }
    // An array whose members cannot be listed does not stop the others, but
    // the set of members is then incomplete and the enumeration says so.
    int result = 0;
    for (const std::string& array : arrays) {
        std::list<std::string> members;
        if (get_backend_devs(array, members) != 0) {
            debug_log.logMessage("nesk_blkdevmgr::enumerate_md_tgts", -1,
                                 "Failed to get backend devices for md device %s", array.c_str());
            result = -1;
            continue;
        }
        for (const std::string& member : members) {
            std::string disk = to_blkdev(member);
            debug_log.logMessage("nesk_blkdevmgr::enumerate_md_tgts", 0,
                                 "Software raid device %s block dev %s", array.c_str(),
                                 disk.c_str());
            mark_in_use(*this, disk, "raid");
        }
    }
    return result;
}

int nesk_blkdevmgr::enumerate_md_devs(std::list<std::string>& names) {
    // The scan filter sees only the directory entry, so the major number it
    // compares with is handed over through md_major.
    md_major = get_major_num("md");
    if (md_major < 0) {
        // The driver registers its major number when it loads, and no array
        // exists without it: a block device list without "md" is a complete
        // answer. Only a list that cannot be read is a failure.
        bool listed = false;
        block_major("md", listed);
        if (listed) {
            names.clear();
            debug_log.logMessage("nesk_blkdevmgr::enumerate_md_devs", 0,
                                 "No md kernel module loaded, no software raid devices present");
            return 0;
        }
        debug_log.logMessage("nesk_blkdevmgr::enumerate_md_devs", -1,
                             "Failed to find major number for md kernel module");
        return -1;
    }
    names.clear();
    scandir_list entries;
    if (entries.scan(s_block_base_dir.c_str(), blkdev_select, alphasort) < 0) return -1;
    for (int i = 0; i < entries.size(); ++i) {
        names.push_back(entries[i]->d_name);
        debug_log.logMessage("nesk_blkdevmgr::enumerate_md_devs", -1, "Found a md device %s",
                             entries[i]->d_name);
    }
    return 0;
}

int nesk_blkdevmgr::get_backend_devs(std::string name, std::list<std::string>& members) {
    // mdadm runs alone, so that its own status tells whether the members could
    // be listed (at the end of a pipeline a failing mdadm would look like an
    // array without members). Member lines are the lines naming a device other
    // than an md array, and the member's path is their last field whatever the
    // state: "active sync", "spare", "faulty" and RAID10's "active sync set-A"
    // differ in how many fields come before it.
    std::string command = "mdadm --detail /dev/" + name;
    debug_log.logMessage("nesk_blkdevmgr::get_backend_devs", 2,
                         "Backend devices will be extracted using command %s", command.c_str());
    std::list<std::string> lines;
    bool expired = false;
    int status = popen_limited(command, lines, k_command_delay_ms, timeout_ms, &expired);
    if (expired) {
        debug_log.logMessage("nesk_blkdevmgr::get_backend_devs", -1,
                             "%s did not finish within %u ms; its process group was killed",
                             command.c_str(), timeout_ms);
        if (timed_out_enums.empty() || timed_out_enums.back() != "raid")
            timed_out_enums.push_back("raid");
    }
    if (status != 0) {
        debug_log.logMessage("nesk_blkdevmgr::get_backend_devs", -1, "Failed to execute command %s",
                             command.c_str());
        return status;
    }
    members.clear();
    for (const std::string& line : lines) {
        if (line.find("/dev") == std::string::npos || line.find("/dev/md") != std::string::npos)
            continue;
        size_t blank = line.find_last_of(" \t");
        members.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
    }
    return 0;
}

int nesk_blkdevmgr::get_major_num(std::string driver) {
    bool listed = false;
    int major = block_major(driver, listed);
    debug_log.logMessage("nesk_blkdevmgr::get_md_devno", 0,
                         "Found major number %d for kernel module %s", major, driver.c_str());
    return major;
}

int blkdev_select(const struct dirent* entry) {
    // Called from inside scandir: nothing may propagate out of it.
    try {
        if (entry->d_name[0] == '.') return 0;
        const auto device = nesk::sysfs_dev::block(s_block_base_dir, entry->d_name);
        return read_major_num(device.path("dev")) == md_major ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int read_major_num(std::string path) {
    std::string line;
    if (!nesk::line_reader(path).next(line)) return 0;
    std::string major;
    std::string minor;
    if (nesk_utils::get_name_value_pair(line, major, minor) != 0) return 0;
    return nesk_utils::string_to_int(major);
}
