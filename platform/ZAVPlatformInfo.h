// Configuration store of the host platform.
#ifndef NESK_PLATFORM_ZAVPLATFORMINFO_H
#define NESK_PLATFORM_ZAVPLATFORMINFO_H

#include <string>
#include <vector>

#include "nesk_export.h"

// A store of sections and keys kept in one INI-style text file, by default
// /etc/nesk/config.ini, elsewhere when NESK_CONFIG_FILE names another path
// (looked up on every call). A missing file is an empty store; a missing directory
// is created with its parents on the first write.
//
// Format: "[section]" lines and "key=value" lines. The value is everything
// after the first '=' up to the end of the line, blanks, '=' and '#' included;
// blanks around a key are ignored. Lines starting with '#' or ';' are
// comments; they, blank lines and lines the store does not understand are kept
// through every rewrite. The first occurrence of a key in a section counts.
//
// Every write takes an exclusive flock on "<file>.lock", re-reads the file,
// writes the new text to a temporary file in the same directory, flushes it,
// renames it over the store (keeping its mode and owner) and flushes the
// directory, so that readers see the old or the new file and writers in
// several processes lose no key. Readers take no lock: a process keeps the
// file it parsed last and reads it again when a stat(2) shows another file
// or a change (device, inode, size, modification or change time).
//
// Names (sections, keys, focus) are refused when empty, with leading or
// trailing blanks, or holding ']', '=', a line feed, a carriage return or NUL;
// keys also when they start with '#', ';' or '['. All results are non-zero on
// success and 0 on failure; output arguments are written only on success.
class NESK_EXPORT ZAVPlatformInfo {
public:
    ZAVPlatformInfo();
    ~ZAVPlatformInfo();

    // Fills `value` when `section` holds `key`.
    int getString(const std::string& section, const std::string& key, std::string* value);
    // Stores the first `length` bytes of `value`; refused when they hold a line
    // feed, carriage return or NUL, which the file format cannot carry.
    int setString(const std::string& section, const std::string& key, const char* value,
                  int length);
    // Fills `value` when the key holds an unsigned 64-bit decimal number: digits
    // only (no sign, no blanks), at most 18446744073709551615.
    int getNumber(const std::string& section, const std::string& key, unsigned long* value);
    // As above through a temporary initialised to 0, keeping its low 32 bits.
    int getNumber(const std::string& section, const std::string& key, unsigned int* value);
    int setNumber(const std::string& section, const std::string& key, unsigned long value);

    // Selects whose settings this instance reads and writes: with a non-empty
    // focus F, section S is kept as "[F/S]"; the empty (or null) focus selects
    // "[S]". A focus that is not a valid name is refused; the old one stays.
    int setFocus(const char* focus);

    // Replaces `ids` with the identifiers listed under key "ids" of section
    // "Packages" (under this instance's focus): decimal numbers up to INT_MAX
    // separated by commas or blanks. A store without the key lists no package
    // (success, empty vector). Fails, leaving `ids` alone, when the store cannot
    // be read or the list holds anything else.
    int GetListOfInstalledPackages(std::vector<int>& ids);

private:
    std::string focus_;
};

// The focus of this node's settings: the key "focus" of section "Platform"
// (read without focus), or "" when absent. The returned text stays valid until
// the next call on the same thread.
class NESK_EXPORT ZAVPI_Focus {
public:
    static const char* getFocus();
};

// An event context the platform's callers hold around focus queries.
class NESK_EXPORT EvEvent {
public:
    EvEvent() = default;
    ~EvEvent() = default;
};

#endif
