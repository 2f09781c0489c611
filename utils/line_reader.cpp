#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nesk {

line_reader::line_reader(const std::string& path, int flags)
    : fd_(::open(path.c_str(), flags | O_CLOEXEC)) {}

ssize_t line_reader::fill() {
    if (stream_ != nullptr) {
        const size_t n = std::fread(chunk_, 1, sizeof chunk_, stream_);
        return n == 0 && std::ferror(stream_) ? -1 : static_cast<ssize_t>(n);
    }
    ssize_t n;
    do {
        n = ::read(fd_.get(), chunk_, sizeof chunk_);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool line_reader::next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
        if (begin_ < end_) {
            any = true;
            const char* start = chunk_ + begin_;
            const size_t available = end_ - begin_;
            const void* feed = std::memchr(start, '\n', available);
            if (feed != nullptr) {
                const size_t length = static_cast<size_t>(static_cast<const char*>(feed) - start);
                line.append(start, length);
                begin_ += length + 1;
                return true;
            }
            line.append(start, available);
        }
        begin_ = end_ = 0;
        if (!is_open() || at_end_) return any;
        const ssize_t n = fill();
        if (n <= 0) {
            at_end_ = true;
            return any;
        }
        end_ = static_cast<size_t>(n);
    }
}

}  // namespace nesk
