// Descriptor holder and small POSIX helpers shared by the platform services.
// Internal to libneskplatform: this folder is not installed.
#ifndef NESK_PLATFORM_INTERNAL_POSIX_UTIL_H
#define NESK_PLATFORM_INTERNAL_POSIX_UTIL_H

#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace nesk_platform {

// Owns one file descriptor and closes it when it goes away. close(2) is never
// retried on Linux (the descriptor is gone even when it reports EINTR), and
// closing keeps errno so that a caller can still report the error that made
// it give up.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Calls `call` again for as long as it fails with EINTR (result -1).
template <typename Call>
auto retry_on_eintr(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// The lines of `text`, split at each line feed (which is dropped); a last
// line without one counts too, an empty text has none. The platform's one
// line splitter.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type newline = text.find('\n', start);
        if (newline == std::string::npos) newline = text.size();
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

// Writes all of `size` bytes, continuing after short writes and EINTR.
inline bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The directory part of `path`: "." for a bare name, "/" for a file in the root.
inline std::string parent_directory(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    while (slash > 0 && path[slash - 1] == '/') --slash;
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Creates `path` and its missing parents with `mode`. True when `path` is a
// directory afterwards (also when it already was one).
inline bool make_directories(const std::string& path, mode_t mode) {
    if (path.empty()) return false;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    std::string::size_type pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        std::string prefix = path.substr(0, pos);
        if (prefix.empty() || prefix.back() == '/') continue;
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return false;
    }
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace nesk_platform

#endif
