#include <dirent.h>
#include <string.h>

#include <map>

#include "kernel_paths.h"
#include "device_data.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "scandir_list.h"
#include "sysfs.h"

int selectnvme(const struct dirent* entry) {
    // Called from inside scandir: nothing may propagate out of it.
    try {
        const char* name = entry->d_name;
        if (name[0] == '.') return 0;
        if (strncmp(name, "nvme", 4) != 0) return 0;
        // /sys/block entries are links: is_dir follows them.
        return nesk::sysfs_dev::block(sysfs_blkdev, name).is_dir("") ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int nesk_blkdevmgr::enumerate_nvme() {
    scandir_list entries;
    if (entries.scan(sysfs_blkdev.c_str(), selectnvme, alphasort) < 0) return -1;
    for (int i = 0; i < entries.size(); ++i) {
        std::string name = entries[i]->d_name;
        if (parse_nvme(name) != 0)
            debug_log.logMessage("nesk_blkdevmgr::enumerate_nvme", -1,
                                 "Failed to parse nvme flash device info @ %s",
                                 (sysfs_blkdev + "/" + name).c_str());
    }
    return 0;
}

int nesk_blkdevmgr::parse_nvme(std::string entry) {
    // Built where it will be stored: every nesk_blkdev sets up a log of its
    // own, and a copy or a move would set up another.
    const std::string name = devfs_mntpath + "/" + entry;
    std::map<std::string, nesk_blkdev> staging;
    nesk_blkdev& record = staging.try_emplace(name).first->second;
    record.set_name(name);
    extractsize(nesk::sysfs_dev::block(sysfs_blkdev, entry).dir(), record);
    blkdev_map.insert(staging.extract(staging.begin()));
    debug_log.logMessage("nesk_blkdevmgr::parse_nvme", 2, "Detected nvme drive [%s]",
                         entry.c_str());
    return 0;
}

void nesk_blkdevmgr::extractsize(std::string dir, nesk_blkdev& record) {
    const std::string text = nesk::sysfs_dev(dir).read("size");
    if (!is_sector_count(text)) unsized_devs.insert(record.get_name());
    record.set_blocks(nesk_utils::string_to_ulong(text));
    record.set_block_size(512);
}
