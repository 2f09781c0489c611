// Identity: the names and traits by which an engineer tells one disk from
// another, derived from sysfs the way lsblk derives its columns, and the links
// udev made to the disk under /dev/disk/by-id. Nothing here opens the disk.
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>

#include "device_data.h"
#include "fd_util.h"
#include "kernel_paths.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "sysfs.h"

namespace {

// A VPD page is at most a few hundred bytes; anything longer is not one.
const size_t kMaxVpdPage = 64 * 1024;

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A flag attribute such as ro or queue/rotational: set when it holds a
// non-zero number.
bool flag(const nesk::sysfs_dev& disk, const std::string& name) {
    return nesk_utils::string_to_int(disk.read(name)) != 0;
}

// H:C:T:L of a SCSI disk: the last part of its "device" link, read as four
// numbers. "" when the link ends otherwise (an NVMe controller, no link).
std::string scsi_address(const nesk::sysfs_dev& disk) {
    const std::string target = disk.link("device");
    const std::string last = target.substr(target.find_last_of('/') + 1);
    unsigned int h = 0, c = 0, t = 0, l = 0;
    if (std::sscanf(last.c_str(), "%u:%u:%u:%u", &h, &c, &t, &l) != 4) return std::string();
    return std::to_string(h) + ":" + std::to_string(c) + ":" + std::to_string(t) + ":" +
           std::to_string(l);
}

// The transport as lsblk names it, tested in lsblk's order: the host's
// transport class first, then what the SCSI device itself shows, then the
// host driver's name. A disk without a SCSI address is "nvme" by its name.
std::string transport_of(const std::string& name, const std::string& hctl) {
    if (hctl.empty()) return starts_with(name, "nvme") ? "nvme" : "";
    const std::string host = "host" + hctl.substr(0, hctl.find(':'));
    auto host_in = [&](const char* class_dir) {
        return nesk::sysfs_dev(std::string(class_dir) + "/" + host);
    };
    const nesk::sysfs_dev device(sysfs_scsidev + "/" + hctl);
    auto device_has = [&](const std::string& entry) {
        return device.is_dir(entry) || device.is_file(entry);
    };

    if (host_in(nesk::kernel::spi_host_dir).is_dir("")) return "spi";
    const nesk::sysfs_dev fc = host_in(nesk::kernel::fc_host_dir);
    if (fc.is_dir("")) {
        const std::string symbolic_name = fc.read("symbolic_name");
        if (symbolic_name.empty()) return "";
        return symbolic_name.find(" over ") != std::string::npos ? "fcoe" : "fc";
    }
    if (host_in(nesk::kernel::sas_host_dir).is_dir("") || device_has("sas_device")) return "sas";
    if (device_has("ieee1394_id")) return "sbp";
    if (host_in(nesk::kernel::iscsi_host_dir).is_dir("")) return "iscsi";
    if (device.is_dir("") && device.link("").find("usb") != std::string::npos) return "usb";
    const nesk::sysfs_dev scsi_host = host_in(nesk::kernel::scsi_host_dir);
    if (scsi_host.is_dir("")) {
        const std::string driver = scsi_host.read("proc_name");
        if (starts_with(driver, "ahci") || starts_with(driver, "sata")) return "sata";
        if (driver.find("ata") != std::string::npos) return "ata";
        return "";
    }
    return starts_with(name, "nvme") ? "nvme" : "";
}

// The World Wide Name lsblk shows, which udev takes for an NVMe namespace
// from its wwid as it stands, and for a SCSI disk from its NAA designator.
std::string wwn_of(const nesk::sysfs_dev& disk, const std::string& name) {
    if (starts_with(name, "nvme")) {
        std::string wwid = disk.read("wwid");
        return wwid.empty() ? disk.read("device/wwid") : wwid;
    }
    // The kernel's wwid is the designator it prefers; another one may still
    // be the NAA name udev goes by.
    const std::string wwid = disk.read("device/wwid");
    if (starts_with(wwid, "naa.") && wwid.size() > 4) return "0x" + wwid.substr(4);
    std::string wwn;
    decode_vpd_naa(disk.read_bytes("device/vpd_pg83", kMaxVpdPage), wwn);
    return wwn;
}

// The disk's serial number: a SCSI unit serial number page, or else the
// serial attribute of the device (an NVMe controller's serial).
std::string serial_of(const nesk::sysfs_dev& disk) {
    std::string serial;
    if (decode_vpd_serial(disk.read_bytes("device/vpd_pg80", kMaxVpdPage), serial))
        serial = nesk_utils::trim(serial);
    return serial.empty() ? disk.read("device/serial") : serial;
}

// Full paths of the by-id links whose target is `device`'s node, sorted.
std::vector<std::string> by_id_links(const std::string& device) {
    std::vector<std::string> links;
    nesk::unique_malloc<char> node(::realpath(device.c_str(), nullptr));
    nesk::scandir_list entries;
    if (!node || entries.scan(nesk::kernel::disk_by_id_dir, nullptr, nullptr) < 0) return links;
    for (int i = 0; i < entries.size(); ++i) {
        if (entries[i]->d_name[0] == '.') continue;
        const std::string link =
            std::string(nesk::kernel::disk_by_id_dir) + "/" + entries[i]->d_name;
        nesk::unique_malloc<char> target(::realpath(link.c_str(), nullptr));
        if (target && std::string(target.get()) == node.get()) links.push_back(link);
    }
    std::sort(links.begin(), links.end());
    return links;
}

}  // namespace

bool decode_vpd_naa(const std::string& page, std::string& wwn) {
    wwn.clear();
    if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x83) return false;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(page[i]); };
    const size_t end = std::min(page.size(), 4 + (size_t{byte(2)} << 8 | byte(3)));
    // Rank of each NAA type: 6 first, then 5, then the others.
    auto rank = [](unsigned int naa) { return naa == 6 ? 0 : naa == 5 ? 1 : 2; };
    int best = 3;
    for (size_t at = 4; at + 4 <= end;) {
        const size_t length = byte(at + 3);
        if (at + 4 + length > end) break;
        const bool binary = (byte(at) & 0x0f) == 1;
        const bool logical_unit = (byte(at + 1) & 0x30) == 0;
        const bool naa = (byte(at + 1) & 0x0f) == 3;
        if (binary && logical_unit && naa && length > 0 && rank(byte(at + 4) >> 4) < best) {
            best = rank(byte(at + 4) >> 4);
            static const char digits[] = "0123456789abcdef";
            wwn = "0x";
            for (size_t i = at + 4; i < at + 4 + length; ++i) {
                wwn += digits[byte(i) >> 4];
                wwn += digits[byte(i) & 0x0f];
            }
        }
        at += 4 + length;
    }
    return best < 3;
}

int get_disk_identity(const std::string& device, nesk_disk_identity& identity) {
    identity = nesk_disk_identity();
    const std::string name = nesk_utils::get_basename(device);
    const nesk::sysfs_dev disk = nesk::sysfs_dev::disk(device);
    // basename(3) makes "." of "" and "/".
    if (name.empty() || name == "." || name == ".." || !disk.is_dir("")) return -1;

    identity.hctl = scsi_address(disk);
    identity.wwn = wwn_of(disk, name);
    identity.by_id = by_id_links(device);
    identity.model = disk.read("device/model");
    identity.serial = serial_of(disk);
    identity.transport = transport_of(name, identity.hctl);
    identity.rotational = flag(disk, "queue/rotational");
    identity.read_only = flag(disk, "ro");
    identity.logical_sector_size =
        nesk_utils::string_to_uint(disk.read("queue/logical_block_size"));
    identity.physical_sector_size =
        nesk_utils::string_to_uint(disk.read("queue/physical_block_size"));
    return 0;
}
