// Reading, writing and copying files, extended attributes and file system usage.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fd_util.h"
#include "line_reader.h"
#include "nesk_utils.h"

namespace {

// Writes all of `data` to `fd`, resuming after short writes and interrupts.
bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Opens `path` for writing as fopen(path, "w") would, close-on-exec.
nesk::unique_fd create_or_truncate(const std::string& path) {
    return nesk::unique_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
}

}  // namespace

std::string nesk_utils::read(std::string path) {
    nesk::unique_file in(fopen(path.c_str(), "re"));
    if (!in) return std::string();
    std::string line;
    if (!nesk::line_reader(in.get()).next(line)) return std::string();
    return trim(line);
}

int nesk_utils::write(std::string path, std::string data) {
    nesk::unique_fd out = create_or_truncate(path);
    if (!out) return -1;
    write_all(out.get(), data.data(), data.size());
    return 0;
}

std::vector<std::string> nesk_utils::read_file(std::string path) {
    std::vector<std::string> lines;
    // Read-write on purpose: a file the caller may not change yields nothing.
    nesk::unique_file in(fopen(path.c_str(), "r+e"));
    if (!in) return lines;
    nesk::line_reader reader(in.get());
    std::string line;
    while (reader.next(line)) lines.push_back(line.empty() ? std::string("\n") : line);
    return lines;
}

void nesk_utils::copy_file(std::string source, std::string target) {
    nesk::unique_fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    nesk::unique_fd out = create_or_truncate(target);
    if (!in || !out) return;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (!write_all(out.get(), buffer, static_cast<size_t>(n))) return;
    }
}

int nesk_utils::getextendedattribute(std::string path, std::string name, std::string& value) {
    char buffer[4096];
    ssize_t n = getxattr(path.c_str(), name.c_str(), buffer, sizeof buffer);
    if (n < 0) return -1;
    value.assign(buffer, static_cast<size_t>(n));
    return 0;
}

int nesk_utils::get_fs_usage(std::string path, unsigned long& total, unsigned long& free) {
    struct statvfs fs;
    if (statvfs(path.c_str(), &fs) != 0) return -1;
    total = static_cast<unsigned long>(fs.f_frsize) * fs.f_blocks;
    free = static_cast<unsigned long>(fs.f_frsize) * fs.f_bfree;
    return 0;
}
