// Debug-log writer: one line per entry, appended with a single write(2), with
// size-based rotation coordinated between processes by flock on the log.
#include "EvDebug.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal/posix_util.h"

namespace {

using nesk_platform::retry_on_eintr;

const char kDefaultLogDirectory[] = "/var/log/nesk";
const char kDefaultLogName[] = "NESKUtils";
const int kMaxVersions = 1000;

// Opens the log for appending; -1 unless `path` is a regular file. The open
// never waits: a FIFO without a reader fails with ENXIO instead of blocking,
// and a FIFO with one, a device, a socket or a directory is closed again
// unwritten, so a log path that is not a file costs its lines, never a hang.
// O_NONBLOCK changes nothing for a regular file, so it stays set.
int open_for_append(const std::string& path) {
    nesk_platform::unique_fd fd(retry_on_eintr([&] {
        return open(path.c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    }));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return fd.release();
}

std::string versioned(const std::string& path, int version) {
    return path + "." + std::to_string(version);
}

// Shifts path.1 .. path.(n-1) one up, dropping path.n, and makes the live
// file path.1. Only the run of existing versions is shifted, so a large
// version count costs nothing while the files do not exist.
void shift_versions(const std::string& path, int versions) {
    if (versions <= 0) {
        unlink(path.c_str());
        return;
    }
    int top = 1;
    struct stat st;
    while (top < versions && lstat(versioned(path, top).c_str(), &st) == 0) ++top;
    for (int version = top - 1; version >= 1; --version)
        rename(versioned(path, version).c_str(), versioned(path, version + 1).c_str());
    rename(path.c_str(), versioned(path, 1).c_str());
}

std::string format_message(const char* format, va_list arguments) {
    char small[512];
    va_list copy;
    va_copy(copy, arguments);
    int size = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (size < 0) return "(message could not be formatted)";
    if (static_cast<size_t>(size) < sizeof small) return std::string(small, static_cast<size_t>(size));
    std::string large(static_cast<size_t>(size) + 1, '\0');
    va_copy(copy, arguments);
    vsnprintf(&large[0], large.size(), format, copy);
    va_end(copy);
    large.resize(static_cast<size_t>(size));
    return large;
}

// Appends `text` with line breaks turned into blanks.
void append_one_line(std::string& line, const std::string& text) {
    std::string::size_type end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    for (std::string::size_type i = 0; i < end; ++i)
        line += (text[i] == '\n' || text[i] == '\r') ? ' ' : text[i];
}

void append_timestamp(std::string& line) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    char text[64];
    if (!localtime_r(&now.tv_sec, &local) ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        snprintf(text, sizeof text, "@%lld", static_cast<long long>(now.tv_sec));
    }
    line += text;
    snprintf(text, sizeof text, ".%06ld", now.tv_nsec / 1000);
    line += text;
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* instance) : instance_(instance) {}

EvDebug::~EvDebug() {
    if (fd_ >= 0) close(fd_);
}

void EvDebug::initialize(EvDebugFileInstance* instance, unsigned int module_id, long long,
                         bool, const std::string& name) {
    if (instance != instance_ || name != name_) {
        // Bound to another record or file: open afresh on the next message.
        // A record left behind may be gone, so only the new one is updated.
        close_log();
        if (instance) instance->fd = -1;
    }
    instance_ = instance;
    name_ = name;
    if (instance_) instance_->module_id = module_id;
}

void EvDebug::setLogFileSize(unsigned long long mebibytes) {
    if (!instance_) return;
    const unsigned long long limit = ~0ULL >> 20;
    instance_->max_size = mebibytes > limit ? ~0ULL : mebibytes << 20;
}

void EvDebug::setMaxVersion(int versions) {
    if (!instance_) return;
    instance_->max_versions = versions < 0 ? 0 : versions > kMaxVersions ? kMaxVersions : versions;
}

bool EvDebug::open_log() {
    if (fd_ >= 0) return true;
    const char* directory = getenv("NESK_LOG_DIR");
    std::string dir = directory && *directory ? directory : kDefaultLogDirectory;
    std::string path = dir + "/" + (name_.empty() ? kDefaultLogName : name_) + ".log";
    if (!nesk_platform::make_directories(dir, 0755)) return false;
    fd_ = open_for_append(path);
    if (fd_ < 0) return false;
    instance_->fd = fd_;
    instance_->path = path;
    return true;
}

void EvDebug::close_log() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

// Called before each write. A file whose links are all gone was removed behind
// our back and is reopened. A file at the size limit is rotated by whichever
// process gets the lock first; the others find, once they hold the lock, that
// the path names another file now and simply reopen it.
void EvDebug::rotate_if_due() {
    struct stat open_file;
    if (fstat(fd_, &open_file) != 0) return;
    const std::string& path = instance_->path;
    bool due = instance_->max_size > 0 &&
               static_cast<unsigned long long>(open_file.st_size) >= instance_->max_size;
    if (open_file.st_nlink > 0 && !due) return;
    if (retry_on_eintr([&] { return flock(fd_, LOCK_EX); }) != 0) return;

    struct stat live;
    bool still_live = stat(path.c_str(), &live) == 0 && live.st_ino == open_file.st_ino &&
                      live.st_dev == open_file.st_dev;
    if (still_live && due) shift_versions(path, instance_->max_versions);
    if (!still_live || due) {
        // The directory may have gone with the file: make it again, as the
        // first open does.
        if (!still_live)
            nesk_platform::make_directories(nesk_platform::parent_directory(path), 0755);
        int reopened = open_for_append(path);
        if (reopened >= 0) {
            close(fd_);  // releases the lock
            fd_ = reopened;
            instance_->fd = fd_;
            return;
        }
    }
    flock(fd_, LOCK_UN);
}

void EvDebug::handleMsgEventDebug_NEW(int, const char* function, unsigned int k, int,
                                      long long n, const char*, const char* format,
                                      va_list arguments) {
    if (!instance_ || !instance_->enabled || !format) return;
    try {
        std::string line;
        line.reserve(128);
        append_timestamp(line);
        if (instance_->with_pid) line += " [" + std::to_string(getpid()) + "]";
        line += ' ';
        if (function && *function) {
            append_one_line(line, function);
            line += ": ";
        }
        if (k != 0) line += "k=" + std::to_string(k) + " ";
        if (n != 0) line += "n=" + std::to_string(n) + " ";
        append_one_line(line, format_message(format, arguments));
        line += '\n';

        if (!open_log()) return;
        rotate_if_due();
        // One write for the whole line: O_APPEND places it at the end of the
        // file as one piece. Only a short write (a full disk) splits it.
        nesk_platform::write_all(fd_, line.data(), line.size());
    } catch (...) {
        // Out of memory while building the line: the entry is lost, the
        // caller goes on.
    }
}
