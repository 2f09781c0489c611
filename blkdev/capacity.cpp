#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

#include "device_data.h"
#include "fd_util.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"

namespace {

// Per-disk attributes live under the block class directory, whose entries
// reach the disk's SCSI device through their "device" link.
const char* const kClassBlock = "/sys/class/block";

// A VPD page is at most a few hundred bytes; anything longer is not one.
const size_t kMaxVpdPage = 64 * 1024;

// Kernel name of a device path: the text after its last "/".
std::string kernel_name(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every byte of `path` (at most kMaxVpdPage); "" when it cannot be opened or
// read. The page is binary: a line-feed byte is data like any other.
std::string read_binary(const std::string& path) {
    nesk::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::string();
    std::string data;
    char buffer[4096];
    while (data.size() < kMaxVpdPage) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::string();
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    if (data.size() > kMaxVpdPage) data.resize(kMaxVpdPage);
    return data;
}

}  // namespace

bool decode_vpd_serial(const std::string& page, std::string& serial) {
    if (page.empty()) {
        serial.clear();
        return true;
    }
    if (page.size() < 4) return false;
    size_t length = static_cast<unsigned char>(page[3]);
    serial = page.substr(4, length);
    return true;
}

int nesk_blkdevmgr::get_capacity(nesk_blkdev& record) {
    int result = 0;
    unsigned long long blocks = 0;
    unsigned int block_size = 0;
    try {
        std::string name = record.get_name();
        std::string text = nesk_utils::read(std::string(kClassBlock) + "/" + kernel_name(name) +
                                            "/size");
        if (!text.empty()) {
            // The size file counts 512-byte sectors whatever the logical block size.
            blocks = nesk_utils::string_to_ull(text);
            block_size = 512;
            debug_log.logMessage("nesk_blkdevmgr::get_capacity", 2,
                                 "Block device [%s] num of blocks [%lld]", name.c_str(),
                                 static_cast<long long>(blocks));
        }
    } catch (...) {
        blocks = 0;
        block_size = 0;
        result = -1;
    }
    record.set_blocks(blocks);
    record.set_block_size(block_size);
    return result;
}

int nesk_blkdevmgr::get_serialnum(nesk_blkdev& record) {
    int result = 0;
    std::string serial;
    std::string name;
    try {
        name = record.get_name();
        // Unit Serial Number page: byte 3 is the length L of the serial that
        // starts at byte 4; bytes 0-2 are not looked at.
        std::string raw = read_binary(std::string(kClassBlock) + "/" + kernel_name(name) +
                                      "/device/vpd_pg80");
        if (!decode_vpd_serial(raw, serial)) {
            result = -1;
        } else {
            debug_log.logMessage("nesk_blkdevmgr::get_serialnum", 2, "uuid for %s : %s",
                                 name.c_str(), serial.c_str());
        }
    } catch (...) {
        result = -1;
    }
    if (result != 0) {
        serial.clear();
        try {
            debug_log.logMessage("nesk_blkdevmgr::get_serialnum", -1,
                                 "Failed to extract uuid for %s", name.c_str());
        } catch (...) {
        }
    }
    record.set_serial(nesk_utils::trim(serial));
    return result;
}
