// nesk-disks: which disks of this node are new and may be given to storage.
//
// Default: the new disks, smallest first, as the provisioning software sees
// them (enumerate_blkdevs, then get_new_disks). --all lists every discovered
// disk with the reasons it is not new, and the disks discovery skipped; each
// reason comes from the library's own operations, one manager per kind of
// use, so that the report says what the library decided and not what a
// second implementation would. Every disk listed carries its cautions
// (get_disk_cautions): what to check before wiping it; --strict counts any
// caution as a reason not to call a disk new.
//
// The tool works in a private mount namespace of its own: its probe mounts
// are seen by no other process, and the kernel releases them when the tool
// ends, however it ends.
//
// Exit codes: 0 complete report; 1 cannot run (not root, unexpected error,
// output that cannot be written); 2 bad arguments; 3 report printed but an
// in-use enumeration failed or ran out of time, so a disk reported new may be
// in use; 4 a probe mount was left (an unmount failed); 128 + n stopped by
// signal n (SIGINT, SIGTERM, SIGHUP): after the probe under way has finished,
// or at once when it takes more than 5 s or a second signal comes.
#include <getopt.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ZavMntParser.h"
#include "disks_format.h"
#include "kernel_paths.h"
#include "nesk_blkdev.h"
#include "nesk_debug.h"
#include "nesk_version.h"

namespace {

using nesk_disks::cell_width;
using nesk_disks::parse_size;
using nesk_disks::table_cell;

const char k_program[] = "nesk-disks";

enum exit_code {
    exit_ok = 0,
    exit_failure = 1,
    exit_usage = 2,
    exit_incomplete = 3,
    exit_mounts_left = 4,
    exit_signal_base = 128,
};

const char k_usage[] =
    "Usage: nesk-disks [-a|--all] [-j|--json] [--strict] [--no-nvme] [-m|--min-size SIZE]\n"
    "                  [-t|--timeout SECONDS]\n"
    "       nesk-disks -h|--help | -V|--version\n";

const char k_help[] =
    "Lists the new disks of this node, smallest first: local SCSI and NVMe disks\n"
    "that hold no LVM physical volume, are no software-RAID member, back no mounted\n"
    "file system and carry no appliance stamp. SAN-attached and removable disks are\n"
    "never new, and so is a disk that cannot be shown to be free: one that does not\n"
    "answer, cannot be read, has no readable size, or whose XFS file system does\n"
    "not mount or has a log still to recover. A disk whose first bytes are an\n"
    "XFS superblock is mounted read-only, without log recovery, on a scratch\n"
    "directory /tmp/hamntXXXXXX/mnt to look for the stamp, and unmounted again;\n"
    "nothing is written to any disk. The probe mounts live in a private mount\n"
    "namespace of this process. Must run as root.\n"
    "\n"
    "Each disk listed shows its cautions, what to check before wiping it (read\n"
    "without writing to the disk): partition-table:TYPE, signature:TYPE (a file\n"
    "system, RAID, LVM, swap or crypto signature on the whole disk), holder:NAME\n"
    "(a device built on it, such as dm-0), swap (an active swap area), unreadable\n"
    "(the disk could not be read to look), unresponsive (it did not answer within\n"
    "the timeout).\n"
    "\n"
    "Options:\n"
    "  -a, --all            list every disk discovery saw with its state (new,\n"
    "                       not-new, skipped) and reasons: lvm-pv, raid-member,\n"
    "                       mounted, stamped, busy, unresponsive, unverified,\n"
    "                       unknown-size, too-small, caution; removable, san\n"
    "  -j, --json           print a JSON document instead of a table\n"
    "      --strict         a disk with any caution is not new\n"
    "      --no-nvme        do not look at NVMe drives\n"
    "  -m, --min-size SIZE  leave out disks smaller than SIZE bytes; SIZE may end\n"
    "                       in K, M, G, T or P (or KiB ... PiB: powers of 1024) or\n"
    "                       KB ... PB (powers of 1000) and may have a decimal\n"
    "                       fraction: 500G, 1.5T, 960GB\n"
    "  -t, --timeout SECONDS  longest wait for each command and disk read\n"
    "                       (pvscan, mdadm, mount, umount, the probe's reads);\n"
    "                       a disk that does not answer in time is not new, an\n"
    "                       enumeration that does not is incomplete; 0 waits for\n"
    "                       as long as it takes (default 60)\n"
    "  -h, --help           print this help and exit\n"
    "  -V, --version        print the version and exit\n"
    "\n"
    "Exit status: 0 complete report; 1 cannot run (not root, unexpected error,\n"
    "output that cannot be written); 2 bad arguments; 3 the report was printed but\n"
    "an LVM, mount or software-RAID enumeration failed or ran out of time\n"
    "(standard error says which), so a disk shown as new may be in use; 4 a disk\n"
    "is still mounted on a probe directory (standard error names it); 128 + n\n"
    "stopped by signal n (SIGINT, SIGTERM or SIGHUP), after the probe under way\n"
    "has finished, or at once when that takes more than 5 s or a second signal\n"
    "comes.\n"
    "\n"
    "The library's log is $NESK_LOG_DIR/NESKUtils.log (default /var/log/nesk).\n"
    "See nesk-disks(1) for the JSON document.\n";

// Layout of the JSON document: changes only when a key changes meaning or
// goes away.
const int k_json_format = 1;

// Default limit for each command and disk read, in seconds.
const unsigned int k_default_timeout_s = 60;
// Largest limit: its milliseconds must fit the manager's 32-bit limit.
const unsigned int k_max_timeout_s = 4000000;
// How long the first signal waits for the probe under way.
const unsigned int k_signal_grace_s = 5;

struct options {
    unsigned long long min_size = 0;
    unsigned int timeout_s = k_default_timeout_s;
    bool nvme = true;
    bool all = false;
    bool json = false;
    bool strict = false;
};

// Reasons a disk is not new, in the order they are reported. The probe's
// reasons are its own names (nesk_blkdevmgr::active_reasons).
const char* const k_reasons[] = {"lvm-pv",    "raid-member",  "mounted",    "stamped",
                                 "busy",      "unresponsive", "unverified", "unknown-size",
                                 "too-small", "caution"};
enum reason_bit : unsigned {
    lvm_pv = 1u << 0,
    raid_member = 1u << 1,
    mounted = 1u << 2,
    too_small = 1u << 8,
    caution = 1u << 9,
};

// The bit of one of the probe's reasons; 0 for "in-use", which the in-use
// sets already tell apart.
unsigned probe_reason_bit(const std::string& reason) {
    for (unsigned i = 3; i < 8; ++i)
        if (reason == k_reasons[i]) return 1u << i;
    return 0;
}

struct disk_row {
    std::string device;
    unsigned long long blocks = 0;
    unsigned int block_size = 0;
    std::string vendor;
    std::string model;
    std::string serial;
    unsigned reasons = 0;
    // Why discovery skipped the disk ("removable", "san"); empty for a disk it
    // recorded. Of a skipped disk the library knows nothing else.
    std::string skipped;
    std::vector<std::string> cautions;

    unsigned long long bytes() const {
        return blocks * static_cast<unsigned long long>(block_size);
    }
    const char* state() const {
        return !skipped.empty() ? "skipped" : reasons == 0 ? "new" : "not-new";
    }
};

struct report {
    std::vector<disk_row> disks;
    // The in-use enumerations that failed: "lvm", "mount", "raid"; those of
    // them that ran out of time.
    std::vector<std::string> incomplete;
    std::vector<std::string> timed_out;
    // Disks the default report leaves out because they could not be shown
    // to be free (their probe's reason), for a note on standard error.
    std::vector<std::pair<std::string, std::string>> doubtful;
    int signal = 0;  // the signal that stopped the probing; 0 when none did
};

// ---- signals ----

// The first SIGINT, SIGTERM or SIGHUP asks the tool to stop once the probe
// under way has finished (a probe always unmounts what it mounted); if that
// takes longer than k_signal_grace_s, or a second signal comes, the tool stops
// at once: its probe mounts go with its mount namespace. A signal the caller
// set to be ignored, as nohup does with SIGHUP, or keeps blocked stays so.
// Commands that the library runs start with an empty signal mask and default
// dispositions, so they are not affected.
volatile std::sig_atomic_t g_stop_signal = 0;

const char* signal_name(int sig);

// Says on standard error that signal `sig` stopped the tool before the probe
// under way had finished, and ends the process. Async-signal-safe.
[[noreturn]] void stop_now(int sig) {
    const char* name = signal_name(sig);
    const char* parts[] = {k_program, ": stopped by ", name,
                           " before the probe under way had finished\n"};
    for (const char* part : parts) {
        size_t length = 0;
        while (part[length] != '\0') ++length;
        ssize_t ignored = write(STDERR_FILENO, part, length);
        (void)ignored;
    }
    _exit(128 + sig);
}

void on_stop_signal(int sig) {
    if (g_stop_signal == 0) {
        g_stop_signal = sig;
        alarm(k_signal_grace_s);
        return;
    }
    stop_now(g_stop_signal);
}

void on_grace_over(int) { stop_now(g_stop_signal); }

void install_signal_handlers() {
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_grace_over;
    sigaction(SIGALRM, &action, nullptr);
    action.sa_handler = on_stop_signal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current;
        if (sigismember(&blocked, sig) == 1 ||
            (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN))
            continue;
        sigaction(sig, &action, nullptr);
    }
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// ---- arguments ----

// What the command line asks for.
enum class request { report, help, version, bad };

request usage_error(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n%s", k_program, message.c_str(), k_usage);
    return request::bad;
}

// A whole number of seconds, digits only, at most k_max_timeout_s.
bool parse_seconds(const char* text, unsigned int& seconds) {
    unsigned long long value = 0;
    if (*text == '\0') return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return false;
        value = value * 10 + static_cast<unsigned>(*c - '0');
        if (value > k_max_timeout_s) return false;
    }
    seconds = static_cast<unsigned int>(value);
    return true;
}

request parse_arguments(int argc, char** argv, options& parsed) {
    enum { opt_strict = 256, opt_no_nvme };
    static const struct option long_options[] = {
        {"all", no_argument, nullptr, 'a'},
        {"json", no_argument, nullptr, 'j'},
        {"strict", no_argument, nullptr, opt_strict},
        {"no-nvme", no_argument, nullptr, opt_no_nvme},
        {"min-size", required_argument, nullptr, 'm'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // Errors are worded here: getopt would name the program by its path.
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":ajm:t:hV", long_options, nullptr)) != -1) {
        switch (c) {
            case 'a':
                parsed.all = true;
                break;
            case 'j':
                parsed.json = true;
                break;
            case opt_strict:
                parsed.strict = true;
                break;
            case opt_no_nvme:
                parsed.nvme = false;
                break;
            case 'm':
                if (!parse_size(optarg, parsed.min_size))
                    return usage_error(std::string("bad SIZE '") + optarg +
                                       "': a number of bytes, optionally with a fraction and a "
                                       "unit K, M, G, T, P (powers of 1024) or KB ... PB "
                                       "(powers of 1000)");
                break;
            case 't':
                if (!parse_seconds(optarg, parsed.timeout_s))
                    return usage_error(std::string("bad SECONDS '") + optarg +
                                       "': a whole number of seconds from 0 (no limit) to " +
                                       std::to_string(k_max_timeout_s));
                break;
            case 'h':
                return request::help;
            case 'V':
                return request::version;
            case ':':
                return usage_error(optopt == 't' ? "--timeout needs SECONDS"
                                                 : "--min-size needs a SIZE");
            default:
                // optopt is 0 for an unknown long option and the option's own
                // value for a long one given a value it does not take.
                if (optopt == 0)
                    return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
                if (optopt >= opt_strict || std::strchr("ajhV", optopt) != nullptr) {
                    const std::string given = argv[optind - 1];
                    return usage_error("option '" + given.substr(0, given.find('=')) +
                                       "' takes no value");
                }
                return usage_error(std::string("unknown option '-") + static_cast<char>(optopt) +
                                   "'");
        }
    }
    if (optind < argc)
        return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    return request::report;
}

// ---- gathering ----

disk_row make_row(const nesk_blkdev& record) {
    disk_row row;
    row.device = record.get_name();
    row.blocks = record.get_blocks();
    row.block_size = record.get_blksize();
    row.vendor = record.get_vendor();
    row.model = record.get_product();
    row.serial = record.get_serial();
    return row;
}

// The disk's cautions, read within the timeout. A disk that cannot be read
// gets "unreadable", one that does not answer in time "unresponsive":
// nothing is known about what it holds, so it must not look clean.
void read_cautions(disk_row& row, const options& opts) {
    const int result = get_disk_cautions(row.device, row.cautions, opts.timeout_s * 1000u);
    if (result == -2)
        row.cautions.push_back("unresponsive");
    else if (result != 0)
        row.cautions.push_back("unreadable");
}

// A manager with the tool's limits: each command and disk read waits at most
// the timeout; the probing stops between two disks on the first signal.
void set_limits(nesk_blkdevmgr& manager, const options& opts) {
    manager.timeout_ms = opts.timeout_s * 1000u;
    manager.stop_request = &g_stop_signal;
}

// The in-use enumerations that failed and those that ran out of time.
void note_failures(report& result, const nesk_blkdevmgr& manager) {
    result.incomplete.insert(result.incomplete.end(), manager.failed_enums.begin(),
                             manager.failed_enums.end());
    result.timed_out.insert(result.timed_out.end(), manager.timed_out_enums.begin(),
                            manager.timed_out_enums.end());
}

// The main road: the new disks in the order the library returns them; with
// --strict, those with a caution are left out.
report new_disks(const options& opts) {
    report result;
    nesk_blkdevmgr manager;
    set_limits(manager, opts);
    manager.enumerate_blkdevs(opts.nvme);
    note_failures(result, manager);
    std::list<nesk_blkdev_basic_info> disks;
    // get_new_disks probes every disk in one call.
    if (manager.get_new_disks(opts.min_size, disks) != 0 || g_stop_signal != 0) {
        result.signal = g_stop_signal;
        return result;
    }
    for (const auto& entry : manager.active_reasons)
        if (entry.second == "unresponsive" || entry.second == "unverified")
            result.doubtful.push_back(entry);
    for (const nesk_blkdev_basic_info& disk : disks) {
        nesk_blkdev record;
        if (manager.get_blkdev(disk.name, record) != 0) continue;
        disk_row row = make_row(record);
        read_cautions(row, opts);
        if (opts.strict && !row.cautions.empty()) continue;
        result.disks.push_back(row);
    }
    return result;
}

// Every discovered disk and every disk discovery skipped, in path order, with
// its reasons. Each in-use enumeration runs once, on a manager of its own, so
// its used set names the disks of that kind; the report is complete when all
// three succeed, the rule enumerate_blkdevs applies. Only disks in none of the
// three sets are probed (once each), on the discovery manager, whose used set
// is empty: a disk in use is never mounted, as in the library's own
// selection. A signal stops the probing between two disks.
report every_disk(const options& opts) {
    report result;
    nesk_blkdevmgr discovered;
    set_limits(discovered, opts);
    discovered.enumerate_scsi_blkdevs();
    if (opts.nvme) discovered.enumerate_nvme();

    nesk_blkdevmgr pvs;
    nesk_blkdevmgr mounts;
    nesk_blkdevmgr raid;
    for (nesk_blkdevmgr* manager : {&pvs, &mounts, &raid}) set_limits(*manager, opts);
    if (pvs.enumerate_pvs() != 0) result.incomplete.push_back("lvm");
    if (mounts.enumerate_bdevs() != 0) result.incomplete.push_back("mount");
    if (raid.enumerate_md_tgts() != 0) result.incomplete.push_back("raid");
    for (const nesk_blkdevmgr* manager : {&pvs, &raid})
        result.timed_out.insert(result.timed_out.end(), manager->timed_out_enums.begin(),
                                manager->timed_out_enums.end());

    for (const auto& entry : discovered.blkdev_map) {
        disk_row row = make_row(entry.second);
        if (pvs.used_devs.count(row.device) != 0) row.reasons |= lvm_pv;
        if (raid.used_devs.count(row.device) != 0) row.reasons |= raid_member;
        if (mounts.used_devs.count(row.device) != 0) row.reasons |= mounted;
        if (discovered.unsized_devs.count(row.device) != 0)
            row.reasons |= probe_reason_bit("unknown-size");
        if (row.reasons == 0) {
            if ((result.signal = g_stop_signal) != 0) return result;
            if (discovered.is_active_bdev(row.device))
                row.reasons |= probe_reason_bit(discovered.active_reasons[row.device]);
        }
        if (row.bytes() < opts.min_size) row.reasons |= too_small;
        read_cautions(row, opts);
        if (opts.strict && !row.cautions.empty()) row.reasons |= caution;
        result.disks.push_back(row);
    }
    for (const auto& entry : discovered.skipped_devs) {
        if (discovered.blkdev_map.count(entry.first) != 0) continue;
        disk_row row;
        row.device = entry.first;
        row.skipped = entry.second;
        read_cautions(row, opts);
        result.disks.push_back(row);
    }
    std::sort(result.disks.begin(), result.disks.end(),
              [](const disk_row& a, const disk_row& b) { return a.device < b.device; });
    result.signal = g_stop_signal;
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

std::vector<std::string> reason_list(const disk_row& disk) {
    if (!disk.skipped.empty()) return {disk.skipped};
    std::vector<std::string> reasons;
    for (size_t i = 0; i < sizeof k_reasons / sizeof k_reasons[0]; ++i)
        if ((disk.reasons & (1u << i)) != 0) reasons.push_back(k_reasons[i]);
    return reasons;
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

void print_table(const report& result, bool all) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"DEVICE", "SIZE", "BYTES", "VENDOR", "MODEL", "SERIAL"});
    if (all) {
        rows.front().push_back("STATE");
        rows.front().push_back("REASONS");
    }
    rows.front().push_back("CAUTIONS");
    // Texts read from the disks may hold anything: escaped, a row stays one line.
    auto cell = [](const std::string& s) { return s.empty() ? std::string("-") : table_cell(s); };
    for (const disk_row& disk : result.disks) {
        const bool measured = disk.skipped.empty();
        rows.push_back({cell(disk.device), measured ? human_size(disk.bytes()) : "-",
                        measured ? std::to_string(disk.bytes()) : "-", cell(disk.vendor),
                        cell(disk.model), cell(disk.serial)});
        if (all) {
            rows.back().push_back(disk.state());
            rows.back().push_back(cell(joined(reason_list(disk), ",")));
        }
        rows.back().push_back(cell(joined(disk.cautions, ",")));
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], cell_width(row[c]));
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - cell_width(row[c]) + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

// The document described in nesk-disks(1). Of a skipped disk the library
// records nothing but its path, so its size and identity are null.
void print_json(const report& result, const options& opts) {
    using nlohmann::ordered_json;
    ordered_json doc;
    doc["format"] = k_json_format;
    doc["version"] = nesk_version();
    doc["complete"] = result.incomplete.empty();
    doc["incomplete"] = result.incomplete;
    doc["timed_out"] = result.timed_out;
    doc["timeout_seconds"] = opts.timeout_s;
    doc["all"] = opts.all;
    doc["strict"] = opts.strict;
    doc["nvme"] = opts.nvme;
    doc["min_size_bytes"] = opts.min_size;
    doc["disks"] = ordered_json::array();
    for (const disk_row& disk : result.disks) {
        const bool measured = disk.skipped.empty();
        ordered_json entry;
        entry["device"] = disk.device;
        entry["size_bytes"] = measured ? ordered_json(disk.bytes()) : ordered_json();
        entry["blocks"] = measured ? ordered_json(disk.blocks) : ordered_json();
        entry["block_size"] = measured ? ordered_json(disk.block_size) : ordered_json();
        entry["vendor"] = measured ? ordered_json(disk.vendor) : ordered_json();
        entry["model"] = measured ? ordered_json(disk.model) : ordered_json();
        entry["serial"] = measured ? ordered_json(disk.serial) : ordered_json();
        entry["state"] = disk.state();
        entry["reasons"] = reason_list(disk);
        entry["cautions"] = disk.cautions;
        doc["disks"].push_back(std::move(entry));
    }
    // Texts read from a disk may hold bytes that are not UTF-8: each becomes
    // U+FFFD. Control characters are escaped as JSON requires.
    const std::string text = doc.dump(2, ' ', false, ordered_json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

// Flushes standard output: true, or false after saying on standard error
// that the `what` could not be written.
bool output_written(const char* what) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "%s: cannot write the %s: %s\n", k_program, what,
                 std::strerror(errno != 0 ? errno : EIO));
    return false;
}

std::string log_file() {
    const char* dir = std::getenv("NESK_LOG_DIR");
    return std::string(dir && *dir ? dir : "/var/log/nesk") + "/" + nesk_debug::sLogFileName +
           ".log";
}

// The stop message of a signal that came while the tool was probing or
// printing; the exit code for it.
int stopped(int sig) {
    alarm(0);  // the probe under way has finished in time
    std::fprintf(stderr, "%s: stopped by %s after the probe under way had finished\n", k_program,
                 signal_name(sig));
    return exit_signal_base + sig;
}

// The report, or what stopped it; the exit code.
int run_report(const options& opts) {
    try {
        report result = opts.all ? every_disk(opts) : new_disks(opts);
        if (result.signal != 0) return stopped(result.signal);
        if (opts.json)
            print_json(result, opts);
        else
            print_table(result, opts.all);
        if (!output_written("report")) return exit_failure;
        for (const auto& disk : result.doubtful)
            std::fprintf(stderr,
                         "%s: %s is not listed: it could not be shown to be free (%s); see "
                         "--all and %s\n",
                         k_program, table_cell(disk.first).c_str(), disk.second.c_str(),
                         log_file().c_str());
        if (g_stop_signal != 0) return stopped(g_stop_signal);
        if (!result.incomplete.empty()) {
            std::string which;
            for (const std::string& kind : result.incomplete) {
                const char* what = kind == "lvm"     ? "LVM physical volumes"
                                   : kind == "mount" ? "mounted file systems"
                                                     : "software-RAID members";
                const bool late = std::find(result.timed_out.begin(), result.timed_out.end(),
                                            kind) != result.timed_out.end();
                which += (which.empty() ? "" : ", ") + kind + " (" + what +
                         (late ? ", no answer within " + std::to_string(opts.timeout_s) + " s"
                               : std::string()) +
                         ")";
            }
            std::fprintf(stderr,
                         "%s: incomplete: could not enumerate %s, so a disk shown as new may be "
                         "in use; see %s\n",
                         k_program, which.c_str(), log_file().c_str());
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

// The probe unmounts every disk it mounts on a "/tmp/hamnt" + six characters
// + "/mnt" directory; such a mount still in this process's mount table (the
// one the library reads) means an unmount failed. Each is named on standard
// error; false when there is none.
bool report_probe_mounts_left() {
    const std::string table = nesk::kernel::mount_table;
    const std::string prefix = "/tmp/hamnt";
    const std::string leaf = "/mnt";
    std::list<ZavMntInfo> entries;
    if (ZavMntParser(table).ParseMountPointInfo(entries) != 0) {
        std::fprintf(stderr, "%s: cannot read %s to check that no probe mount is left\n", k_program,
                     table.c_str());
        return false;
    }
    bool left = false;
    for (const ZavMntInfo& entry : entries) {
        const std::string point = entry.GetMountPoint();
        if (point.size() != prefix.size() + 6 + leaf.size() ||
            point.compare(0, prefix.size(), prefix) != 0 ||
            point.compare(prefix.size() + 6, leaf.size(), leaf) != 0 ||
            point.find('/', prefix.size()) != prefix.size() + 6)
            continue;
        std::fprintf(stderr,
                     "%s: probe mount left: %s is still mounted on %s (its unmount failed; "
                     "see %s)\n",
                     k_program, table_cell(entry.GetBackingDevice()).c_str(),
                     table_cell(point).c_str(), log_file().c_str());
        left = true;
    }
    return left;
}

// Moves the tool into a mount namespace of its own whose mounts propagate
// nowhere: "" on success, otherwise why not.
std::string enter_private_mount_namespace() {
    if (unshare(CLONE_NEWNS) != 0)
        return std::string("cannot make a private mount namespace: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make the mounts of its namespace private: ") +
               std::strerror(errno);
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    options opts;
    switch (parse_arguments(argc, argv, opts)) {
        case request::help:
            std::printf("%s\n%s", k_usage, k_help);
            return output_written("help") ? exit_ok : exit_failure;
        case request::version:
            std::printf("%s %s\n", k_program, nesk_version());
            return output_written("version") ? exit_ok : exit_failure;
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
    const std::string why = enter_private_mount_namespace();
    if (!why.empty()) {
        std::fprintf(stderr, "%s: %s\n", k_program, why.c_str());
        return exit_failure;
    }
    install_signal_handlers();
    int code = run_report(opts);
    if (report_probe_mounts_left() && (code == exit_ok || code == exit_incomplete))
        code = exit_mounts_left;
    return code;
}
