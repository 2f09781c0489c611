// Helpers shared by the whole library and its callers.
#ifndef NESK_UTILS_H
#define NESK_UTILS_H

#include <list>
#include <string>
#include <vector>

#include "nesk_debug.h"
#include "nesk_export.h"

// The static helpers keep no state, log nothing and report failure only through
// the results documented here; the one member that needs an object,
// manage_subscriptions, logs through the nesk_debug the object carries. "Trimmed" means with blanks, line feeds, carriage
// returns and tabs removed at both ends, and nothing else.
class NESK_EXPORT nesk_utils {
public:
    // ---- Trimming and editing (utils/text.cpp) ----

    // `s` without " \n\r\t" at both ends; vertical tab and form feed stay.
    static std::string trim(std::string s);
    // `s` from its first character not in `set`; "" when there is none.
    static std::string trim_left(std::string s, std::string set);
    // `s` up to its last character not in `set`; "" when there is none.
    static std::string trim_right(std::string s, std::string set);
    // Appends `separator` (only when `list` is not empty) and `item` to `list`;
    // an empty item changes nothing. Returns the list after the change.
    static std::string append(std::string& list, std::string item, std::string separator);
    // Replaces `from` by `to` until none is left, searching again from the start
    // after each replacement. An empty `from` changes nothing; when `to`
    // contains `from`, every occurrence is replaced in one left-to-right pass.
    static void modify_str(std::string& s, std::string from, std::string to);
    // The last `n` characters when `s` is longer than `n` > 0, otherwise "".
    static std::string get_last_chars(std::string s, int n);

    // ---- Splitting (utils/text.cpp) ----

    // Splits at the first ':' (or `separator`): 0 with both halves trimmed, or
    // -2 without a separator, leaving `name` and `value` unchanged.
    static int get_name_value_pair(std::string line, std::string& name, std::string& value);
    static int get_name_value_pair(std::string line, char separator, std::string& name,
                                   std::string& value);
    // Clears `tokens`, then appends the non-empty pieces of `text` between
    // characters of `delimiters`. `text` is not modified.
    static void tokenize(char* text, char* delimiters, std::list<std::string>& tokens);
    static void tokenize(char* text, char* delimiters, std::vector<std::string>& tokens);
    // True when an element equals `s` as a NUL-terminated byte string.
    static bool is_present(std::list<std::string>& items, std::string s);

    // ---- Numbers and text (utils/numbers.cpp) ----

    static std::string ulong_to_string(unsigned long v);
    static std::string uint_to_string(unsigned int v);
    // Lower-case hexadecimal, left-padded with '0' to `width`, never cut.
    static std::string uint_to_hexstr(unsigned int v, unsigned int width);
    static std::string booltostr(bool b);
    static unsigned long string_to_ulong(std::string s);    // atol
    static int string_to_int(std::string s);                // atoi
    static unsigned int string_to_uint(std::string s);      // atoi, as unsigned
    static double string_to_double(std::string s);          // atof
    static unsigned long long string_to_ull(std::string s); // strtoull, base 0
    // True for a decimal integer as strtol reads it, followed only by white space.
    static bool is_number(const char* s);
    // `size` in `unit` ("B", "KB", "MB", "GB", "TB", "PB") as units of 2^30
    // bytes; -1.0 for any other unit.
    static double convert_size_to_gb(double size, std::string unit);

    // ---- Configuration keys and appliance type (utils/config_keys.cpp) ----
    // Every key lives in section "Vantor" of the configuration store; each call
    // opens the store afresh and nothing is cached.

    // 0 with `value` set; -1 (value unchanged) when the key is missing or empty.
    static int get_reg_key(std::string key, std::string& value);
    // 0 when stored, -1 otherwise.
    static int set_reg_key(std::string key, std::string value);
    // 0 with `value` set to the low 32 bits of the stored number; -1 (value
    // unchanged) when the key is missing or holds no number.
    static int get_reg_key(std::string key, unsigned int& value);
    static int set_reg_key(std::string key, unsigned int value);
    // Platform type from "sScaleoutPlatformType": 1 for "Tessera", 2 for
    // "ReferenceArchitecture", 255 for anything else or nothing (exact match).
    static int gettessera_type();
    // Host-naming scheme, 1 or 2: under platform type 2, 2 when the last
    // "Vornik Tessera 2." in "sTesseraImageidentifier" starts it; otherwise 1
    // unless "sTesseraApplianceType" holds a value other than "AP0100" and
    // "AP0200". Missing or empty keys give 1.
    static int get_sds_type();
    // 1 when package 1139 is installed in this node's current instance, else 0
    // (also when the package list cannot be read).
    static int is_tessera_vantor();
    // True when /sys/firmware/efi is a directory (the node booted through EFI).
    static bool is_efi_platform();

    // ---- Host names (utils/hostnames.cpp) ----
    // The dp form of a host name is what the system reports; under naming
    // scheme 1 the sp form carries "sds" at the end of its first label (the
    // text before the first "."). Labels of three characters or fewer never
    // count as carrying the marker.

    // Output of "hostname" up to its first NUL byte, trimmed; "" on failure.
    static std::string get_hostname();
    // 0 with `addr` set to the printable address of `name`; -1, addr unchanged.
    static int resolve_hname(std::string name, std::string& addr);
    // This node's sp-form name and its address: 0 with both set; gethostname's
    // non-zero result (neither set); -1 when the name does not resolve (`hname`
    // is set all the same).
    static int get_ws_hname(std::string& hname, std::string& addr);
    // 1 when `name` resolves to the address of this node's sp-form name; 0
    // otherwise, also on every failure.
    static int is_loop_back_hname(std::string name);
    // The sp form of `name`: unchanged under scheme 2 or when it carries the
    // marker, otherwise "sds" appended to its first label.
    static std::string dp_to_sp(std::string name);
    // The dp form of `name`: the marker removed from its first label if there.
    static std::string sp_to_dp(std::string name);

    // ---- System inventory (utils/inventory.cpp) ----

    // First line of /etc/redhat-release (/etc/redhat-storage-release), trimmed;
    // "" when absent. Always 0.
    static int get_os_release(std::string& release);
    static int get_rhgs_version(std::string& version);
    // Whole trimmed output of "uname -r" and "glusterfs --version": 0 with
    // `version` set, or the process runner's non-zero result with `version`
    // unchanged.
    static int get_kernel_version(std::string& version);
    static int get_gluster_version(std::string& version);
    // The value of "gluster volume get all cluster.op-version" (the second
    // word of its third line, "" when there is none): 0 with `version` set,
    // or gluster's non-zero result with `version` unchanged.
    static int get_gluster_operating_version(std::string& version);
    // First output line of "dmidecode -s system-serial-number" (or, when there
    // is none, the previous `serial`), without any white space and in lower
    // case: 0, or -1 (serial unchanged) when the command cannot be started.
    // Takes at least 100 ms.
    static int get_serial_number(std::string& serial);
    // Wait status of "rpm -q <package>" as popen gives it: 0 when installed,
    // -1 when it cannot be started. Takes at least 100 ms.
    static int check_rpm(const std::string& package);
    // Replaces `modules` with the loaded kernel modules' names, one trimmed
    // entry per output piece of the popen runner. Always 0.
    static int get_lkm_list(std::list<std::string>& modules);

    // ---- Pseudo-random key and data (utils/prg.cpp) ----

    // Sets `key` to this node's identity at this moment, the non-empty pieces
    // of hardware addresses, host name, seconds and microseconds joined by
    // ":", and returns MurmurHash3_x86_32 of it with seed 0.
    static unsigned int generate_prg_key(std::string& key);
    // Fills buf[0..count) with the first `count` outputs of MT19937 seeded
    // with `seed`.
    static void generate_prg_data(unsigned int seed, unsigned int* buf, unsigned int count);

    // ---- Time, in the local time zone (utils/time.cpp) ----

    // "HH:MM:SS" of `t`; "" when the C library cannot represent `t`.
    static std::string time_get_timestr(long t);
    // Local midnight at the start of the day holding `t` (also on days whose
    // daylight-saving offset changes); -1 when `t` cannot be represented.
    static long time_get_datetimezero(long t);
    // True when both fall on the same local calendar day.
    static bool date_isequal(long a, long b);

    // ---- Command execution (utils/command.cpp) ----

    // Runs `command` through the platform process runner. On a non-zero status
    // with empty output, returns the status at once and leaves `lines` as it
    // was. Otherwise sleeps `delay` ms (when non-zero), replaces `lines` with the
    // non-empty pieces of the output between line feeds, each stripped of
    // locale white space at both ends, and returns the runner's status. `error`
    // receives the command's standard error.
    static int execute_command(std::string command, std::list<std::string>& lines,
                               std::string& error, int delay);
    // Runs `command` with its standard output read through a pipe. -1 when it
    // cannot be started (`lines` untouched); otherwise sleeps `delay` ms (when
    // non-zero), replaces `lines` with the trimmed output lines (empty lines
    // kept, lines longer than 4095 bytes split into pieces) and returns the
    // shell's wait status as pclose(3) gives it.
    static int popen(std::string command, std::list<std::string>& lines, int delay);

    // ---- Service control (utils/services.cpp) ----
    // The systemctl commands run through the platform process runner; nothing
    // is logged.

    // Runs "systemctl status <service>": its result (0 running, 3 inactive or
    // failed, 4 and above unknown unit), standard output in `output` and
    // standard error in `errors`.
    static int service_status(std::string service, std::string& output, std::string& errors);
    // 3 when the service is stopped (already, or after "systemctl stop " and a
    // second status query that shows it inactive or failed), 4 when the status
    // query returned above 3, -1 when the stop failed or left it running.
    static int stopservice(std::string service);
    // 0 when the service is running (already, or after a successful
    // "systemctl start "), 4 when the status query returned above 3, -1 when
    // the start command failed.
    static int startservice(std::string service);
    // Stops the service first when `stop_first` (passing on 4 or -1), then runs
    // "systemctl disable ": 0 when that succeeded, -1 otherwise.
    static int disableservice(std::string service, bool stop_first);
    // Result of "systemctl daemon-reload" (0 on success).
    static int systemctl_reload_cmd();
    // Runs "/usr/sbin/subscription-manager unregister 2>&1" and logs the
    // outcome through this object's debug log (level 0 on success, level 2
    // with the tool's first output line, or "(no output)", on failure).
    // Always 0.
    int manage_subscriptions();

    // ---- Remote access over ssh (utils/remote.cpp) ----
    // Arguments are inserted verbatim into the command lines: callers quote
    // what needs quoting. Remote commands log in as root and drop the remote
    // error output.

    // "/usr/bin/ssh-keygen -f <key_file> -N ''": the runner's result, 0 on
    // success (an existing key file is not overwritten: non-zero).
    static int generate_ssh_keys(std::string key_file);
    // Installs <key_file>.pub for root on `host` with ssh-copy-id, logging in
    // once with `password` through sshpass, which reads it from SSHPASS (set
    // in the shell line to `password` as written, so shell quoting applies):
    // 0 on success.
    static int copy_ssh_keys(std::string key_file, std::string host, std::string password);
    // Lists `directory` on `host` with ls: popen's result (0 on success), with
    // `entries` replaced by the names printed; -1 when ssh cannot be started,
    // `entries` then untouched.
    static int get_remote_dir_contents(std::string host, std::string directory,
                                       std::list<std::string>& entries);
    // Removes `file` on `host` with rm: 0 on success.
    static int delete_remote_file(std::string host, std::string file);

    // ---- Cluster tool commands (utils/cluster.cpp) ----
    // The deploy tool runs as user admin with TALUS_PUBKEY and TMPDIR set;
    // nothing is logged.

    // Runs `command` as admin, followed by " " + `suffix` in the local shell
    // when `suffix` is not empty: 0 with `lines` replaced by the output lines,
    // -1 when the command failed or printed nothing (`lines` untouched).
    static int execute_talus_command(std::string command, std::string suffix,
                                     std::list<std::string>& lines);
    // 0 with `cluster` set to the name of the node's cluster, from the first
    // line of the cluster listing that names one (after its first ":", up to
    // a "-" or ":", blanks dropped); -1 with `cluster` untouched when the tool
    // fails or names none.
    static int get_talus_cluster(std::string& cluster);
    // Appends the host names of the cluster's nodes to `nodes`, joined by ","
    // (the node listing is tried up to 5 times, pausing 100, 200, 400, 800 and
    // 1600 ms after each failure), then removes trailing "," from `nodes`:
    // 0, or -1 with `nodes` untouched.
    static int get_talus_cluster_nodes(std::string& nodes);

    // ---- Files (utils/files.cpp) ----

    // The first line of the file, trimmed; "" when it cannot be read.
    static std::string read(std::string path);
    // Creates or truncates `path` and writes `data`: 0 when it could be opened.
    static int write(std::string path, std::string data);
    // Every line without its line feed, untrimmed; an empty line is "\n". The
    // file is opened read-write, so one the caller may not write gives nothing.
    static std::vector<std::string> read_file(std::string path);
    // Copies `source` to `target` (created or truncated even when `source`
    // cannot be read).
    static void copy_file(std::string source, std::string target);
    // Reads extended attribute `name` of `path` (at most 4096 bytes): 0 with
    // `value` set to the exact bytes, or -1 leaving `value` unchanged.
    static int getextendedattribute(std::string path, std::string name, std::string& value);
    // Bytes of the file system holding `path`: 0 with both set, or -1.
    static int get_fs_usage(std::string path, unsigned long& total, unsigned long& free);

    // ---- Paths (utils/paths.cpp) ----

    static bool is_dir(std::string path);    // stat follows links
    static bool is_file(std::string path);
    static bool is_blkdev(std::string path);
    // Clears `target`, then reads the link (at most 1023 bytes): 0 or -1.
    static int readlink(std::string path, std::string& target);
    static std::string get_basename(std::string path); // POSIX basename
    static std::string dirname(std::string path);      // POSIX dirname

    // ---- Partitions (blkdev/partitions.cpp) ----

    // Device path of partition `number` of `disk`: disk + "p" + number when
    // the path contains "nvme" (/dev/nvme0n1p1), else disk + number (/dev/sdb1).
    static std::string get_partition_name(std::string disk, unsigned int number);

    // ---- Mount table (utils/mounts.cpp) ----

    // Mount point of the file system holding `path`, found by climbing the
    // text of the path while the parent lies on the same device: 0 with
    // `mount_path` set (a relative path may end at "."), or -1 when a stat
    // fails (`mount_path` unchanged). Trailing "/" are dropped first ("/a/b/"
    // is "/a/b"; "/" stays "/").
    static int extract_mount_path(std::string path, std::string& mount_path);
    // 1 when /etc/mtab lists `mount_point` (exact text, but for trailing "/",
    // so "/a/b/" finds "/a/b"), with `device` and
    // `fs_type` set and the options of the first such entry appended to
    // `options`; 0 with all three unchanged otherwise.
    static int is_mounted(std::string mount_point, std::string& device, std::string& fs_type,
                          std::list<std::string>& options);
    // The options joined with ","; empty leading options add no comma.
    static std::string create_file_sys_args(std::list<std::string>& options);
    // extract_mount_path, then is_mounted on the result: 0 with the outputs
    // set as by is_mounted, or -1.
    static int get_dir_bdev(std::string dir, std::string& device, std::string& fs_type,
                            std::list<std::string>& options);

    // ---- Comparison (utils/compare.cpp) ----

    // Compares two files in blocks of BUFFER_SIZE bytes: 0 when equal, 1 when
    // they differ in length or content, -1 when either is not a regular file
    // (a FIFO, a device, a socket, a directory: never waited on), cannot be
    // opened or read, or when BUFFER_SIZE is not positive.
    static int compare_files(const std::string& a, const std::string& b);
    // Compares the regular files of `dir_a` with their namesakes in `dir_b`
    // (subdirectories are not entered): 0 when the entry counts agree and every
    // file matches; -2 when either is not a directory; 1 when `dir_a` has more
    // entries, a file is missing from `dir_b` or a pair differs; -1 when `dir_b`
    // has more entries or a pair cannot be compared (as when the namesake in
    // `dir_b` is not a regular file). Stops at the first pair that is not equal.
    static int compare_files_in_dirs(std::string& dir_a, std::string& dir_b);

    // ---- Archives (utils/archives.cpp) ----

    // Packs `source` with "cd /tmp && tar -czf <partial> <source>" into
    // <base>.tar.gz, the base name being `archive` when given, else the text
    // after the last "/" of `source` (or "zavcompress_defaut" when there is
    // none), taken relative to /tmp unless it is absolute. tar writes into a
    // private directory beside the archive, and the result is renamed into
    // place: 0 with `archive` set to the archive's path, or 1 with `archive`
    // unchanged, nothing new left behind and an older archive untouched.
    // Nothing is quoted.
    static int compress(std::string source, std::string& archive);
    // Runs "cd <dir>&&tar  -xzf  <archive>": the process runner's status.
    static int uncompress(std::string archive, std::string& dir);

    // ---- Directories (utils/directories.cpp) ----

    // Appends every entry name of `dir`, "." and ".." included, unsorted.
    static void read_directory(std::string dir, std::list<std::string>& entries);
    // True unless `dir` lists an entry other than "." and "..".
    static bool is_dir_empty(std::string dir);
    // Creates `path` and its missing parents with `mode`, always from the root
    // (a relative path is taken as starting at "/"): 0, or -1 at the first
    // prefix that is not a directory or cannot be made.
    static int mkdir_r(std::string path, unsigned int mode);

private:
    // The log manage_subscriptions writes to; its threshold comes from the
    // configuration store when the object is made, like every other log.
    nesk_debug debug_log;
};

#endif
