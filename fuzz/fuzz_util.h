// Helpers shared by the fuzz targets: failing an oracle, and a scratch
// directory for targets whose code under test reads files.
#ifndef NESK_FUZZ_UTIL_H
#define NESK_FUZZ_UTIL_H

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "fd_util.h"

namespace nesk_fuzz {

// Stops the run with `what` when an oracle does not hold; libFuzzer keeps the
// input that did it.
inline void expect(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
}

// A directory of the process's own, on tmpfs when there is one (the targets
// rewrite files on every input), removed with its files when the process
// exits.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/nesk-fuzz-XXXXXX";
        expect(mkdtemp(&pattern[0]) != nullptr, "cannot create a scratch directory");
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Replaces the file at `path` by `size` bytes of `data`.
inline void write_file(const std::string& path, const void* data, size_t size) {
    nesk::unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    expect(static_cast<bool>(fd), "cannot write a scratch file");
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd.get(), bytes, size);
        expect(n > 0, "cannot write a scratch file");
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace nesk_fuzz

#endif
