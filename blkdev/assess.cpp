// The assessment: every disk discovery saw, whether it is new and why not,
// what to check before wiping it, and how to tell it from the others. It is
// the selection of new disks with its reasons kept: the same enumerations and
// the same probe, each run once, plus the read-only flag, the cautions and the
// identity, so that every caller gets one explanation.
#include <set>
#include <string>
#include <vector>

#include "nesk_blkdev.h"

namespace {

const char k_function[] = "nesk_blkdevmgr::assess_disks";

// The reasons a disk is not new, in the order they are given.
const char* const k_reason_order[] = {"lvm-pv",    "raid-member",  "mounted",    "stamped",
                                      "busy",      "unresponsive", "unverified", "unknown-size",
                                      "read-only", "too-small",    "caution"};

// The reason an in-use enumeration gives a disk it found; "" for another kind.
std::string in_use_reason(const std::string& kind) {
    if (kind == "lvm") return "lvm-pv";
    if (kind == "raid") return "raid-member";
    if (kind == "mount") return "mounted";
    return "";
}

// `found` in the documented order; reasons outside it last.
std::vector<std::string> in_order(std::set<std::string> found) {
    std::vector<std::string> ordered;
    for (const char* reason : k_reason_order)
        if (found.erase(reason) != 0) ordered.push_back(reason);
    ordered.insert(ordered.end(), found.begin(), found.end());
    return ordered;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

// A disk's cautions. A disk that cannot be read is "unreadable", one that
// does not answer in time "unresponsive": nothing is known of what it holds,
// so it must not look clean.
void read_cautions(nesk_disk_assessment& disk, unsigned int timeout_ms) {
    const int read = get_disk_cautions(disk.device, disk.cautions, timeout_ms);
    if (read == -2)
        disk.cautions.push_back("unresponsive");
    else if (read != 0)
        disk.cautions.push_back("unreadable");
}

}  // namespace

int nesk_blkdevmgr::assess_disks(const nesk_assess_options& options, nesk_assessment& result) {
    result = nesk_assessment();
    enumerate_blkdevs(options.nvme);
    result.failed_enums = failed_enums;
    result.timed_out_enums = timed_out_enums;

    for (const std::string& device : options.devices) {
        if (blkdev_map.count(device) != 0 || skipped_devs.count(device) != 0) continue;
        debug_log.logMessage(k_function, -1, "No disk %s was discovered", device.c_str());
        result.unknown_devices.push_back(device);
    }
    if (!result.unknown_devices.empty()) return -2;

    // A disk discovery passed over and later recorded counts as recorded.
    std::set<std::string> devices;
    for (const auto& entry : blkdev_map) devices.insert(entry.first);
    for (const auto& entry : skipped_devs) devices.insert(entry.first);
    for (const std::string& device : devices) {
        if (!options.devices.empty() && options.devices.count(device) == 0) continue;
        if (stop_request != nullptr && *stop_request != 0) {
            debug_log.logMessage(k_function, 0, "Stopped on request before assessing every disk");
            return -1;
        }
        nesk_disk_assessment disk;
        disk.device = device;
        const auto record = blkdev_map.find(device);
        if (record == blkdev_map.end()) {
            disk.state = "skipped";
            disk.reasons.push_back(skipped_devs.at(device));
            disk.identified = get_disk_identity(device, disk.identity) == 0;
            if (!options.cautions_of_new_only) read_cautions(disk, timeout_ms);
        } else {
            disk.recorded = true;
            disk.blocks = record->second.get_blocks();
            disk.block_size = record->second.get_blksize();
            disk.vendor = record->second.get_vendor();
            disk.model = record->second.get_product();
            disk.serial = record->second.get_serial();

            std::set<std::string> found;
            const auto kinds = used_kinds.find(device);
            if (kinds != used_kinds.end())
                for (const std::string& kind : kinds->second) found.insert(in_use_reason(kind));
            found.erase("");
            if (unsized_devs.count(device) != 0) found.insert("unknown-size");
            // The probe answers these two without looking at the disk; any
            // other disk is probed, as the selection of new disks does.
            if (found.empty() && is_active_bdev(device)) found.insert(active_reasons[device]);
            disk.identified = get_disk_identity(device, disk.identity) == 0;
            if (disk.identity.read_only) found.insert("read-only");
            if (disk.size_bytes() < options.min_size) found.insert("too-small");
            if (!options.cautions_of_new_only || found.empty()) read_cautions(disk, timeout_ms);
            if (options.strict && !disk.cautions.empty()) found.insert("caution");
            disk.reasons = in_order(found);
            disk.state = disk.reasons.empty() ? "new" : "not-new";
        }
        debug_log.logMessage(k_function, 0, "Disk %s: %s%s%s%s", device.c_str(), disk.state.c_str(),
                             disk.reasons.empty() ? "" : " (", joined(disk.reasons).c_str(),
                             disk.reasons.empty() ? "" : ")");
        result.disks.push_back(std::move(disk));
    }
    return 0;
}
