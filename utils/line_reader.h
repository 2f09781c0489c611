// The library's one line reader: files from procfs, sysfs, /etc and callers'
// paths are read line by line through it.
#ifndef NESK_LINE_READER_H
#define NESK_LINE_READER_H

#include <fcntl.h>

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "fd_util.h"

namespace nesk {

// Reads one file line by line with plain read(2) calls into a fixed buffer:
// no stdio stream and no fstat, so a one-line sysfs attribute costs an open,
// one read and a close. It can also read a stream the caller holds.
class line_reader {
public:
    // Opens `path` close-on-exec with `flags` (O_RDONLY, or O_RDWR to insist
    // on a file the caller may change); is_open() tells whether it could.
    explicit line_reader(const std::string& path, int flags = O_RDONLY);
    // Reads `stream` (null: nothing), which stays the caller's to close.
    explicit line_reader(FILE* stream) : stream_(stream) {}
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    bool is_open() const { return fd_ || stream_ != nullptr; }
    // The next line without its line feed (a last line without one counts);
    // false at the end of the file, on a read error or when it is not open.
    bool next(std::string& line);

private:
    // Up to sizeof chunk_ bytes into chunk_: the count, 0 at the end, -1 on
    // an error.
    ssize_t fill();

    unique_fd fd_;
    FILE* stream_ = nullptr;
    bool at_end_ = false;
    size_t begin_ = 0;
    size_t end_ = 0;
    char chunk_[4096];
};

}  // namespace nesk

#endif
