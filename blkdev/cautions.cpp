// Cautions: what a careful engineer checks before wiping a disk the manager
// calls new. Everything here only reads: libblkid probes the disk through a
// read-only descriptor, and the rest comes from sysfs and /proc/swaps.
#include <blkid/blkid.h>
#include <fcntl.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "fd_util.h"
#include "line_reader.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"

namespace {

struct probe_deleter {
    void operator()(blkid_probe probe) const noexcept { blkid_free_probe(probe); }
};
using unique_probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, probe_deleter>;

void add_unique(std::vector<std::string>& cautions, const std::string& caution) {
    if (std::find(cautions.begin(), cautions.end(), caution) == cautions.end())
        cautions.push_back(caution);
}

// The whole disk's signatures, the way wipefs walks them (one blkid_do_probe
// step per superblock found), then its partition table. 0, or -1 when the
// device cannot be opened or probed.
int probe_signatures(const std::string& device, std::vector<std::string>& cautions) {
    nesk::unique_fd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return -1;
    unique_probe probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd.get(), 0, 0) != 0) return -1;
    const char* value = nullptr;

    // A partition table's protective MBR or backup header is part of the
    // table, not a signature of its own, so the table is asked for once.
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    int rc = blkid_do_safeprobe(probe.get());
    if (rc < 0 && rc != -2) return -1;  // -2: ambivalent result, no single table
    std::vector<std::string> found;
    if (rc == 0 && blkid_probe_lookup_value(probe.get(), "PTTYPE", &value, nullptr) == 0)
        found.push_back(std::string("partition-table:") + value);

    blkid_reset_probe(probe.get());
    blkid_probe_enable_partitions(probe.get(), 0);
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE);
    while ((rc = blkid_do_probe(probe.get())) == 0) {
        if (blkid_probe_lookup_value(probe.get(), "TYPE", &value, nullptr) == 0)
            found.push_back(std::string("signature:") + value);
    }
    if (rc < 0) return -1;
    for (const auto& caution : found) add_unique(cautions, caution);
    return 0;
}

// Kernel names of the disk and of its partitions (entries of its sysfs
// directory that hold a "partition" file).
std::vector<std::string> disk_and_partitions(const std::string& name) {
    std::vector<std::string> names{name};
    std::list<std::string> entries;
    nesk_utils::read_directory(s_block_base_dir + "/" + name, entries);
    for (const auto& entry : entries) {
        if (entry.compare(0, name.size(), name) == 0 && entry.size() > name.size() &&
            nesk_utils::is_file(s_block_base_dir + "/" + name + "/" + entry + "/partition"))
            names.push_back(entry);
    }
    return names;
}

// True when /proc/swaps lists one of `names` as a swap partition (matched by
// the kernel name at the end of its path; swap files do not count).
bool swap_active(const std::vector<std::string>& names) {
    nesk::unique_file in(fopen("/proc/swaps", "re"));
    if (!in) return false;
    nesk::line_reader reader(in.get());
    std::string line;
    for (bool heading = true; reader.next(line); heading = false) {
        std::istringstream fields(line);
        std::string path, type;
        if (heading || !(fields >> path >> type) || type != "partition") continue;
        if (std::find(names.begin(), names.end(), nesk_utils::get_basename(path)) != names.end())
            return true;
    }
    return false;
}

}  // namespace

int get_disk_cautions(const std::string& device, std::vector<std::string>& cautions) {
    cautions.clear();
    const std::string name = nesk_utils::get_basename(device);
    int result = probe_signatures(device, cautions);

    std::list<std::string> holders;
    nesk_utils::read_directory(s_block_base_dir + "/" + name + "/holders", holders);
    holders.sort();
    for (const auto& holder : holders)
        if (holder != "." && holder != "..") add_unique(cautions, "holder:" + holder);

    if (swap_active(disk_and_partitions(name))) add_unique(cautions, "swap");
    return result;
}
