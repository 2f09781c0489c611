// Partition inspection: the partition tables of the discovered disks as parted
// lists them in its machine-readable form, and the first FAT32 partition among
// them with the tag blkid reports for it.
//
// A listing ("parted -s -m <disk> print") looks like
//   BYT;
//   /dev/sdb:1000GB:scsi:512:512:gpt:ATA VIRTUAL-DISK:;
//   1:1049kB:538MB:537MB:fat32:EFI System Partition:boot, esp;
//   2:538MB:1000GB:999GB:xfs::;
//   3:1000GB:1010GB:10.5MB::fat32:;
// The first two lines describe the units and the disk. Each further line is
// split at every ':' into its fields by position: a field parted leaves empty
// (no file system on partition 3 above, no name on partition 2) stays empty,
// so a partition's name is never read as its file-system type. The closing
// ';' stays on the last field.
#include <list>
#include <string>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "nesk_blkdev.h"
#include "nesk_utils.h"

namespace {

// Delays handed to the command runner.
const int k_parted_delay_ms = 100;
const int k_blkid_delay_ms = 50;

// Lines of a listing before the first partition line.
const size_t k_header_lines = 2;
// Number, start, end and size: a line with fewer fields is no partition line.
const size_t k_required_fields = 4;

// The field at `index`, or "" when the line has no such field.
std::string field_or_empty(const std::vector<std::string>& fields, size_t index) {
    return index < fields.size() ? fields[index] : std::string();
}

}  // namespace

std::string nesk_utils::get_partition_name(std::string disk, unsigned int number) {
    // NVMe namespaces end in a digit, so their partitions take a "p" between.
    if (disk.find("nvme") != std::string::npos) return disk + "p" + uint_to_string(number);
    return disk + uint_to_string(number);
}

int nesk_blkdevmgr::extract_partition_info(std::string& disk,
                                           std::vector<nesk_partition>& partitions) {
    static const char function[] = "nesk_blkdevmgr::extract_partition_info";
    const std::string command = "parted  -s -m " + disk + "  print 2>/dev/null";
    debug_log.logMessage(function, 0, "Partition table will be extracted for [%s] using command [%s]",
                         disk.c_str(), command.c_str());
    std::list<std::string> lines;
    const int status = nesk_utils::popen(command, lines, k_parted_delay_ms);
    if (status != 0) {
        debug_log.logMessage(function, 0, "Failed to extract output of command [%s]",
                             command.c_str());
        return status;
    }

    size_t line_number = 0;
    for (const std::string& line : lines) {
        if (line_number++ < k_header_lines) continue;
        std::vector<std::string> fields;
        boost::algorithm::split(fields, line, boost::algorithm::is_any_of(":"));
        if (fields.size() < k_required_fields) continue;
        // Free space, or the whole disk when it holds a file system but no
        // partition table.
        if (fields[1] == "0.00B") continue;
        nesk_partition partition;
        partition.number = nesk_utils::string_to_uint(fields[0]);
        partition.start = fields[1];
        partition.end = fields[2];
        partition.size = fields[3];
        partition.fs_type = field_or_empty(fields, 4);
        partition.name = field_or_empty(fields, 5);
        partition.flags = field_or_empty(fields, 6);
        partitions.push_back(std::move(partition));
    }
    return 0;
}

std::string nesk_blkdevmgr::extract_label(std::string& partition) {
    static const char function[] = "blkdevmgr::extractlabel";
    // blkid prints "<device>: NAME="value" NAME="value" ...": the second word
    // is the first tag, whose value is cut out after its '='.
    const std::string command =
        "blkid " + partition + " | awk '{print $2}' | cut -d '=' -f2 | tr -d '\"'";
    debug_log.logMessage(function, 0, "UUID will be extracted using command [%s]",
                         command.c_str());
    std::list<std::string> lines;
    // The status is that of the last stage, so a blkid that finds nothing
    // gives an empty answer, not a failure.
    if (nesk_utils::popen(command, lines, k_blkid_delay_ms) != 0) {
        debug_log.logMessage(function, 0, "Execution of [%s] failed", command.c_str());
        return std::string();
    }
    return lines.empty() ? std::string() : lines.front();
}

int nesk_blkdevmgr::get_vfat_partition(std::string& partition, std::string& tag) {
    static const char function[] = "nesk_blkdevmgr::get_vfat_partition";
    for (auto& entry : blkdev_map) {
        std::string disk = entry.second.get_name();
        std::vector<nesk_partition> partitions;
        if (extract_partition_info(disk, partitions) != 0) {
            debug_log.logMessage(function, 0, "Failed to extract partition information for [%s]",
                                 disk.c_str());
            continue;
        }
        for (const nesk_partition& found : partitions) {
            const int number = static_cast<int>(found.number);
            debug_log.logMessage(function, 0, "Found a partition [%d] with [%s] file system",
                                 number, found.fs_type.c_str());
            if (found.fs_type != "fat32") continue;
            debug_log.logMessage(function, 0, "Found a fat32 file system on [%s:%d]", disk.c_str(),
                                 number);
            std::string path = nesk_utils::get_partition_name(disk, found.number);
            partition = path;
            tag = extract_label(path);
            return 0;
        }
    }
    return -1;
}
