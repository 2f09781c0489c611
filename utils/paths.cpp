// Testing and resolving paths.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "nesk_utils.h"

// After <string.h>: the POSIX basename, not the GNU one, which keeps nothing
// of "/a/b/".
#include <libgen.h>

#include "fd_util.h"

namespace {

// True when stat(2) on `path` succeeds and the type bits equal `type`.
bool has_type(const std::string& path, mode_t type) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

}  // namespace

bool nesk_utils::is_dir(std::string path) { return has_type(path, S_IFDIR); }

bool nesk_utils::is_file(std::string path) { return has_type(path, S_IFREG); }

bool nesk_utils::is_blkdev(std::string path) { return has_type(path, S_IFBLK); }

int nesk_utils::readlink(std::string path, std::string& target) {
    target.clear();
    char buffer[1024];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return -1;
    target.assign(buffer, static_cast<size_t>(n));
    return 0;
}

std::string nesk_utils::get_basename(std::string path) {
    // basename(3) may write into its argument: work on a copy.
    nesk::unique_malloc<char> copy(strdup(path.c_str()));
    if (!copy) return std::string();
    return ::basename(copy.get());
}

std::string nesk_utils::dirname(std::string path) {
    nesk::unique_malloc<char> copy(strdup(path.c_str()));
    if (!copy) return std::string();
    return ::dirname(copy.get());
}
