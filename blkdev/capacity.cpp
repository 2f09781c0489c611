#include <exception>

#include "device_data.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "sysfs.h"

namespace {

// A VPD page is at most a few hundred bytes; anything longer is not one.
const size_t kMaxVpdPage = 64 * 1024;

}  // namespace

bool is_sector_count(const std::string& text) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return text.size() < 20 || text <= "18446744073709551615";
}

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
        std::string text = nesk::sysfs_dev::disk(name).read("size");
        // A size that cannot be read makes a disk of 0 bytes, which must not
        // pass for a small new disk.
        if (!is_sector_count(text)) unsized_devs.insert(name);
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
        // Unit Serial Number page, reached through the disk's SCSI device. The
        // page is binary: a line-feed byte is data like any other.
        std::string raw = nesk::sysfs_dev::disk(name).read_bytes("device/vpd_pg80", kMaxVpdPage);
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
