// nesk-disks: which disks of this node are new and may be given to storage.
//
// Default: the new disks, smallest first, as the provisioning software sees
// them (enumerate_blkdevs, then get_new_disks). --all lists every discovered
// disk with the reasons it is not new; each reason comes from the library's
// own operations, one manager per kind of use, so that the report says what
// the library decided and not what a second implementation would.
//
// Exit codes: 0 complete report; 1 cannot run (not root, unexpected error);
// 2 bad arguments; 3 report printed but an in-use enumeration failed, so a disk
// reported new may be in use.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <set>
#include <string>
#include <vector>

#include "disks_format.h"
#include "nesk_blkdev.h"
#include "nesk_debug.h"

#ifndef NESK_VERSION
#define NESK_VERSION "unknown"
#endif

namespace {

using nesk_disks::json_string;
using nesk_disks::parse_size;

const char k_program[] = "nesk-disks";

enum exit_code { exit_ok = 0, exit_failure = 1, exit_usage = 2, exit_incomplete = 3 };

const char k_usage[] =
    "Usage: nesk-disks [--min-size SIZE] [--no-nvme] [--all] [--json]\n"
    "       nesk-disks --help | --version\n";

const char k_help[] =
    "Lists the new disks of this node, smallest first: local SCSI and NVMe disks\n"
    "that hold no LVM physical volume, are no software-RAID member, back no mounted\n"
    "file system and carry no appliance stamp. SAN-attached and removable disks are\n"
    "never listed. Probing a disk for the stamp mounts it read-write as XFS on a\n"
    "scratch directory /tmp/hamntXXXXXX and unmounts it again. Must run as root.\n"
    "\n"
    "Options:\n"
    "  --min-size SIZE  leave out disks smaller than SIZE bytes; SIZE may end in\n"
    "                   K, M, G or T (powers of 1024), e.g. 500G\n"
    "  --no-nvme        do not look at NVMe drives\n"
    "  --all            list every discovered disk with its state and the reasons\n"
    "                   it is not new: lvm-pv, raid-member, mounted, stamped,\n"
    "                   too-small\n"
    "  --json           print a JSON document instead of a table\n"
    "  --help           print this help and exit\n"
    "  --version        print the version and exit\n"
    "\n"
    "Exit status: 0 complete report; 1 cannot run (not root, unexpected error);\n"
    "2 bad arguments; 3 the report was printed but an LVM, mount or software-RAID\n"
    "enumeration failed, so a disk shown as new may be in use.\n"
    "\n"
    "The library's log is $NESK_LOG_DIR/NESKUtils.log (default /var/log/nesk).\n";

struct options {
    unsigned long long min_size = 0;
    bool nvme = true;
    bool all = false;
    bool json = false;
};

// Reasons a disk is not new, in the order they are reported.
const char* const k_reasons[] = {"lvm-pv", "raid-member", "mounted", "stamped", "too-small"};
enum reason_bit : unsigned {
    lvm_pv = 1u << 0,
    raid_member = 1u << 1,
    mounted = 1u << 2,
    stamped = 1u << 3,
    too_small = 1u << 4,
};

struct disk_row {
    std::string device;
    unsigned long long blocks = 0;
    unsigned int block_size = 0;
    std::string vendor;
    std::string model;
    std::string serial;
    unsigned reasons = 0;

    unsigned long long bytes() const {
        return blocks * static_cast<unsigned long long>(block_size);
    }
};

struct report {
    std::vector<disk_row> disks;
    bool complete = true;
};

// ---- arguments ----

// What the command line asks for: a report, or an answer already printed.
enum class request { report, done, bad };

request usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%s", k_program, message.c_str(), k_usage);
    return request::bad;
}

request parse_arguments(int argc, char** argv, options& parsed) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string size_text;
        if (arg == "--help") {
            std::printf("%s\n%s", k_usage, k_help);
            return request::done;
        } else if (arg == "--version") {
            std::printf("%s %s\n", k_program, NESK_VERSION);
            return request::done;
        } else if (arg == "--no-nvme") {
            parsed.nvme = false;
            continue;
        } else if (arg == "--all") {
            parsed.all = true;
            continue;
        } else if (arg == "--json") {
            parsed.json = true;
            continue;
        } else if (arg == "--min-size") {
            if (i + 1 >= argc) return usage_error("--min-size needs a SIZE");
            size_text = argv[++i];
        } else if (arg.compare(0, 11, "--min-size=") == 0) {
            size_text = arg.substr(11);
        } else {
            return usage_error("unknown argument '" + arg + "'");
        }
        if (!parse_size(size_text, parsed.min_size))
            return usage_error("bad SIZE '" + size_text +
                               "': a whole number of bytes, optionally followed by K, M, G or T");
    }
    return request::report;
}

// ---- gathering ----

disk_row make_row(nesk_blkdev record) {
    disk_row row;
    row.device = record.get_name();
    row.blocks = record.get_blocks();
    row.block_size = record.get_blksize();
    row.vendor = record.get_vendor();
    row.model = record.get_product();
    row.serial = record.get_serial();
    return row;
}

// The main road: the new disks in the order the library returns them.
report new_disks(const options& opts) {
    report result;
    nesk_blkdevmgr manager;
    manager.enumerate_blkdevs(opts.nvme);
    result.complete = manager.is_enum_valid();
    std::list<nesk_blkdev_basic_info> disks;
    manager.get_new_disks(opts.min_size, disks);
    for (const nesk_blkdev_basic_info& disk : disks) {
        nesk_blkdev record;
        if (manager.get_blkdev(disk.name, record) != 0) continue;
        result.disks.push_back(make_row(record));
    }
    return result;
}

// Every discovered disk, in path order, with its reasons. Each in-use
// enumeration runs once, on a manager of its own, so its used set names the
// disks of that kind; the report is complete when all three succeed, the rule
// enumerate_blkdevs applies. Only disks in none of the three sets are probed
// for the stamp (once each), on the discovery manager, whose used set is
// empty: a disk in use is never mounted, as in the library's own selection.
report every_disk(const options& opts) {
    report result;
    nesk_blkdevmgr discovered;
    discovered.enumerate_scsi_blkdevs();
    if (opts.nvme) discovered.enumerate_nvme();

    nesk_blkdevmgr pvs;
    nesk_blkdevmgr mounts;
    nesk_blkdevmgr raid;
    result.complete = pvs.enumerate_pvs() == 0;
    result.complete = mounts.enumerate_bdevs() == 0 && result.complete;
    result.complete = raid.enumerate_md_tgts() == 0 && result.complete;

    for (const auto& entry : discovered.get_blkdev_map()) {
        disk_row row = make_row(entry.second);
        if (pvs.get_used_devs().count(row.device) != 0) row.reasons |= lvm_pv;
        if (raid.get_used_devs().count(row.device) != 0) row.reasons |= raid_member;
        if (mounts.get_used_devs().count(row.device) != 0) row.reasons |= mounted;
        if (row.reasons == 0 && discovered.is_active_bdev(row.device)) row.reasons |= stamped;
        if (row.bytes() < opts.min_size) row.reasons |= too_small;
        result.disks.push_back(row);
    }
    return result;
}

// ---- output ----

std::string human_size(unsigned long long bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string reason_list(unsigned reasons, const char* separator) {
    std::string text;
    for (size_t i = 0; i < sizeof k_reasons / sizeof k_reasons[0]; ++i) {
        if ((reasons & (1u << i)) == 0) continue;
        if (!text.empty()) text += separator;
        text += k_reasons[i];
    }
    return text;
}

void print_table(const report& result, bool all) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"DEVICE", "SIZE", "BYTES", "VENDOR", "MODEL", "SERIAL"});
    if (all) {
        rows.front().push_back("STATE");
        rows.front().push_back("REASONS");
    }
    auto or_dash = [](const std::string& s) { return s.empty() ? std::string("-") : s; };
    for (const disk_row& disk : result.disks) {
        rows.push_back({disk.device, human_size(disk.bytes()), std::to_string(disk.bytes()),
                        or_dash(disk.vendor), or_dash(disk.model), or_dash(disk.serial)});
        if (all) {
            rows.back().push_back(disk.reasons == 0 ? "new" : "not-new");
            rows.back().push_back(or_dash(reason_list(disk.reasons, ",")));
        }
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

void print_json(const report& result, const options& opts) {
    std::printf("{\n");
    std::printf("  \"format\": 1,\n");
    std::printf("  \"version\": %s,\n", json_string(NESK_VERSION).c_str());
    std::printf("  \"complete\": %s,\n", result.complete ? "true" : "false");
    std::printf("  \"all\": %s,\n", opts.all ? "true" : "false");
    std::printf("  \"nvme\": %s,\n", opts.nvme ? "true" : "false");
    std::printf("  \"min_size_bytes\": %llu,\n", opts.min_size);
    std::printf("  \"disks\": [");
    for (size_t i = 0; i < result.disks.size(); ++i) {
        const disk_row& disk = result.disks[i];
        std::string reasons;
        for (size_t r = 0; r < sizeof k_reasons / sizeof k_reasons[0]; ++r) {
            if ((disk.reasons & (1u << r)) == 0) continue;
            if (!reasons.empty()) reasons += ", ";
            reasons += json_string(k_reasons[r]);
        }
        std::printf(
            "%s\n    {\"device\": %s, \"size_bytes\": %llu, \"blocks\": %llu, "
            "\"block_size\": %u, \"vendor\": %s, \"model\": %s, \"serial\": %s, "
            "\"state\": \"%s\", \"reasons\": [%s]}",
            i == 0 ? "" : ",", json_string(disk.device).c_str(), disk.bytes(), disk.blocks,
            disk.block_size, json_string(disk.vendor).c_str(), json_string(disk.model).c_str(),
            json_string(disk.serial).c_str(), disk.reasons == 0 ? "new" : "not-new",
            reasons.c_str());
    }
    std::printf("%s]\n}\n", result.disks.empty() ? "" : "\n  ");
}

std::string log_file() {
    const char* dir = std::getenv("NESK_LOG_DIR");
    return std::string(dir && *dir ? dir : "/var/log/nesk") + "/" + nesk_debug::sLogFileName +
           ".log";
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    switch (parse_arguments(argc, argv, opts)) {
        case request::done:
            return exit_ok;
        case request::bad:
            return exit_usage;
        case request::report:
            break;
    }
    if (geteuid() != 0) {
        // Without root every mount fails and every stamped disk would look new.
        std::fprintf(stderr,
                     "%s: must run as root: probing a disk mounts it and reads its "
                     "trusted attributes\n",
                     k_program);
        return exit_failure;
    }
    try {
        report result = opts.all ? every_disk(opts) : new_disks(opts);
        if (opts.json)
            print_json(result, opts);
        else
            print_table(result, opts.all);
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "%s: cannot write the report: %s\n", k_program,
                         std::strerror(errno));
            return exit_failure;
        }
        if (!result.complete) {
            std::fprintf(stderr,
                         "%s: incomplete: an LVM, mount or software-RAID enumeration failed, so a "
                         "disk shown as new may be in use; see %s\n",
                         k_program, log_file().c_str());
            return exit_incomplete;
        }
        return exit_ok;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", k_program, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected error\n", k_program);
    }
    return exit_failure;
}
