#include <cctype>
#include <cstring>

#include "kernel_paths.h"
#include "nesk_blkdev.h"

const std::string sysfs_blkdev = "/sys/block";
const std::string devfs_mntpath = "/dev";
const std::string sysfs_scsidev = "/sys/bus/scsi/devices";

std::string s_block_base_dir = "/sys/block";
int md_major = -1;
int BUFFER_SIZE = 16384;

nesk_blkdevmgr::nesk_blkdevmgr() : enum_valid(true) { blkdev_map.clear(); }

int nesk_blkdevmgr::get_blkdev(std::string path, nesk_blkdev& out) {
    auto found = blkdev_map.find(path);
    if (found == blkdev_map.end()) {
        debug_log.logMessage("nesk_blkdevmgr::get_blkdev", -1,
                             "Failed to find block device [%s] on the server", path.c_str());
        return -1;
    }
    out = found->second;
    return 0;
}

namespace {

// Length of the decimal number starting at `pos`, 0 when there is none.
size_t digits_at(const std::string& s, size_t pos) {
    size_t end = pos;
    while (end < s.size() && isdigit(static_cast<unsigned char>(s[end]))) ++end;
    return end - pos;
}

// For "/dev/nvme<N>n<M>" and "/dev/nvme<N>n<M>p<K>", the length of the
// namespace part "/dev/nvme<N>n<M>"; 0 for any other path.
size_t nvme_namespace_length(const std::string& path) {
    static const std::string prefix = "/dev/nvme";
    if (path.compare(0, prefix.size(), prefix) != 0) return 0;
    size_t pos = prefix.size();
    size_t n = digits_at(path, pos);
    if (n == 0) return 0;
    pos += n;
    if (pos >= path.size() || path[pos] != 'n') return 0;
    n = digits_at(path, ++pos);
    if (n == 0) return 0;
    pos += n;
    if (pos == path.size()) return pos;
    if (path[pos] != 'p') return 0;
    n = digits_at(path, pos + 1);
    return n != 0 && pos + 1 + n == path.size() ? pos : 0;
}

}  // namespace

std::string nesk_blkdevmgr::to_blkdev(std::string path) {
    // An NVMe namespace name holds digits of its own: cutting at the first
    // digit would turn every NVMe path into "/dev/nvme".
    if (size_t length = nvme_namespace_length(path)) return path.substr(0, length);
    size_t digit = path.find_first_of("0123456789");
    if (digit != std::string::npos) path.erase(digit);
    return path;
}
