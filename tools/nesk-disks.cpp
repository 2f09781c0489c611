// nesk-disks: which disks of this node are new and may be given to storage.
//
// The library's assessment (nesk_blkdevmgr::assess_disks) decides: for every
// disk discovery saw, whether it is new and why not, what to check before
// wiping it (its cautions) and how to tell it from the others (its
// identity). This tool only parses its options and prints what the
// assessment returns: by default the new disks, smallest first, exactly the
// disks get_new_disks returns less the read-only ones (and, with --strict,
// those with a caution); with --all every disk with its reasons. The table
// (through libsmartcols, as lsblk prints) and the JSON document come from the
// same records.
//
// The tool works in a private mount namespace of its own: its probe mounts
// are seen by no other process, and the kernel releases them when the tool
// ends, however it ends.
//
// Exit codes: 0 complete report; 1 cannot run (not root, unexpected error,
// output that cannot be written); 2 bad arguments, or a device argument that
// is no disk of this node; 3 report printed but an in-use enumeration failed
// or ran out of time, so a disk reported new may be in use; 4 a probe mount
// was left (an unmount failed); 128 + n stopped by signal n (SIGINT, SIGTERM,
// SIGHUP): after the probe under way has finished, or at once when it takes
// more than 5 s or a second signal comes.
#include <fcntl.h>
#include <getopt.h>
#include <libsmartcols/libsmartcols.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZavMntParser.h"
#include "disks_format.h"
#include "disks_metrics.h"
#include "kernel_paths.h"
#include "nesk_blkdev.h"
#include "nesk_debug.h"
#include "nesk_version.h"

namespace {

using nesk_disks::human_size;
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
    "Usage: nesk-disks [-a|--all] [-j|--json | -r|--raw | -P|--pairs | --metrics] [--strict]\n"
    "                  [--no-nvme]\n"
    "                  [-m|--min-size SIZE] [-t|--timeout SECONDS] [-o|--output LIST]\n"
    "                  [-n|--noheadings] [-b|--bytes] [DEVICE...]\n"
    "       nesk-disks -H|--list-columns | -h|--help | -V|--version\n";

const char k_help[] =
    "Lists the new disks of this node, smallest first: local SCSI and NVMe disks\n"
    "that hold no LVM physical volume, are no software-RAID member, back no mounted\n"
    "file system, carry no appliance stamp and are not read-only. SAN-attached and\n"
    "removable disks are never new, and so is a disk that cannot be shown to be\n"
    "free: one that does not answer, cannot be read, has no readable size, or whose\n"
    "XFS file system does not mount or has a log still to recover. A disk whose\n"
    "first bytes are an XFS superblock is mounted read-only, without log recovery,\n"
    "on a scratch directory /tmp/hamntXXXXXX/mnt to look for the stamp, and\n"
    "unmounted again; nothing is written to any disk. The probe mounts live in a\n"
    "private mount namespace of this process. Must run as root.\n"
    "\n"
    "DEVICE arguments (such as /dev/sdb or a /dev/disk/by-id link) restrict the\n"
    "report to those disks; only they are probed.\n"
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
    "                       unknown-size, read-only, too-small, caution;\n"
    "                       removable, san\n"
    "  -j, --json           print a JSON document instead of a table\n"
    "  -r, --raw            print the table unaligned, one blank between fields,\n"
    "                       blanks and unsafe bytes escaped as \\xNN\n"
    "  -P, --pairs          print KEY=\"value\" pairs, one disk a line\n"
    "      --metrics        print the report as Prometheus metrics, for\n"
    "                       node_exporter's textfile collector\n"
    "  -o, --output LIST    the columns to print, comma-separated; +LIST adds them\n"
    "                       to the default columns\n"
    "  -H, --list-columns   list the columns and exit\n"
    "  -n, --noheadings     print no heading line\n"
    "  -b, --bytes          print SIZE in bytes\n"
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
    "output that cannot be written); 2 bad arguments, or a DEVICE that is no disk\n"
    "of this node; 3 the report was printed but an LVM, mount or software-RAID\n"
    "enumeration failed or ran out of time (standard error says which), so a disk\n"
    "shown as new may be in use; 4 a disk is still mounted on a probe directory\n"
    "(standard error names it); 128 + n stopped by signal n (SIGINT, SIGTERM or\n"
    "SIGHUP), after the probe under way has finished, or at once when that takes\n"
    "more than 5 s or a second signal comes.\n"
    "\n"
    "The library's log is $NESK_LOG_DIR/NESKUtils.log (default /var/log/nesk).\n"
    "See nesk-disks(8) for the columns and the JSON document.\n";

// Layout of the JSON document: changes only when a key changes meaning or
// goes away.
const int k_json_format = 1;

// Default limit for each command and disk read, in seconds.
const unsigned int k_default_timeout_s = 60;
// Largest limit: its milliseconds must fit the manager's 32-bit limit.
const unsigned int k_max_timeout_s = 4000000;
// How long the first signal waits for the probe under way.
const unsigned int k_signal_grace_s = 5;

// How the report is printed.
enum class style { table, raw, pairs, json, metrics };

struct options {
    unsigned long long min_size = 0;
    unsigned int timeout_s = k_default_timeout_s;
    bool nvme = true;
    bool all = false;
    bool strict = false;
    style format = style::table;
    bool noheadings = false;
    bool bytes = false;
    // Indexes into k_columns, in the order printed.
    std::vector<size_t> columns;
    // DEVICE arguments as given.
    std::vector<std::string> devices;
};

// ---- columns ----

// One column of the table: its name (the heading and the -o name, the key
// in --pairs with "-" as "_"), width hint and libsmartcols flags, what
// --list-columns says of it, and its text for one disk ("" when unknown).
struct column_info {
    const char* name;
    double width_hint;
    int flags;
    const char* help;
    std::string (*text)(const nesk_disk_assessment& disk, const options& opts);
};

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// A number the library knows only for a disk it could identify.
std::string identity_number(const nesk_disk_assessment& disk, unsigned long long value) {
    return disk.identified ? std::to_string(value) : std::string();
}

const column_info k_columns[] = {
    {"DEVICE", 0, 0, "device path",
     [](const nesk_disk_assessment& d, const options&) { return d.device; }},
    {"SIZE", 5, SCOLS_FL_RIGHT, "size, in bytes with --bytes",
     [](const nesk_disk_assessment& d, const options& o) {
         if (!d.recorded) return std::string();
         return o.bytes ? std::to_string(d.size_bytes()) : human_size(d.size_bytes());
     }},
    {"BYTES", 0, SCOLS_FL_RIGHT, "size in bytes",
     [](const nesk_disk_assessment& d, const options&) {
         return d.recorded ? std::to_string(d.size_bytes()) : std::string();
     }},
    {"VENDOR", 0.1, 0, "vendor (SCSI)",
     [](const nesk_disk_assessment& d, const options&) { return d.vendor; }},
    {"MODEL", 0.1, 0, "model",
     [](const nesk_disk_assessment& d, const options&) {
         return d.model.empty() ? d.identity.model : d.model;
     }},
    {"SERIAL", 0.1, 0, "serial number",
     [](const nesk_disk_assessment& d, const options&) {
         return d.serial.empty() ? d.identity.serial : d.serial;
     }},
    {"WWN", 0.1, 0, "World Wide Name",
     [](const nesk_disk_assessment& d, const options&) { return d.identity.wwn; }},
    {"STATE", 0, 0, "new, not-new or skipped",
     [](const nesk_disk_assessment& d, const options&) { return d.state; }},
    {"REASONS", 0.1, 0, "why the disk is not new",
     [](const nesk_disk_assessment& d, const options&) { return joined(d.reasons, ","); }},
    {"CAUTIONS", 0.1, 0, "what to check before wiping the disk",
     [](const nesk_disk_assessment& d, const options&) { return joined(d.cautions, ","); }},
    {"BY-ID", 0.1, 0, "links to the disk in /dev/disk/by-id",
     [](const nesk_disk_assessment& d, const options&) { return joined(d.identity.by_id, ","); }},
    {"TRAN", 0, 0, "transport: sata, sas, nvme, usb, fc, iscsi, ...",
     [](const nesk_disk_assessment& d, const options&) { return d.identity.transport; }},
    {"ROTA", 0, SCOLS_FL_RIGHT, "rotational disk: 1 or 0",
     [](const nesk_disk_assessment& d, const options&) {
         return identity_number(d, d.identity.rotational);
     }},
    {"RO", 0, SCOLS_FL_RIGHT, "read-only disk: 1 or 0",
     [](const nesk_disk_assessment& d, const options&) {
         return identity_number(d, d.identity.read_only);
     }},
    {"LOG-SEC", 0, SCOLS_FL_RIGHT, "logical sector size in bytes",
     [](const nesk_disk_assessment& d, const options&) {
         return identity_number(d, d.identity.logical_sector_size);
     }},
    {"PHY-SEC", 0, SCOLS_FL_RIGHT, "physical sector size in bytes",
     [](const nesk_disk_assessment& d, const options&) {
         return identity_number(d, d.identity.physical_sector_size);
     }},
    {"HCTL", 0, 0, "host:channel:target:lun of a SCSI disk",
     [](const nesk_disk_assessment& d, const options&) { return d.identity.hctl; }},
};
const size_t k_column_count = sizeof k_columns / sizeof k_columns[0];

// The default columns; --all adds STATE and REASONS before CAUTIONS.
const char* const k_default_columns = "DEVICE,SIZE,BYTES,VENDOR,MODEL,SERIAL,WWN,CAUTIONS";
const char* const k_default_all_columns =
    "DEVICE,SIZE,BYTES,VENDOR,MODEL,SERIAL,WWN,STATE,REASONS,CAUTIONS";

// Appends the columns a comma-separated LIST names (in any case) to
// `columns`: "" on success, otherwise the name that is no column.
std::string add_columns(const std::string& list, std::vector<size_t>& columns) {
    size_t start = 0;
    while (true) {
        const size_t comma = list.find(',', start);
        const std::string name =
            list.substr(start, comma == std::string::npos ? comma : comma - start);
        size_t index = 0;
        while (index < k_column_count && strcasecmp(name.c_str(), k_columns[index].name) != 0)
            ++index;
        if (index == k_column_count) return "'" + name + "'";
        columns.push_back(index);
        if (comma == std::string::npos) return "";
        start = comma + 1;
    }
}

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
enum class request { report, list_columns, help, version, bad };

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

// Sets the output style once; false when another one was chosen before.
bool choose_style(options& parsed, style chosen, bool& chosen_before) {
    if (chosen_before && parsed.format != chosen) return false;
    parsed.format = chosen;
    chosen_before = true;
    return true;
}

request parse_arguments(int argc, char** argv, options& parsed) {
    enum { opt_strict = 256, opt_no_nvme, opt_metrics };
    static const struct option long_options[] = {
        {"all", no_argument, nullptr, 'a'},
        {"json", no_argument, nullptr, 'j'},
        {"raw", no_argument, nullptr, 'r'},
        {"pairs", no_argument, nullptr, 'P'},
        {"metrics", no_argument, nullptr, opt_metrics},
        {"output", required_argument, nullptr, 'o'},
        {"list-columns", no_argument, nullptr, 'H'},
        {"noheadings", no_argument, nullptr, 'n'},
        {"bytes", no_argument, nullptr, 'b'},
        {"strict", no_argument, nullptr, opt_strict},
        {"no-nvme", no_argument, nullptr, opt_no_nvme},
        {"min-size", required_argument, nullptr, 'm'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    const char* const needs_value[][2] = {
        {"m", "--min-size needs a SIZE"},
        {"t", "--timeout needs SECONDS"},
        {"o", "--output needs a LIST of columns"},
    };
    std::vector<std::string> output_lists;
    bool style_chosen = false;
    bool list_columns = false;
    // Errors are worded here: getopt would name the program by its path.
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":ajrPo:Hnbm:t:hV", long_options, nullptr)) != -1) {
        switch (c) {
            case 'a':
                parsed.all = true;
                break;
            case 'j':
            case 'r':
            case 'P':
            case opt_metrics:
                if (!choose_style(parsed,
                                  c == 'j'           ? style::json
                                  : c == 'r'         ? style::raw
                                  : c == opt_metrics ? style::metrics
                                                     : style::pairs,
                                  style_chosen))
                    return usage_error("--json, --raw, --pairs and --metrics exclude each other");
                break;
            case 'o':
                output_lists.push_back(optarg);
                break;
            case 'H':
                list_columns = true;
                break;
            case 'n':
                parsed.noheadings = true;
                break;
            case 'b':
                parsed.bytes = true;
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
                for (const auto& option : needs_value)
                    if (optopt == option[0][0]) return usage_error(option[1]);
                return usage_error("an option needs a value");
            default:
                // optopt is 0 for an unknown long option and the option's own
                // value for a long one given a value it does not take.
                if (optopt == 0)
                    return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
                if (optopt >= opt_strict || std::strchr("ajrPHnbhV", optopt) != nullptr) {
                    const std::string given = argv[optind - 1];
                    return usage_error("option '" + given.substr(0, given.find('=')) +
                                       "' takes no value");
                }
                return usage_error(std::string("unknown option '-") + static_cast<char>(optopt) +
                                   "'");
        }
    }
    if (list_columns) return request::list_columns;
    if ((parsed.format == style::json || parsed.format == style::metrics) &&
        (!output_lists.empty() || parsed.noheadings || parsed.bytes))
        return usage_error(
            "--output, --noheadings and --bytes shape the table, not --json or --metrics");
    // LIST replaces the default columns, +LIST adds to them; the last plain
    // LIST given counts, with every +LIST.
    std::vector<size_t> added;
    std::string base = parsed.all ? k_default_all_columns : k_default_columns;
    for (const std::string& list : output_lists) {
        if (list.empty() || list == "+") return usage_error("--output needs a LIST of columns");
        if (list[0] != '+') base = list;
    }
    std::string bad = add_columns(base, parsed.columns);
    for (const std::string& list : output_lists)
        if (bad.empty() && list[0] == '+') bad = add_columns(list.substr(1), parsed.columns);
    if (!bad.empty()) return usage_error("unknown column " + bad + " (see --list-columns)");
    parsed.devices.assign(argv + optind, argv + argc);
    return request::report;
}

// ---- gathering ----

// A manager with the tool's limits: each command and disk read waits at most
// the timeout; the probing stops between two disks on the first signal.
void set_limits(nesk_blkdevmgr& manager, const options& opts) {
    manager.timeout_ms = opts.timeout_s * 1000u;
    manager.stop_request = &g_stop_signal;
}

// The disk a DEVICE argument names: the path its links lead to (a
// /dev/disk/by-id link names its disk), or the argument itself when it leads
// nowhere.
std::string disk_named(const std::string& argument) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(argument.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : argument;
}

// The disks to print: every disk in path order with --all, otherwise the new
// ones, smallest first (equal sizes in path order), as get_new_disks sorts.
std::vector<const nesk_disk_assessment*> disks_to_print(const nesk_assessment& assessment,
                                                        const options& opts) {
    std::vector<const nesk_disk_assessment*> disks;
    for (const nesk_disk_assessment& disk : assessment.disks)
        if (opts.all || disk.state == "new") disks.push_back(&disk);
    if (!opts.all)
        std::stable_sort(disks.begin(), disks.end(), [](const auto* a, const auto* b) {
            return a->size_bytes() < b->size_bytes();
        });
    return disks;
}

// ---- output ----

struct table_deleter {
    void operator()(libscols_table* table) const { scols_unref_table(table); }
};

// The table in the style asked for. An unknown value shows as "-", in
// --pairs as "". libsmartcols escapes what a disk's texts may hold.
void print_table(const std::vector<const nesk_disk_assessment*>& disks, const options& opts) {
    std::unique_ptr<libscols_table, table_deleter> owned(scols_new_table());
    libscols_table* table = owned.get();
    if (table == nullptr) throw std::bad_alloc();
    scols_table_enable_noheadings(table, opts.noheadings);
    if (opts.format == style::raw) scols_table_enable_raw(table, 1);
    if (opts.format == style::pairs) {
        scols_table_enable_export(table, 1);
        scols_table_enable_shellvar(table, 1);  // LOG-SEC as LOG_SEC
    }
    if (opts.format == style::table) scols_table_set_column_separator(table, "  ");
    for (size_t index : opts.columns) {
        const column_info& column = k_columns[index];
        if (scols_table_new_column(table, column.name, column.width_hint, column.flags) == nullptr)
            throw std::bad_alloc();
    }
    for (const nesk_disk_assessment* disk : disks) {
        libscols_line* line = scols_table_new_line(table, nullptr);
        if (line == nullptr) throw std::bad_alloc();
        for (size_t i = 0; i < opts.columns.size(); ++i) {
            std::string text = k_columns[opts.columns[i]].text(*disk, opts);
            if (text.empty() && opts.format != style::pairs) text = "-";
            if (scols_line_set_data(line, i, text.c_str()) != 0) throw std::bad_alloc();
        }
    }
    scols_table_set_stream(table, stdout);
    if (scols_print_table(table) != 0) throw std::runtime_error("cannot print the table");
}

// The columns, one a line with what each shows.
void print_column_list() {
    std::unique_ptr<libscols_table, table_deleter> owned(scols_new_table());
    libscols_table* table = owned.get();
    if (table == nullptr || scols_table_new_column(table, "COLUMN", 0, 0) == nullptr ||
        scols_table_new_column(table, "DESCRIPTION", 0, 0) == nullptr)
        throw std::bad_alloc();
    scols_table_enable_noheadings(table, 1);
    scols_table_set_column_separator(table, "  ");
    for (const column_info& column : k_columns) {
        libscols_line* line = scols_table_new_line(table, nullptr);
        if (line == nullptr || scols_line_set_data(line, 0, column.name) != 0 ||
            scols_line_set_data(line, 1, column.help) != 0)
            throw std::bad_alloc();
    }
    scols_table_set_stream(table, stdout);
    if (scols_print_table(table) != 0) throw std::runtime_error("cannot print the column list");
}

// The document described in nesk-disks(8). Of a skipped disk discovery
// records nothing but its path, so its size and record are null; its
// identity is null only when sysfs does not know the disk.
nlohmann::ordered_json report_document(const nesk_assessment& assessment,
                                       const std::vector<const nesk_disk_assessment*>& disks,
                                       const options& opts) {
    using nlohmann::ordered_json;
    ordered_json doc;
    doc["format"] = k_json_format;
    doc["version"] = nesk_version();
    doc["complete"] = assessment.failed_enums.empty();
    doc["incomplete"] = assessment.failed_enums;
    doc["timed_out"] = assessment.timed_out_enums;
    doc["timeout_seconds"] = opts.timeout_s;
    doc["all"] = opts.all;
    doc["strict"] = opts.strict;
    doc["nvme"] = opts.nvme;
    doc["min_size_bytes"] = opts.min_size;
    doc["disks"] = ordered_json::array();
    for (const nesk_disk_assessment* disk : disks) {
        const bool recorded = disk->recorded;
        ordered_json entry;
        entry["device"] = disk->device;
        entry["size_bytes"] = recorded ? ordered_json(disk->size_bytes()) : ordered_json();
        entry["blocks"] = recorded ? ordered_json(disk->blocks) : ordered_json();
        entry["block_size"] = recorded ? ordered_json(disk->block_size) : ordered_json();
        entry["vendor"] = recorded ? ordered_json(disk->vendor) : ordered_json();
        entry["model"] = recorded ? ordered_json(disk->model) : ordered_json();
        entry["serial"] = recorded ? ordered_json(disk->serial) : ordered_json();
        entry["state"] = disk->state;
        entry["reasons"] = disk->reasons;
        entry["cautions"] = disk->cautions;
        ordered_json identity;
        if (disk->identified) {
            const nesk_disk_identity& id = disk->identity;
            identity["wwn"] = id.wwn;
            identity["by_id"] = id.by_id;
            identity["model"] = id.model;
            identity["serial"] = id.serial;
            identity["transport"] = id.transport;
            identity["rotational"] = id.rotational;
            identity["read_only"] = id.read_only;
            identity["logical_sector_size"] = id.logical_sector_size;
            identity["physical_sector_size"] = id.physical_sector_size;
            identity["hctl"] = id.hctl;
        }
        entry["identity"] = identity;
        doc["disks"].push_back(std::move(entry));
    }
    return doc;
}

// The document, or with --metrics the same report in the Prometheus text
// exposition format (docs/metrics.md), stamped with the time of the run.
void print_document(const nesk_assessment& assessment,
                    const std::vector<const nesk_disk_assessment*>& disks, const options& opts,
                    std::chrono::system_clock::time_point started) {
    using nlohmann::ordered_json;
    const ordered_json doc = report_document(assessment, disks, opts);
    if (opts.format == style::metrics) {
        std::fputs(nesk_disks::metrics_text(doc, started).c_str(), stdout);
        return;
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

// Names on standard error each in-use enumeration that failed; the exit code.
int report_incomplete(const nesk_assessment& assessment, const options& opts) {
    if (assessment.failed_enums.empty()) return exit_ok;
    std::string which;
    for (const std::string& kind : assessment.failed_enums) {
        const char* what = kind == "lvm"     ? "LVM physical volumes"
                           : kind == "mount" ? "mounted file systems"
                                             : "software-RAID members";
        const auto& late_ones = assessment.timed_out_enums;
        const bool late = std::find(late_ones.begin(), late_ones.end(), kind) != late_ones.end();
        which +=
            (which.empty() ? "" : ", ") + kind + " (" + what +
            (late ? ", no answer within " + std::to_string(opts.timeout_s) + " s" : std::string()) +
            ")";
    }
    std::fprintf(stderr,
                 "%s: incomplete: could not enumerate %s, so a disk shown as new may be in use; "
                 "see %s\n",
                 k_program, which.c_str(), log_file().c_str());
    return exit_incomplete;
}

// The report, or what stopped it; the exit code.
int run_report(const options& opts) {
    try {
        nesk_blkdevmgr manager;
        set_limits(manager, opts);
        nesk_assess_options asked;
        asked.nvme = opts.nvme;
        asked.min_size = opts.min_size;
        asked.strict = opts.strict;
        asked.cautions_of_new_only = !opts.all;  // only new disks are listed
        std::map<std::string, std::string> given;  // disk path -> argument naming it
        for (const std::string& argument : opts.devices) {
            const std::string disk = disk_named(argument);
            asked.devices.insert(disk);
            given.emplace(disk, argument);
        }
        nesk_assessment assessment;
        const auto started = std::chrono::system_clock::now();
        const int assessed = manager.assess_disks(asked, assessment);
        if (assessed == -2) {
            for (const std::string& disk : assessment.unknown_devices)
                std::fprintf(stderr, "%s: %s: no such disk on this node (see --all)\n", k_program,
                             table_cell(given.at(disk)).c_str());
            return exit_usage;
        }
        if (assessed != 0 || g_stop_signal != 0) return stopped(g_stop_signal);

        const auto disks = disks_to_print(assessment, opts);
        if (opts.format == style::json || opts.format == style::metrics)
            print_document(assessment, disks, opts, started);
        else
            print_table(disks, opts);
        if (!output_written("report")) return exit_failure;
        // Disks the default report leaves out because they could not be
        // shown to be free.
        for (const nesk_disk_assessment& disk : assessment.disks) {
            for (const std::string& reason : disk.reasons)
                if (!opts.all && (reason == "unresponsive" || reason == "unverified"))
                    std::fprintf(stderr,
                                 "%s: %s is not listed: it could not be shown to be free (%s); "
                                 "see --all and %s\n",
                                 k_program, table_cell(disk.device).c_str(), reason.c_str(),
                                 log_file().c_str());
        }
        if (g_stop_signal != 0) return stopped(g_stop_signal);
        return report_incomplete(assessment, opts);
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

// Fills each of descriptors 0, 1 and 2 that the caller left closed with
// /dev/null, so that no file the tool or the library opens (the library's
// log, for one) takes its place and receives the report or the messages.
// Standard output is opened for reading only: the report cannot be written,
// and the tool says so.
void fill_closed_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
        if (opened != fd && opened >= 0) ::close(opened);  // cannot happen: lower ones are open
    }
}

}  // namespace

int main(int argc, char** argv) {
    fill_closed_standard_descriptors();
    // Characters as the user's locale has them: libsmartcols escapes what is
    // not printable in it. Only LC_CTYPE: sorting and numbers stay as in "C".
    std::setlocale(LC_CTYPE, "");
    options opts;
    switch (parse_arguments(argc, argv, opts)) {
        case request::help:
            std::printf("%s\n%s", k_usage, k_help);
            return output_written("help") ? exit_ok : exit_failure;
        case request::version:
            std::printf("%s %s\n", k_program, nesk_version());
            return output_written("version") ? exit_ok : exit_failure;
        case request::list_columns:
            try {
                print_column_list();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "%s: %s\n", k_program, e.what());
                return exit_failure;
            }
            return output_written("column list") ? exit_ok : exit_failure;
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
