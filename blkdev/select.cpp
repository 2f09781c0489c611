// New disk selection: the discovered disks that are neither in use nor stamped,
// optionally of a minimum size and ordered by size.
#include <list>
#include <string>

#include "nesk_blkdev.h"

namespace {

unsigned long long size_in_bytes(unsigned long long blocks, unsigned int block_size) {
    return blocks * static_cast<unsigned long long>(block_size);
}

// True when the caller asked the selection to stop; logged at level 0.
bool stop_requested(const volatile std::sig_atomic_t* request, nesk_debug& log) {
    if (request == nullptr || *request == 0) return false;
    log.logMessage("nesk_blkdevmgr::get_new_disks", 0,
                   "Stopped on request before probing every disk");
    return true;
}

}  // namespace

int nesk_blkdevmgr::get_new_disks(std::list<nesk_blkdev_basic_info>& disks) {
    disks.clear();
    for (auto& entry : blkdev_map) {
        nesk_blkdev& disk = entry.second;
        if (stop_requested(stop_request, debug_log)) return -1;
        if (is_active_bdev(disk.get_name())) continue;
        disks.emplace_back(disk.get_name(), disk.get_blocks(), disk.get_blksize());
        debug_log.logMessage("nesk_blkdevmgr::get_new_disks", 0,
                             "Found a new block device %s with %llu blocks",
                             disk.get_name().c_str(), disk.get_blocks());
    }
    return 0;
}

int nesk_blkdevmgr::get_new_disks(unsigned long long minimum,
                                  std::list<nesk_blkdev_basic_info>& disks) {
    disks.clear();
    for (auto& entry : blkdev_map) {
        nesk_blkdev& disk = entry.second;
        if (stop_requested(stop_request, debug_log)) {
            disks.sort(blkdev_compare);
            return -1;
        }
        // Every disk is probed, a small one too: the size test comes after.
        bool active = is_active_bdev(disk.get_name());
        unsigned long long size = size_in_bytes(disk.get_blocks(), disk.get_blksize());
        if (active || size < minimum) continue;
        disks.emplace_back(disk.get_name(), disk.get_blocks(), disk.get_blksize());
        debug_log.logMessage("nesk_blkdevmgr::get_new_disks", 0,
                             "Found a new block device %s with %llu blocks",
                             disk.get_name().c_str(), disk.get_blocks());
    }
    // std::list::sort is stable: disks of equal size stay in path order.
    disks.sort(blkdev_compare);
    return 0;
}

bool blkdev_compare(const nesk_blkdev_basic_info& a, nesk_blkdev_basic_info& b) {
    return size_in_bytes(a.blocks, a.block_size) < size_in_bytes(b.blocks, b.block_size);
}
