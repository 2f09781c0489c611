// Line reading shared by the library's file readers.
#ifndef NESK_LINE_READER_H
#define NESK_LINE_READER_H

#include <sys/types.h>

#include <cstdio>
#include <string>

#include "fd_util.h"

namespace nesk {

// Reads a stream line by line, reusing one buffer for all lines.
class line_reader {
public:
    explicit line_reader(FILE* in) : in_(in) {}
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // The next line without its line feed; false at the end of the stream
    // (or on a read error) when nothing was read.
    bool next(std::string& line) {
        char* buffer = buffer_.release();
        ssize_t length = getline(&buffer, &capacity_, in_);
        buffer_.reset(buffer);
        if (length < 0) return false;
        if (length > 0 && buffer[length - 1] == '\n') --length;
        line.assign(buffer, static_cast<size_t>(length));
        return true;
    }

private:
    FILE* in_;
    nesk::unique_malloc<char> buffer_;
    size_t capacity_ = 0;
};

}  // namespace nesk

#endif
