// The activity probe: is a disk in use, or does it carry the appliance's stamp
// set? The stamps are three extended attributes in the trusted namespace on the
// root of an XFS file system that spans the whole disk:
//   trusted.vrnkstamp    exactly "tessera@vrnk" (no NUL, no newline)
//   trusted.mntstamp     any value, must exist
//   trusted.blkdevstamp  any value, must exist
//
// A wrong "free" answer lets provisioning wipe a disk that holds data, so the
// probe calls a disk free only with proof: either its first bytes are not an
// XFS superblock (then it cannot carry the stamps and nothing is mounted), or
// it was mounted, shown to carry no stamp set and no log still to recover,
// and let go again. Whatever else happens (the device cannot be read, does
// not mount, does not answer in time, stays mounted) answers "active".
//
// Looking never writes: the disk is mounted read-only and without log
// recovery, on a directory inside a fresh 0700 directory that only root can
// enter. What the disk's state is after mount and unmount is read from the
// kernel, not from the commands' statuses, which a caller's SIGCHLD handler
// may have taken. Reads that a stalled device could hang run in a child
// process the probe stops waiting for at the manager's time limit.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZavProcess.h"
#include "fd_util.h"
#include "kernel_paths.h"
#include "nesk_blkdev.h"

namespace {

const char k_probe[] = "nesk_blkdevmgr::is_active_bdev";
const char k_stamp_attribute[] = "trusted.vrnkstamp";
const char k_stamp_value[] = "tessera@vrnk";
const char k_mount_stamp_attribute[] = "trusted.mntstamp";
const char k_blkdev_stamp_attribute[] = "trusted.blkdevstamp";
// Largest attribute value that can be read; a longer one counts as missing.
const size_t k_attribute_buffer_size = 4096;
// The superblock of an XFS file system starts with these bytes.
const char k_xfs_magic[] = "XFSB";
// Mounted so that nothing is written: no log replay, no access times.
const char k_probe_options[] = "ro,norecovery";
// Name of the mount point inside the 0700 scratch directory.
const char k_mount_dir_name[] = "/mnt";

// How a command of the probe ended.
struct outcome {
    int status = -1;
    bool expired = false;
};

// Runs a mount or unmount command within `limit_ms`: its status, or -1 with
// the command and its error text logged at level -1 through `failure`
// ("... [%s] ... [%s]").
outcome run_command(nesk_debug& log, const char* function, const std::string& command,
                    const char* failure, unsigned int limit_ms) {
    std::string output;
    std::string error;
    outcome result;
    result.status =
        ZavProcess::system_limited(command.c_str(), &output, &error, limit_ms, &result.expired);
    if (result.status == 0) return result;
    if (result.expired) error = "no answer within " + std::to_string(limit_ms) + " ms";
    log.logMessage(function, -1, failure, command.c_str(), error.c_str());
    result.status = -1;
    return result;
}

// "mount -t <type>[  -o <options>] <device> <mount_point>", logged at level 2.
std::string mount_command(nesk_debug& log, const std::string& mount_point,
                          const std::string& device, const std::string& fs_type,
                          const std::string& options) {
    std::string command = "mount -t " + fs_type;
    if (!options.empty()) command += "  -o " + options;
    command += " " + device + " " + mount_point;
    log.logMessage("nesk_blkdevmgr::mount", 2, "Mount command [%s]", command.c_str());
    return command;
}

// Runs an unmount command, logged at level 0 before it runs.
outcome run_unmount(nesk_debug& log, const std::string& command, unsigned int limit_ms) {
    log.logMessage("nesk_blkdevmgr::unmount", 0, "unmount command [%s]", command.c_str());
    return run_command(log, "nesk_blkdevmgr::unmount", command,
                       "unmount command [%s] failed with error [%s]", limit_ms);
}

// What the first bytes of a device showed.
struct device_head {
    enum kind { bytes, busy, unreadable, expired } what = unreadable;
    std::string data;  // bytes: what was read (at most 4); unreadable: why
};

// Opens `device` exclusively and read-only and reads its first four bytes,
// in a child process so that a device that does not answer cannot hold the
// probe past `limit_ms`. The exclusive open fails with EBUSY while the kernel
// holds the device for another user: mounted (in any mount namespace, or
// detached lazily but still in use), claimed by device-mapper, md or bcache,
// or opened exclusively by a tool. The child closes the device itself; if
// that close hangs, the probe has stopped waiting by then.
device_head read_head(const std::string& device, unsigned int limit_ms) {
    auto work = [&device]() -> std::string {
        nesk::unique_fd fd(::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
        if (!fd) return (errno == EBUSY ? "B" : "E") + std::string(std::strerror(errno));
        char head[4];
        ssize_t got;
        do {
            got = ::pread(fd.get(), head, sizeof head, 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return "E" + std::string(std::strerror(errno));
        return "H" + std::string(head, static_cast<size_t>(got));
    };
    std::string answer;
    bool expired = false;
    device_head head;
    if (ZavProcess::run_in_child(work, &answer, limit_ms, &expired) != 0 || answer.empty()) {
        head.what = expired ? device_head::expired : device_head::unreadable;
        if (!expired) head.data = "the reading process failed";
        return head;
    }
    head.what = answer[0] == 'H'   ? device_head::bytes
                : answer[0] == 'B' ? device_head::busy
                                   : device_head::unreadable;
    head.data = answer.substr(1);
    return head;
}

// True when the file system mounted on `dir` is the one on `device`: an XFS
// file system on one device reports that device's number as its own.
bool mounted_on(const std::string& dir, const std::string& device) {
    struct stat on_dir;
    struct stat node;
    return ::stat(dir.c_str(), &on_dir) == 0 && ::stat(device.c_str(), &node) == 0 &&
           S_ISBLK(node.st_mode) && on_dir.st_dev == node.st_rdev;
}

// Reads the three stamps once in a child process, so that a disk that stops
// answering after its mount holds the probe no longer than `limit_ms`; the
// probe's own reads then find them in memory. False when the child did not
// finish in time.
bool stamps_answer(const std::string& dir, unsigned int limit_ms) {
    auto work = [&dir]() -> std::string {
        char buffer[k_attribute_buffer_size];
        for (const char* name :
             {k_stamp_attribute, k_mount_stamp_attribute, k_blkdev_stamp_attribute})
            ::getxattr(dir.c_str(), name, buffer, sizeof buffer);
        return "";
    };
    bool expired = false;
    ZavProcess::run_in_child(work, nullptr, limit_ms, &expired);
    return !expired;
}

// State of an XFS log as xfs_logprint reads it (without writing).
enum class log_state { clean, dirty, unknown, expired };

// Reads the head of "xfs_logprint -t" until its "state:" line, which tells
// whether the log holds transactions the kernel would replay at mount.
log_state xfs_log_state(const std::string& device, unsigned int limit_ms) {
    ZavProcessPipe pipe;
    const std::string command = "xfs_logprint -t " + device + " 2>/dev/null";
    if (!pipe.open(command.c_str(), limit_ms)) return log_state::unknown;
    std::string text;
    char buffer[4096];
    log_state state = log_state::unknown;
    for (;;) {
        const ssize_t got = pipe.read(buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<size_t>(got));
        const size_t at = text.find("state: <");
        if (at != std::string::npos && text.find('>', at) != std::string::npos) {
            const std::string word = text.substr(at + 8, text.find('>', at) - at - 8);
            if (word == "CLEAN")
                state = log_state::clean;
            else if (word == "DIRTY")
                state = log_state::dirty;
            break;
        }
        // The state comes within the first lines; a long text without one
        // is not the report looked for.
        if (text.size() > 64 * 1024) break;
    }
    // Closing early ends xfs_logprint with SIGPIPE; only the state counts.
    pipe.close();
    return pipe.expired() ? log_state::expired : state;
}

// Holds an exclusive lock on the disk's sysfs directory for the length of a
// probe, so that probes of one disk by several processes take turns instead
// of finding each other's mount busy. Waits at most `limit_ms` (0: for as
// long as it takes). A disk without a sysfs directory is probed unlocked.
class probe_lock {
public:
    probe_lock(const std::string& device, unsigned int limit_ms) {
        const std::string name = device.substr(device.find_last_of('/') + 1);
        fd_.reset(::open((sysfs_blkdev + "/" + name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd_) return;
        if (limit_ms == 0) {
            int result;
            do {
                result = ::flock(fd_.get(), LOCK_EX);
            } while (result != 0 && errno == EINTR);
            held_ = result == 0;
            return;
        }
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if (::flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
                held_ = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) return;
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            const long long waited =
                (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
            if (waited >= limit_ms) return;
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    // False only when the lock was there to take and could not be had.
    bool usable() const { return !fd_ || held_; }

private:
    nesk::unique_fd fd_;  // closing it lets go of the lock
    bool held_ = false;
};

}  // namespace

bool nesk_blkdevmgr::is_active_bdev(std::string device) {
    active_reasons.erase(device);
    const char* const dev = device.c_str();
    // The answer "active" with its reason recorded.
    auto active = [&](const char* reason) {
        active_reasons[device] = reason;
        return true;
    };
    // The answer "active" for a disk that could not be shown to be free,
    // with a level -1 message saying why.
    auto doubt = [&](const char* reason, const char* format, auto... arguments) {
        debug_log.logMessage(k_probe, -1, format, arguments...);
        return active(reason);
    };

    if (used_devs.count(device) != 0) {
        debug_log.logMessage(k_probe, 0, "Block device %s is currently active", dev);
        return active("in-use");
    }
    if (unsized_devs.count(device) != 0) {
        return doubt("unknown-size",
                     "Block device %s has no readable size, treating this device as "
                     "active",
                     dev);
    }

    probe_lock lock(device, timeout_ms);
    if (!lock.usable()) {
        return doubt("busy",
                     "Another probe of block device %s did not end within %u ms, "
                     "treating this device as active",
                     dev, timeout_ms);
    }

    const device_head head = read_head(device, timeout_ms);
    switch (head.what) {
        case device_head::busy:
            // Such a disk cannot be handed to storage, whatever it carries.
            debug_log.logMessage(k_probe, 0,
                                 "Block device %s is busy, treating this device as active", dev);
            return active("busy");
        case device_head::expired:
            return doubt("unresponsive",
                         "Block device %s did not answer a read within %u ms, treating "
                         "this device as active",
                         dev, timeout_ms);
        case device_head::unreadable:
            return doubt("unverified",
                         "Failed to read block device %s (%s), treating this device as "
                         "active",
                         dev, head.data.c_str());
        case device_head::bytes:
            break;
    }
    if (head.data.size() < 4) {
        return doubt("unverified",
                     "Block device %s holds fewer than 4 bytes, treating this device as "
                     "active",
                     dev);
    }
    if (head.data.compare(0, 4, k_xfs_magic) != 0) {
        // Without the superblock magic the kernel cannot mount it as XFS, so
        // it cannot carry the stamps.
        debug_log.logMessage(k_probe, 0,
                             "Block device %s holds no XFS file system, treating this device as "
                             "inactive",
                             dev);
        return false;
    }

    char scratch[] = "/tmp/hamntXXXXXX";
    if (::mkdtemp(scratch) == nullptr) {
        const int error = errno;
        debug_log.logMessage(k_probe, -1, "Failed to create temporary directory");
        return doubt("unverified",
                     "Cannot look for the stamps of block device %s (%s), treating this "
                     "device as active",
                     dev, std::strerror(error));
    }
    const std::string point = std::string(scratch) + k_mount_dir_name;
    if (::mkdir(point.c_str(), 0700) != 0) {
        const int error = errno;
        debug_log.logMessage(k_probe, -1, "Failed to create temporary directory");
        return doubt("unverified",
                     "Cannot make the mount point %s for block device %s (%s), treating "
                     "this device as active",
                     point.c_str(), dev, std::strerror(error));
    }

    const outcome mounted =
        run_command(debug_log, "nesk_blkdevmgr::mount",
                    mount_command(debug_log, point, device, "xfs", k_probe_options),
                    "Mount command [%s] failed with error [%s]", timeout_ms);
    if (!mounted_on(point, device)) {
        if (mounted.expired) {
            // The mount may still complete once the device answers; it then
            // stays until someone unmounts it (or its mount namespace ends).
            return doubt("unresponsive",
                         "Mounting block device %s at %s did not finish within %u ms, "
                         "treating this device as active",
                         dev, point.c_str(), timeout_ms);
        }
        return doubt("unverified",
                     "Failed to mount Block device %s at %s although it holds an XFS "
                     "superblock, treating this device as active",
                     dev, point.c_str());
    }
    if (mounted.status != 0)
        debug_log.logMessage(k_probe, 0,
                             "The mount command's status for block device %s was lost; the "
                             "kernel shows it mounted at %s",
                             dev, point.c_str());

    const bool answered = stamps_answer(point, timeout_ms);
    const int stamps = answered ? check_for_vrnk_xattrs(point) : -1;

    // Unmount: the plain unmount, then a lazy one when something keeps the
    // mount busy. The kernel then tells whether the disk is let go of.
    outcome released = run_unmount(debug_log, "umount  " + point, timeout_ms);
    if (!released.expired && mounted_on(point, device))
        released = run_unmount(debug_log, "umount -l " + point, timeout_ms);
    if (mounted_on(point, device)) {
        debug_log.logMessage(k_probe, -1,
                             "Block device %s is still mounted at %s after its unmount, treating "
                             "this device as active",
                             dev, point.c_str());
        return active(released.expired ? "unresponsive" : "unverified");
    }
    if (!answered) {
        return doubt("unresponsive",
                     "Block device %s did not answer the stamp reads within %u ms, "
                     "treating this device as active",
                     dev, timeout_ms);
    }
    const device_head after = read_head(device, timeout_ms);
    if (after.what != device_head::bytes) {
        // A lazily detached mount that someone still uses keeps the disk.
        debug_log.logMessage(k_probe, -1,
                             "Block device %s is still held after its unmount from %s, treating "
                             "this device as active",
                             dev, point.c_str());
        return active(after.what == device_head::expired ? "unresponsive" : "busy");
    }

    if (stamps == 0) {
        debug_log.logMessage(k_probe, 0, "Block device %s has valid vornik extended attributes",
                             dev);
        return active("stamped");
    }
    // Mounted without recovery, the file system shows what its log has not
    // yet written home; a stamp set may be waiting in the log.
    switch (xfs_log_state(device, timeout_ms)) {
        case log_state::clean:
            break;
        case log_state::dirty:
            return doubt("unverified",
                         "Block device %s has an XFS log that needs recovery and may hold "
                         "its stamps, treating this device as active",
                         dev);
        case log_state::expired:
            return doubt("unresponsive",
                         "Reading the XFS log of block device %s did not finish within "
                         "%u ms, treating this device as active",
                         dev, timeout_ms);
        case log_state::unknown:
            return doubt("unverified",
                         "Failed to read the XFS log state of block device %s with "
                         "xfs_logprint, treating this device as active",
                         dev);
    }
    debug_log.logMessage(k_probe, 0, "Block device %s is currently not active", dev);
    return false;
}

int nesk_blkdevmgr::mount(std::string mount_point, std::string device, std::string fs_type,
                          std::string options) {
    return run_command(debug_log, "nesk_blkdevmgr::mount",
                       mount_command(debug_log, mount_point, device, fs_type, options),
                       "Mount command [%s] failed with error [%s]", timeout_ms)
        .status;
}

int nesk_blkdevmgr::unmount(std::string mount_point) {
    std::string command = "umount";
    command += "  " + mount_point;
    return run_unmount(debug_log, command, timeout_ms).status;
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
