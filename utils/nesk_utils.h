// Static helpers shared by the whole library and its callers.
#ifndef NESK_UTILS_H
#define NESK_UTILS_H

#include <list>
#include <string>
#include <vector>

#include "nesk_export.h"

// The helpers keep no state, log nothing and report failure only through the
// results documented here. "Trimmed" means with blanks, line feeds, carriage
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
};

#endif
