// Byte-for-byte comparison of two files, and of the regular files of two
// directories, in constant memory: two blocks of BUFFER_SIZE bytes at a time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <unordered_set>

#include "fd_util.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"

namespace {

// How a block read ended.
enum class read_end { more, end_of_file, error };

// Reads up to `size` bytes, resuming after short reads and interrupts, so that
// only the last block of a file is short. `got` is the count read.
read_end read_block(int fd, char* buffer, size_t size, size_t& got) {
    got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return read_end::error;
        }
        if (n == 0) return read_end::end_of_file;
        got += static_cast<size_t>(n);
    }
    return read_end::more;
}

// Opens `path` for reading when it is a regular file; an empty holder
// otherwise. The open never waits (a FIFO without a writer would block it), and
// the type is taken from the descriptor itself, so nothing can swap the file
// between the check and the reads. O_NONBLOCK changes nothing for a regular
// file's reads.
nesk::unique_fd open_regular_file(const std::string& path) {
    nesk::unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) fd.reset();
    return fd;
}

}  // namespace

int nesk_utils::compare_files(const std::string& a, const std::string& b) {
    // The block size is taken once per call: a caller may change it between
    // comparisons, never during one. A size of 0 would never get anywhere.
    const int block_size = BUFFER_SIZE;
    if (block_size <= 0) return -1;
    const size_t size = static_cast<size_t>(block_size);

    // Only regular files compare: a FIFO, a device or a socket need not end,
    // and a directory cannot be read.
    nesk::unique_fd file_a = open_regular_file(a);
    if (!file_a) return -1;
    nesk::unique_fd file_b = open_regular_file(b);
    if (!file_b) return -1;
    std::unique_ptr<char[]> block_a = std::make_unique<char[]>(size);
    std::unique_ptr<char[]> block_b = std::make_unique<char[]>(size);

    for (;;) {
        size_t got_a = 0;
        size_t got_b = 0;
        const read_end end_a = read_block(file_a.get(), block_a.get(), size, got_a);
        const read_end end_b = read_block(file_b.get(), block_b.get(), size, got_b);
        // A file that cannot be read (an I/O error) cannot be said to differ
        // from anything.
        if (end_a == read_end::error || end_b == read_end::error) return -1;
        if (got_a != got_b || std::memcmp(block_a.get(), block_b.get(), got_a) != 0) return 1;
        // Equal counts: both files ended in this block, or neither did.
        if (end_a == read_end::end_of_file) return 0;
    }
}

int nesk_utils::compare_files_in_dirs(std::string& dir_a, std::string& dir_b) {
    if (!is_dir(dir_a) || !is_dir(dir_b)) return -2;
    std::list<std::string> entries_a;
    std::list<std::string> entries_b;
    read_directory(dir_a, entries_a);
    read_directory(dir_b, entries_b);
    if (entries_a.size() != entries_b.size()) return entries_a.size() > entries_b.size() ? 1 : -1;

    const std::unordered_set<std::string> names_b(entries_b.begin(), entries_b.end());
    for (const std::string& name : entries_a) {
        const std::string path_a = dir_a + "/" + name;
        // Only regular files count; subdirectories are not entered.
        if (!is_file(path_a)) continue;
        if (names_b.count(name) == 0) return 1;
        const int result = compare_files(path_a, dir_b + "/" + name);
        if (result != 0) return result;
    }
    return 0;
}
