// The activity probe: is a disk in use, or does it carry the appliance's stamp
// set? The stamps are three extended attributes in the trusted namespace on the
// root of an XFS file system that spans the whole disk:
//   trusted.vrnkstamp    exactly "tessera@vrnk" (no NUL, no newline)
//   trusted.mntstamp     any value, must exist
//   trusted.blkdevstamp  any value, must exist
// To read them the disk is mounted on a fresh /tmp/hamntXXXXXX directory and
// unmounted again; the directory stays behind. A disk that the kernel holds
// for another user is active without being mounted.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZavProcess.h"
#include "fd_util.h"
#include "nesk_blkdev.h"

namespace {

const char k_stamp_attribute[] = "trusted.vrnkstamp";
const char k_stamp_value[] = "tessera@vrnk";
const char k_mount_stamp_attribute[] = "trusted.mntstamp";
const char k_blkdev_stamp_attribute[] = "trusted.blkdevstamp";
// Largest attribute value that can be read; a longer one counts as missing.
const size_t k_attribute_buffer_size = 4096;

// Runs a mount or unmount command: 0, or -1 with the command and its error
// text logged at level -1 through `failure` ("... [%s] ... [%s]").
int run_command(nesk_debug& log, const char* function, const std::string& command,
                const char* failure) {
    std::string output;
    std::string error;
    if (ZavProcess::system(command.c_str(), &output, &error, 0, false) == 0) return 0;
    log.logMessage(function, -1, failure, command.c_str(), error.c_str());
    return -1;
}

// Runs an unmount command, logged at level 0 before it runs: 0 or -1.
int run_unmount(nesk_debug& log, const std::string& command) {
    log.logMessage("nesk_blkdevmgr::unmount", 0, "unmount command [%s]", command.c_str());
    return run_command(log, "nesk_blkdevmgr::unmount", command,
                       "unmount command [%s] failed with error [%s]");
}

// A probe mount: unmounted through the manager by unmount() or, on any other
// way out of the probe (an exception included), by the destructor. A mount
// point kept busy by some process (a working directory or an open file inside
// it) cannot be unmounted; it is then detached lazily, which takes it out of
// the mount table at once and frees the disk when its last user lets go.
class probe_mount {
public:
    probe_mount(nesk_blkdevmgr& manager, nesk_debug& log, std::string mount_point)
        : manager_(manager), log_(log), mount_point_(std::move(mount_point)) {}
    ~probe_mount() {
        if (!mounted_) return;
        try {
            unmount();
        } catch (...) {
            // Nothing may leave a destructor; the mount stays and the next
            // probe of this disk sees it busy.
        }
    }
    probe_mount(const probe_mount&) = delete;
    probe_mount& operator=(const probe_mount&) = delete;

    void unmount() {
        if (manager_.unmount(mount_point_) != 0) run_unmount(log_, "umount -l " + mount_point_);
        mounted_ = false;
    }

private:
    nesk_blkdevmgr& manager_;
    nesk_debug& log_;
    std::string mount_point_;
    bool mounted_ = true;
};

// True when the kernel holds `device` for another user: mounted (also in
// another mount namespace), claimed by device-mapper, md or bcache, or opened
// exclusively by a tool. The exclusive open that finds out is closed again
// at once, so that it does not keep the probe's own mount from the disk.
bool held_by_another_user(const std::string& device) {
    nesk::unique_fd claim(::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return !claim && errno == EBUSY;
}

}  // namespace

bool nesk_blkdevmgr::is_active_bdev(std::string device) {
    if (used_devs.count(device) != 0) {
        debug_log.logMessage("nesk_blkdevmgr::is_active_bdev", 0,
                             "Block device %s is currently active", device.c_str());
        return true;
    }

    // Such a disk cannot be handed to storage, whatever it carries; the mount
    // would only fail "busy" and make it look new.
    if (held_by_another_user(device)) {
        debug_log.logMessage("nesk_blkdevmgr::is_active_bdev", 0,
                             "Block device %s is busy, treating this device as active",
                             device.c_str());
        return true;
    }

    char mount_point[] = "/tmp/hamntXXXXXX";
    if (::mkdtemp(mount_point) == nullptr) {
        debug_log.logMessage("nesk_blkdevmgr::is_active_bdev", -1,
                             "Failed to create temporary directory");
        return false;
    }

    // A disk that does not mount as XFS (blank, partitioned, another file
    // system) cannot carry the stamps.
    if (mount(mount_point, device, "xfs", "") != 0) {
        debug_log.logMessage("nesk_blkdevmgr::is_active_bdev", 0,
                             "Failed to mount Block device %s at %s, treating this device as "
                             "inactive",
                             device.c_str(), mount_point);
        return false;
    }
    probe_mount mounted(*this, debug_log, mount_point);
    int stamps = check_for_vrnk_xattrs(mount_point);
    // The answer does not depend on the unmount; a failure is logged by it.
    mounted.unmount();
    if (stamps == 0) {
        debug_log.logMessage("nesk_blkdevmgr::is_active_bdev", 0,
                             "Block device %s has valid vornik extended attributes",
                             device.c_str());
        return true;
    }
    debug_log.logMessage("nesk_blkdevmgr::is_active_bdev", 0,
                         "Block device %s is currently not active", device.c_str());
    return false;
}

int nesk_blkdevmgr::mount(std::string mount_point, std::string device, std::string fs_type,
                          std::string options) {
    std::string command = "mount -t " + fs_type;
    if (!options.empty()) command += "  -o " + options;
    command += " " + device + " " + mount_point;
    debug_log.logMessage("nesk_blkdevmgr::mount", 2, "Mount command [%s]", command.c_str());
    return run_command(debug_log, "nesk_blkdevmgr::mount", command,
                       "Mount command [%s] failed with error [%s]");
}

int nesk_blkdevmgr::unmount(std::string mount_point) {
    std::string command = "umount";
    command += "  " + mount_point;
    return run_unmount(debug_log, command);
}

int nesk_blkdevmgr::check_for_vrnk_xattrs(std::string path) {
    debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", 2,
                         "Valid vornik stamp will be checked for @ path %s", path.c_str());

    std::string stamp;
    int result = getextendedattribute(path, k_stamp_attribute, stamp);
    if (result < 0) {
        debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", -1,
                             "Failed to find valid vornik stamp @ %s", path.c_str());
        return result;
    }
    debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", 2,
                         "Found vornik stamp @ %s with a value of : %s", path.c_str(),
                         stamp.c_str());
    // Compared as bytes: a trailing NUL or newline makes another value.
    if (stamp != std::string(k_stamp_value)) {
        debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", -1,
                             "Extracted stamp @ %s does not match with %s", path.c_str(),
                             k_stamp_value);
        return -1;
    }

    std::string mount_stamp;
    result = getextendedattribute(path, k_mount_stamp_attribute, mount_stamp);
    if (result < 0) {
        debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", -1,
                             "Failed to find valid mount stamp @ %s", path.c_str());
        return result;
    }
    std::string blkdev_stamp;
    result = getextendedattribute(path, k_blkdev_stamp_attribute, blkdev_stamp);
    if (result < 0) {
        debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", -1,
                             "Failed to find valid blkdev stamp @ %s", path.c_str());
        return result;
    }
    debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", 2,
                         "Found a valid mount path stamp @ %s with a value of : %s", path.c_str(),
                         mount_stamp.c_str());
    debug_log.logMessage("nesk_blkdevmgr::check_for_vrnk_xattrs", 2,
                         "Found a valid blkdev stamp @ %s with a value of : %s", path.c_str(),
                         blkdev_stamp.c_str());
    return 0;
}

int nesk_blkdevmgr::getextendedattribute(std::string path, std::string name, std::string& value) {
    char buffer[k_attribute_buffer_size];
    // getxattr follows symbolic links; a value longer than the buffer fails
    // with ERANGE.
    ssize_t length = ::getxattr(path.c_str(), name.c_str(), buffer, sizeof buffer);
    if (length < 0) {
        int error = errno;
        debug_log.logMessage("nesk_blkdevmgr::getextendedattribute", -1,
                             "Failed to extract %s attribute from file %s error: %s", name.c_str(),
                             path.c_str(), std::strerror(error));
        return static_cast<int>(length);
    }
    value.assign(buffer, static_cast<size_t>(length));
    debug_log.logMessage("nesk_blkdevmgr::getextendedattribute", 2,
                         "Succesfully extracted %s attribute from file %s", name.c_str(),
                         path.c_str());
    return static_cast<int>(length);
}
