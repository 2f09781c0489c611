// Static helpers shared by the whole library and its callers.
#ifndef NESK_UTILS_H
#define NESK_UTILS_H

#include <list>
#include <string>
#include <vector>

#include "nesk_debug.h"

// The helpers keep no state, log nothing and report failure only through the
// results documented here. "Trimmed" means with blanks, line feeds, carriage
// returns and tabs removed at both ends, and nothing else.
class nesk_utils {
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
    // Runs `command` through popen(3). -1 when it cannot be started (`lines`
    // untouched); otherwise sleeps `delay` ms (when non-zero), replaces `lines`
    // with the trimmed output lines (empty lines kept, lines longer than 4095
    // bytes split into pieces) and returns the pclose(3) wait status.
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
    // once with `password` through sshpass: 0 on success.
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
    // 0 with `cluster` set to the name of the node's cluster (the first line
    // of the cluster listing), -1 with `cluster` untouched.
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
