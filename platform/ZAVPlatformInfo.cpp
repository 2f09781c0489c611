// Configuration store: an INI-style text file, parsed when it changed and
// replaced atomically, under an exclusive lock, on every write. A store that
// is a symbolic link stays one: a write replaces the file it points to.
#include "ZAVPlatformInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "internal/posix_util.h"

static_assert(sizeof(unsigned long) == 8, "numbers are kept as unsigned 64-bit values");

namespace {

using nesk_platform::retry_on_eintr;
using nesk_platform::unique_fd;

const char kDefaultStore[] = "/etc/nesk/config.ini";

std::string store_path() {
    const char* path = getenv("NESK_CONFIG_FILE");
    return path && *path ? path : kDefaultStore;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

bool holds_line_break_or_nul(const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (text[i] == '\n' || text[i] == '\r' || text[i] == '\0') return true;
    return false;
}

// A section, key or focus name the file can hold and give back unchanged.
bool is_valid_name(const std::string& name, bool is_key) {
    if (name.empty() || is_blank(name.front()) || is_blank(name.back())) return false;
    if (name.find_first_of("]=", 0) != std::string::npos) return false;
    if (holds_line_break_or_nul(name.data(), name.size())) return false;
    // A key line must not read back as a comment or a section header.
    if (is_key && (name[0] == '#' || name[0] == ';' || name[0] == '[')) return false;
    return true;
}

// One line of the store as it reads: a section header, a key with its value,
// or anything else (blank lines, comments and lines it does not understand,
// which a rewrite keeps as they are).
enum class LineKind { kOther, kSection, kEntry };

struct ParsedLine {
    LineKind kind = LineKind::kOther;
    std::string name;   // section name or key
    std::string value;  // for entries: everything after the first '='
};

ParsedLine parse_line(const std::string& raw) {
    ParsedLine parsed;
    std::string::size_type end = raw.size();
    if (end > 0 && raw[end - 1] == '\r') --end;  // a file edited elsewhere with CR LF
    std::string::size_type first = 0;
    while (first < end && is_blank(raw[first])) ++first;
    if (first == end || raw[first] == '#' || raw[first] == ';') return parsed;
    if (raw[first] == '[') {
        std::string::size_type last = end;
        while (last > first && is_blank(raw[last - 1])) --last;
        if (last - first >= 2 && raw[last - 1] == ']') {
            parsed.kind = LineKind::kSection;
            parsed.name = raw.substr(first + 1, last - first - 2);
        }
        return parsed;
    }
    std::string::size_type equals = raw.find('=', first);
    if (equals == std::string::npos || equals >= end) return parsed;
    std::string::size_type key_end = equals;
    while (key_end > first && is_blank(raw[key_end - 1])) --key_end;
    if (key_end == first) return parsed;
    parsed.kind = LineKind::kEntry;
    parsed.name = raw.substr(first, key_end - first);
    parsed.value = raw.substr(equals + 1, end - equals - 1);
    return parsed;
}

// Reads the whole store. A missing file is an empty store; `st` receives the
// file's status when it exists (st_mode 0 otherwise).
bool read_store(const std::string& path, std::string* text, struct stat* st) {
    text->clear();
    std::memset(st, 0, sizeof *st);
    unique_fd fd(retry_on_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) return errno == ENOENT;
    if (fstat(fd.get(), st) != 0) return false;
    char buffer[16 * 1024];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        text->append(buffer, static_cast<size_t>(got));
    }
}

// The section headers and entries of one version of the store, in file order.
using ParsedStore = std::vector<ParsedLine>;

// Which version of a file a stat(2) shows. A rename puts in a new inode; an
// edit in place changes the size or the modification time, and always the
// change time, which no one can set back (cp -p and touch -r restore only
// the modification time).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};

    FileIdentity() = default;
    explicit FileIdentity(const struct stat& st)
        : device(st.st_dev), inode(st.st_ino), size(st.st_size), modified(st.st_mtim),
          changed(st.st_ctim) {}
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

long long nanoseconds(const struct timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// A file's timestamps come from a clock that advances in ticks (up to 10 ms;
// whole seconds on file systems that keep no fraction), so an edit in place
// that keeps the size, made within the tick of the version read, would leave
// its identity unchanged. A version is kept only when it was read after that
// tick had passed; until then every call reads the file.
bool identity_is_settled(const FileIdentity& identity, const struct timespec& read_at) {
    const long long tick = identity.modified.tv_nsec == 0 && identity.changed.tv_nsec == 0
                               ? 2000000000LL
                               : 20000000LL;
    const long long latest = std::max(nanoseconds(identity.modified), nanoseconds(identity.changed));
    return nanoseconds(read_at) - latest > tick;
}

ParsedStore parse_store(const std::string& text) {
    ParsedStore parsed;
    for (const std::string& raw : nesk_platform::split_lines(text)) {
        ParsedLine line = parse_line(raw);
        if (line.kind != LineKind::kOther) parsed.push_back(std::move(line));
    }
    return parsed;
}

// The parsed store of this process, shared by every call and thread: read
// again only when the store path or the file's identity changed, so that each
// call still sees the store as it is at that moment for one stat(2).
class StoreCache {
public:
    // The store at `path` now; null when it cannot be read. A missing file is
    // an empty store.
    std::shared_ptr<const ParsedStore> get(const std::string& path) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return nullptr;
            return std::make_shared<const ParsedStore>();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (parsed_ && path_ == path && FileIdentity(st) == identity_) return parsed_;
        }
        struct timespec read_at;
        clock_gettime(CLOCK_REALTIME, &read_at);
        std::string text;
        struct stat read_st;
        if (!read_store(path, &text, &read_st)) return nullptr;
        auto parsed = std::make_shared<const ParsedStore>(parse_store(text));
        const FileIdentity identity(read_st);
        if (read_st.st_mode != 0 && identity_is_settled(identity, read_at)) {
            std::lock_guard<std::mutex> lock(mutex_);
            path_ = path;
            identity_ = identity;
            parsed_ = parsed;
        }
        return parsed;
    }

    // Drops the kept version (after this process wrote the store).
    void forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        parsed_.reset();
    }

private:
    std::mutex mutex_;
    std::string path_;
    FileIdentity identity_;
    std::shared_ptr<const ParsedStore> parsed_;
};

StoreCache& store_cache() {
    static StoreCache cache;
    return cache;
}

// Looks `key` up in `section` (first occurrence wins). False when absent or
// when the store cannot be read.
bool find_value(const std::string& section, const std::string& key, std::string* value) {
    const std::shared_ptr<const ParsedStore> store = store_cache().get(store_path());
    if (!store) return false;
    bool in_section = false;
    for (const ParsedLine& line : *store) {
        if (line.kind == LineKind::kSection) {
            in_section = line.name == section;
        } else if (in_section && line.name == key) {
            *value = line.value;
            return true;
        }
    }
    return false;
}

// Sets `key` in `lines`: replaces its first line, or adds it after the last
// entry of the section's first occurrence, or appends a new section. False
// when the key already held `value` (nothing to write).
bool put_value(std::vector<std::string>& lines, const std::string& section,
               const std::string& key, const std::string& value) {
    std::string entry = key + "=" + value;
    bool in_section = false;
    bool in_first_occurrence = false;
    bool section_seen = false;
    std::vector<std::string>::size_type insert_at = 0;
    for (std::vector<std::string>::size_type i = 0; i < lines.size(); ++i) {
        ParsedLine line = parse_line(lines[i]);
        if (line.kind == LineKind::kSection) {
            in_section = line.name == section;
            in_first_occurrence = in_section && !section_seen;
            if (in_first_occurrence) insert_at = i + 1;
            section_seen = section_seen || in_section;
        } else if (in_section && line.kind == LineKind::kEntry) {
            if (line.name == key) {
                if (line.value == value) return false;
                lines[i] = entry;
                return true;
            }
            if (in_first_occurrence) insert_at = i + 1;
        }
    }
    if (section_seen) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), entry);
        return true;
    }
    if (!lines.empty() && !lines.back().empty()) lines.emplace_back();
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
    return true;
}

// Replaces the store by a new file with `text`: written beside it, flushed to
// disk, renamed over it, and the rename flushed through the directory. The
// mode and owner of an existing store are kept.
bool replace_store(const std::string& path, const std::string& directory, const std::string& text,
                   const struct stat& old) {
    std::string temp = path + ".tmpXXXXXX";
    unique_fd fd(mkostemp(&temp[0], O_CLOEXEC));
    if (!fd) return false;
    struct TempFile {
        const std::string& name;
        bool keep = false;
        ~TempFile() {
            if (!keep) unlink(name.c_str());
        }
    } guard{temp};

    if (old.st_mode != 0) {
        if (fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
            // Not permitted for an unprivileged writer: the file becomes its own.
        }
        if (fchmod(fd.get(), old.st_mode & 07777) != 0) return false;
    } else if (fchmod(fd.get(), 0644) != 0) {
        return false;
    }
    if (!nesk_platform::write_all(fd.get(), text.data(), text.size())) return false;
    if (fsync(fd.get()) != 0) return false;
    if (close(fd.release()) != 0) return false;
    if (rename(temp.c_str(), path.c_str()) != 0) return false;
    guard.keep = true;

    unique_fd dir(retry_on_eintr(
        [&] { return open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    return dir && fsync(dir.get()) == 0;
}

// The file a store path names: symbolic links followed (a relative target
// from the link's own directory), so that a write replaces the file the link
// points to and the link stays. A path that does not exist names itself. False
// for a link that cannot be read or more than 40 links in a row.
bool resolve_links(std::string path, std::string* file) {
    for (int links = 0; links <= 40; ++links) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT) return false;
            *file = path;
            return true;
        }
        if (!S_ISLNK(st.st_mode)) {
            *file = path;
            return true;
        }
        std::string target(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 256, '\0');
        ssize_t size;
        while ((size = readlink(path.c_str(), &target[0], target.size())) >= 0 &&
               static_cast<size_t>(size) == target.size())
            target.resize(target.size() * 2);  // the link grew meanwhile
        if (size <= 0) return false;
        target.resize(static_cast<size_t>(size));
        path = target[0] == '/' ? target : nesk_platform::parent_directory(path) + "/" + target;
    }
    errno = ELOOP;
    return false;
}

// Removes the temporary files ("<store>.tmpXXXXXX") that writers killed in
// mid-write left beside the store. Called with the write lock held: a writer
// holds it for its whole write, so none of these files belongs to a live one.
void remove_stale_temporaries(const std::string& path, const std::string& directory) {
    const std::string::size_type slash = path.find_last_of('/');
    const std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp";
    struct dir_closer {
        void operator()(DIR* dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, dir_closer> dir(opendir(directory.c_str()));
    if (!dir) return;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        bool from_template = true;
        for (std::string::size_type i = prefix.size(); i < name.size(); ++i)
            from_template = from_template && std::isalnum(static_cast<unsigned char>(name[i]));
        if (from_template) unlinkat(dirfd(dir.get()), entry->d_name, 0);
    }
}

bool store_value(const std::string& section, const std::string& key, const std::string& value) {
    std::string path;
    if (!resolve_links(store_path(), &path)) return false;
    const std::string directory = nesk_platform::parent_directory(path);
    if (!nesk_platform::make_directories(directory, 0755)) return false;

    // The lock lives in a file of its own: the store itself is replaced on
    // every write, so a lock on it would guard a file that is already gone.
    const std::string lock_path = path + ".lock";
    unique_fd lock(retry_on_eintr([&] {
        return open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    }));
    if (!lock || retry_on_eintr([&] { return flock(lock.get(), LOCK_EX); }) != 0) return false;
    remove_stale_temporaries(path, directory);

    std::string text;
    struct stat old;
    if (!read_store(path, &text, &old)) return false;
    std::vector<std::string> lines = nesk_platform::split_lines(text);
    if (!put_value(lines, section, key, value)) return true;
    text.clear();
    for (const std::string& line : lines) {
        text += line;
        text += '\n';
    }
    // The new file has an inode of its own; forgetting the old version also
    // covers a file system that hands the same inode number out again.
    const bool replaced = replace_store(path, directory, text, old);
    store_cache().forget();
    return replaced;
}

// A plain decimal number: digits only, within 64 bits.
bool parse_number(const std::string& text, unsigned long* value) {
    if (text.empty()) return false;
    unsigned long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (result > (ULONG_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

}  // namespace

ZAVPlatformInfo::ZAVPlatformInfo() = default;
ZAVPlatformInfo::~ZAVPlatformInfo() = default;

int ZAVPlatformInfo::getString(const std::string& section, const std::string& key,
                               std::string* value) {
    if (!value || !is_valid_name(section, false) || !is_valid_name(key, true)) return 0;
    std::string section_name = focus_.empty() ? section : focus_ + "/" + section;
    return find_value(section_name, key, value) ? 1 : 0;
}

int ZAVPlatformInfo::setString(const std::string& section, const std::string& key,
                               const char* value, int length) {
    if (length < 0 || (!value && length > 0)) return 0;
    if (!is_valid_name(section, false) || !is_valid_name(key, true)) return 0;
    size_t size = static_cast<size_t>(length);
    if (size > 0 && holds_line_break_or_nul(value, size)) return 0;
    std::string section_name = focus_.empty() ? section : focus_ + "/" + section;
    return store_value(section_name, key, size > 0 ? std::string(value, size) : std::string())
               ? 1
               : 0;
}

int ZAVPlatformInfo::getNumber(const std::string& section, const std::string& key,
                               unsigned long* value) {
    std::string text;
    unsigned long number = 0;
    if (!value || !getString(section, key, &text) || !parse_number(text, &number)) return 0;
    *value = number;
    return 1;
}

int ZAVPlatformInfo::getNumber(const std::string& section, const std::string& key,
                               unsigned int* value) {
    if (!value) return 0;
    unsigned long wide = 0;
    int result = getNumber(section, key, &wide);
    if (result) *value = static_cast<unsigned int>(wide & 0xffffffffUL);
    return result;
}

int ZAVPlatformInfo::setNumber(const std::string& section, const std::string& key,
                               unsigned long value) {
    std::string text = std::to_string(value);
    return setString(section, key, text.c_str(), static_cast<int>(text.size()));
}

int ZAVPlatformInfo::setFocus(const char* focus) {
    if (!focus || !*focus) {
        focus_.clear();
        return 1;
    }
    std::string name(focus);
    if (!is_valid_name(name, false)) return 0;
    focus_ = std::move(name);
    return 1;
}

int ZAVPlatformInfo::GetListOfInstalledPackages(std::vector<int>& ids) {
    std::string text;
    std::vector<int> found;
    if (getString("Packages", "ids", &text)) {
        std::string::size_type pos = 0;
        while (pos < text.size()) {
            std::string::size_type end = text.find_first_of(", \t", pos);
            if (end == std::string::npos) end = text.size();
            if (end > pos) {
                unsigned long id = 0;
                if (!parse_number(text.substr(pos, end - pos), &id) || id > INT_MAX) return 0;
                found.push_back(static_cast<int>(id));
            }
            pos = end + 1;
        }
    } else {
        // Absent and unreadable differ: only a store that reads without the
        // key means "nothing installed".
        if (!store_cache().get(store_path())) return 0;
    }
    ids.swap(found);
    return 1;
}

const char* ZAVPI_Focus::getFocus() {
    thread_local std::string focus;
    std::string value;
    ZAVPlatformInfo store;
    if (!store.getString("Platform", "focus", &value)) value.clear();
    focus.swap(value);
    return focus.c_str();
}
