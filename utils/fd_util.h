// Owners for descriptors, streams, directory streams and scandir listings.
//
// Each holder releases its resource exactly once when it goes out of scope and
// keeps errno as it was, so a failing call can be reported after cleanup.
#ifndef NESK_FD_UTIL_H
#define NESK_FD_UTIL_H

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace nesk {

// Closes `fd` when it is valid, keeping errno. Returns -1 for use as
// `fd = safe_close(fd);`.
inline int safe_close(int fd) noexcept {
    if (fd >= 0) {
        int saved = errno;
        ::close(fd);  // Linux releases the descriptor even when close fails
        errno = saved;
    }
    return -1;
}

// Sole owner of a file descriptor; -1 means none.
class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    ~unique_fd() { safe_close(fd_); }

    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives up ownership without closing.
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the current descriptor and takes `fd`.
    void reset(int fd = -1) noexcept {
        safe_close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(FILE* f) const noexcept {
        int saved = errno;
        std::fclose(f);
        errno = saved;
    }
};
// A stdio stream from fopen/fdopen, closed with fclose.
using unique_file = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR* d) const noexcept {
        int saved = errno;
        ::closedir(d);
        errno = saved;
    }
};
// A directory stream from opendir/fdopendir, closed with closedir.
using unique_dir = std::unique_ptr<DIR, dir_closer>;

struct free_deleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
// Memory from malloc (strdup, getline, realpath, ...), released with free.
template <typename T>
using unique_malloc = std::unique_ptr<T, free_deleter>;

// The array scandir fills: every entry and the array itself are freed on
// destruction or at the next scan.
class scandir_list {
public:
    scandir_list() noexcept = default;
    ~scandir_list() { reset(); }
    scandir_list(const scandir_list&) = delete;
    scandir_list& operator=(const scandir_list&) = delete;

    // Lists `dir` with scandir(3), replacing what was held. Returns scandir's
    // result: the number of entries, or -1 (holding nothing) on failure.
    int scan(const char* dir, int (*filter)(const struct dirent*),
             int (*compare)(const struct dirent**, const struct dirent**)) noexcept {
        reset();
        struct dirent** entries = nullptr;
        int n = ::scandir(dir, &entries, filter, compare);
        if (n >= 0) {
            entries_ = entries;
            count_ = n;
        }
        return n;
    }
    int size() const noexcept { return count_; }
    struct dirent* operator[](int i) const noexcept {
        return entries_[i];
    }

    void reset() noexcept {
        if (entries_) {
            for (int i = 0; i < count_; ++i) std::free(entries_[i]);
            std::free(entries_);
        }
        entries_ = nullptr;
        count_ = 0;
    }

private:
    struct dirent** entries_ = nullptr;
    int count_ = 0;
};

}  // namespace nesk

#endif
