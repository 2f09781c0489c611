#include "sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fd_util.h"
#include "kernel_paths.h"
#include "nesk_utils.h"

namespace nesk {

namespace {

// One read(2), resumed after an interrupt.
ssize_t read_some(int fd, char* buffer, size_t size) {
    for (;;) {
        ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

std::string read_bytes(const std::string& path, size_t limit) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::string();
    std::string data;
    char buffer[4096];
    while (data.size() < limit) {
        ssize_t n = read_some(fd.get(), buffer, sizeof buffer);
        if (n < 0) return std::string();
        data.append(buffer, static_cast<size_t>(n));
        // A file or attribute gives less than was asked for only at its end.
        if (static_cast<size_t>(n) < sizeof buffer) break;
    }
    if (data.size() > limit) data.resize(limit);
    return data;
}

sysfs_dev sysfs_dev::disk(const std::string& device_path) {
    return block(sysfs_blkdev, nesk_utils::get_basename(device_path));
}

std::string sysfs_dev::read(const std::string& name) const { return nesk_utils::read(path(name)); }

bool sysfs_dev::is_dir(const std::string& name) const { return nesk_utils::is_dir(path(name)); }

std::string sysfs_dev::link(const std::string& name) const {
    char text[PATH_MAX];
    ssize_t n = ::readlink(path(name).c_str(), text, sizeof text);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return std::string();
    return std::string(text, static_cast<size_t>(n));
}

bool sysfs_dev::is_file(const std::string& name) const { return nesk_utils::is_file(path(name)); }

bool sysfs_dev::list(const std::string& name, std::list<std::string>& names) const {
    names.clear();
    unique_dir stream(::opendir(path(name).c_str()));  // glibc opens it close-on-exec
    if (!stream) return false;
    while (struct dirent* entry = ::readdir(stream.get()))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    return true;
}

}  // namespace nesk
