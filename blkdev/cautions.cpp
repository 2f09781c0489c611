// Cautions: what a careful engineer checks before wiping a disk the manager
// calls new. Everything here only reads: libblkid probes the disk through a
// read-only descriptor, and the rest comes from sysfs and /proc/swaps.
#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sstream>

#include "ZavProcess.h"
#include "fd_util.h"
#include "kernel_paths.h"
#include "line_reader.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "sysfs.h"

namespace {

struct probe_deleter {
    void operator()(blkid_probe probe) const noexcept { blkid_free_probe(probe); }
};
using unique_probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, probe_deleter>;

void add_unique(std::vector<std::string>& cautions, const std::string& caution) {
    if (std::find(cautions.begin(), cautions.end(), caution) == cautions.end())
        cautions.push_back(caution);
}

// True when the first sector of the probed device can be read whole. libblkid
// takes a read error for the absence of a signature, so a disk that answers
// no read would otherwise look blank.
bool first_sector_readable(int fd, blkid_probe probe) {
    const blkid_loff_t size = blkid_probe_get_size(probe);
    // A device of no bytes (a detached loop device, a disk gone from its
    // controller) holds nothing to look at, which is not the same as blank.
    if (size <= 0) return false;
    char sector[512];
    const size_t wanted = std::min<blkid_loff_t>(size, sizeof sector);
    ssize_t got;
    do {
        got = ::pread(fd, sector, wanted, 0);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(wanted);
}

// The whole disk's signatures, the way wipefs walks them (one blkid_do_probe
// step per superblock found), then its partition table. 0, or -1 when the
// device cannot be opened, has no bytes, cannot be read or cannot be probed.
int probe_signatures(const std::string& device, std::vector<std::string>& cautions) {
    nesk::unique_fd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return -1;
    unique_probe probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd.get(), 0, 0) != 0) return -1;
    if (!first_sector_readable(fd.get(), probe.get())) return -1;
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
std::vector<std::string> disk_and_partitions(const nesk::sysfs_dev& disk, const std::string& name) {
    std::vector<std::string> names{name};
    std::list<std::string> entries;
    disk.list("", entries);
    for (const auto& entry : entries) {
        if (entry.compare(0, name.size(), name) == 0 && entry.size() > name.size() &&
            disk.is_file(entry + "/partition"))
            names.push_back(entry);
    }
    return names;
}

// True when /proc/swaps lists one of `names` as a swap partition (matched by
// the kernel name at the end of its path; swap files do not count).
bool swap_active(const std::vector<std::string>& names) {
    nesk::line_reader reader(nesk::kernel::proc_swaps);
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
    return get_disk_cautions(device, cautions, 0);
}

int get_disk_cautions(const std::string& device, std::vector<std::string>& cautions,
                      unsigned int timeout_ms) {
    cautions.clear();
    const std::string name = nesk_utils::get_basename(device);
    int result = 0;
    if (timeout_ms == 0) {
        result = probe_signatures(device, cautions);
    } else {
        // libblkid reads the disk in a child process, which the caller stops
        // waiting for when the disk does not answer; the codes come back one
        // a line after a status line.
        auto work = [&device]() -> std::string {
            std::vector<std::string> found;
            std::string answer = probe_signatures(device, found) == 0 ? "0\n" : "-1\n";
            for (const auto& caution : found) answer += caution + "\n";
            return answer;
        };
        std::string answer;
        bool expired = false;
        if (ZavProcess::run_in_child(work, &answer, timeout_ms, &expired) != 0) {
            result = expired ? -2 : -1;
        } else {
            std::istringstream lines(answer);
            std::string line;
            std::getline(lines, line);
            result = line == "0" ? 0 : -1;
            while (std::getline(lines, line)) add_unique(cautions, line);
        }
    }

    const auto disk = nesk::sysfs_dev::block(s_block_base_dir, name);
    std::list<std::string> holders;
    disk.list("holders", holders);
    holders.sort();
    for (const auto& holder : holders) add_unique(cautions, "holder:" + holder);

    if (swap_active(disk_and_partitions(disk, name))) add_unique(cautions, "swap");
    return result;
}
