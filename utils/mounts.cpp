// Which mounted file system holds a path, and what the mount table says about
// a mount point. The table is read afresh through the platform parser on every
// call.
#include <sys/stat.h>

#include <list>
#include <string>

#include "ZavMntParser.h"
#include "kernel_paths.h"
#include "nesk_utils.h"

namespace {

// "/a/b/" (or "/a/b//") names the same directory as "/a/b"; the root keeps
// its one "/".
std::string without_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

int nesk_utils::extract_mount_path(std::string path, std::string& mount_path) {
    // Climbs the text of the path, one dirname at a time, while the parent is
    // another directory on the same device. The climb stops below a mount
    // point (another device) and at "." (its own parent), which is where a
    // relative path ends.
    std::string current = without_trailing_slashes(std::move(path));
    for (;;) {
        if (current == "/") {
            mount_path = "/";
            return 0;
        }
        std::string parent = dirname(current);
        struct stat here;
        struct stat above;
        if (::stat(current.c_str(), &here) != 0) return -1;
        if (::stat(parent.c_str(), &above) != 0) return -1;
        if (here.st_dev != above.st_dev || here.st_ino == above.st_ino) {
            mount_path = current;
            return 0;
        }
        current = std::move(parent);
    }
}

int nesk_utils::is_mounted(std::string mount_point, std::string& device, std::string& fs_type,
                           std::list<std::string>& options) {
    ZavMntParser parser(nesk::kernel::mount_table);
    std::list<ZavMntInfo> entries;
    parser.ParseMountPointInfo(entries);
    const std::string wanted = without_trailing_slashes(std::move(mount_point));
    // File systems stacked on one point: the first listed answers.
    for (const ZavMntInfo& entry : entries) {
        if (without_trailing_slashes(entry.GetMountPoint()) != wanted) continue;
        device = entry.GetBackingDevice();
        fs_type = entry.GetFileSystemType();
        entry.GetMountOptions(options);
        return 1;
    }
    return 0;
}

std::string nesk_utils::create_file_sys_args(std::list<std::string>& options) {
    std::string joined;
    for (const std::string& option : options) {
        if (!joined.empty()) joined += ",";
        joined += option;
    }
    return joined;
}

int nesk_utils::get_dir_bdev(std::string dir, std::string& device, std::string& fs_type,
                             std::list<std::string>& options) {
    std::string mount_path;
    if (extract_mount_path(std::move(dir), mount_path) != 0) return -1;
    return is_mounted(mount_path, device, fs_type, options) == 1 ? 0 : -1;
}
