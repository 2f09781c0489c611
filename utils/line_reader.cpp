#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nesk {

line_reader::line_reader(const std::string& path, int flags)
    : fd_(::open(path.c_str(), flags | O_CLOEXEC)) {}

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
        if (!fd_ || at_end_) return any;
        ssize_t n;
        do {
            n = ::read(fd_.get(), chunk_, sizeof chunk_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            at_end_ = true;
            return any;
        }
        end_ = static_cast<size_t>(n);
    }
}

}  // namespace nesk
