#include <dirent.h>
#include <string.h>

#include "blkdev_paths.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "scandir_list.h"

int selectnvme(const struct dirent* entry) {
    // Called from inside scandir: nothing may propagate out of it.
    try {
        const char* name = entry->d_name;
        if (name[0] == '.') return 0;
        if (strncmp(name, "nvme", 4) != 0) return 0;
        // /sys/block entries are links: is_dir follows them.
        return nesk_utils::is_dir(sysfs_blkdev + "/" + name) ? 1 : 0;
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
    nesk_blkdev record;
    record.set_name(devfs_mntpath + "/" + entry);
    extractsize(sysfs_blkdev + "/" + entry, record);
    blkdev_map.try_emplace(record.get_name(), record);
    debug_log.logMessage("nesk_blkdevmgr::parse_nvme", 2, "Detected nvme drive [%s]",
                         entry.c_str());
    return 0;
}

void nesk_blkdevmgr::extractsize(std::string dir, nesk_blkdev& record) {
    record.set_blocks(nesk_utils::string_to_ulong(nesk_utils::read(dir + "/size")));
    record.set_block_size(512);
}
