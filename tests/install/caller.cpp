// A caller's program built against the installed package.
#include <cstdio>
#include <string>

#include "MurmurHash3.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"

int main() {
    nesk_blkdevmgr manager;
    uint32_t digest = 0;
    MurmurHash3_x86_32("", 0, 0, &digest);
    std::string disk = manager.to_blkdev("/dev/nvme0n1p1");
    std::string text = nesk_utils::trim("  linked \n");
    std::printf("%s %s %u\n", disk.c_str(), text.c_str(), digest);

    // The manager's tables, read as callers read them.
    size_t disks = 0;
    for (const auto& entry : manager.blkdev_map) disks += entry.first.empty() ? 0 : 1;
    manager.debug_log.logMessage("caller", 2, "%zu disks", disks);
    const bool fresh = manager.enum_valid && manager.used_devs.empty() && disks == 0;
    return fresh && disk == "/dev/nvme0n1" && text == "linked" && digest == 0 ? 0 : 1;
}
