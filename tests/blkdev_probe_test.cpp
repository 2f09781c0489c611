// The activity probe against real XFS file systems on loop devices, reached
// through device nodes named like SCSI disks.
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fd_util.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

constexpr unsigned long long k_xfs_bytes = 300ULL << 20;

// Stamp sets that must be told apart, each on its own XFS file system.
struct StampCase {
    const char* disk;  // node name in the sandbox
    const char* what;
    Attributes attributes;
    bool formatted;
    bool active;
    const char* message;  // level -1 message of the check ("" for none)
};

std::vector<StampCase> stamp_cases() {
    const std::string stamp = "tessera@vrnk";
    // All three stamps with these values.
    auto set = [](const std::string& vrnk, const std::string& mnt, const std::string& blkdev) {
        return Attributes{{"trusted.vrnkstamp", vrnk},
                          {"trusted.mntstamp", mnt},
                          {"trusted.blkdevstamp", blkdev}};
    };
    const char* const mismatch = "does not match with tessera@vrnk";
    return {
        {"sdb", "valid set", set(stamp, "/data/b1", "/dev/sdb"), true, true, ""},
        {"sdc", "empty mount and blkdev stamps", set(stamp, "", ""), true, true, ""},
        {"sdd", "no stamps", {}, true, false, "Failed to find valid vornik stamp @ "},
        {"sde", "stamp with newline", set(stamp + "\n", "m", "b"), true, false, mismatch},
        {"sdf", "stamp with NUL", set(stamp + std::string(1, '\0'), "m", "b"), true, false,
         mismatch},
        {"sdg",
         "blkdev stamp missing",
         {{"trusted.vrnkstamp", stamp}, {"trusted.mntstamp", "m"}},
         true,
         false,
         "Failed to find valid blkdev stamp @ "},
        {"sdh", "mount stamp of 4097 bytes", set(stamp, std::string(4097, 'm'), "b"), true, false,
         "Failed to find valid mount stamp @ "},
        {"sdi", "mount stamp of 4096 bytes", set(stamp, std::string(4096, 'm'), "b"), true, true,
         ""},
        {"sdj", "blank device", {}, false, false, ""},
    };
}

// One loop device per stamp case, formatted and stamped once for all tests.
class ProbeTest : public SandboxTest {
protected:
    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        for (const StampCase& c : stamp_cases()) {
            auto loop = std::make_unique<LoopDevice>(k_xfs_bytes);
            if (c.formatted) {
                make_xfs(loop->path());
                set_root_attributes(loop->path(), c.attributes);
            }
            loops_[c.disk] = std::move(loop);
        }
    }
    static void TearDownTestSuite() { loops_.clear(); }

    void SetUpNode() override {
        platform().set_debug_level(2);
        for (const auto& loop : loops_)
            sandbox().add_device_node(loop.first, loop.second->devnum());
    }

    static std::vector<std::string> probe_mounts() {
        std::vector<std::string> found;
        for (const std::string& point : mount_points())
            if (point.compare(0, 10, "/tmp/hamnt") == 0) found.push_back(point);
        return found;
    }

    static inline std::map<std::string, std::unique_ptr<LoopDevice>> loops_;
};

TEST_F(ProbeTest, AnswersByTheStampSet) {
    for (const StampCase& c : stamp_cases()) {
        SCOPED_TRACE(std::string(c.disk) + ": " + c.what);
        const std::string device = std::string("/dev/") + c.disk;
        const size_t dirs_before = probe_directories().size();
        const size_t lines_before = platform().log_lines().size();

        nesk_blkdevmgr manager;
        EXPECT_EQ(manager.is_active_bdev(device), c.active);

        const std::vector<std::string> log = platform().log_lines(lines_before);
        EXPECT_TRUE(probe_mounts().empty());
        if (!c.formatted) {
            // No XFS superblock: nothing mounted, no directory made.
            EXPECT_EQ(probe_directories().size(), dirs_before);
            EXPECT_FALSE(has_line_containing(log, "Mount command"));
            EXPECT_TRUE(has_line_containing(log, "Block device " + device +
                                                     " holds no XFS file system, treating this "
                                                     "device as inactive"));
            continue;
        }
        // One new scratch directory holding the mount point, left in place;
        // mounted read-only without log recovery, and unmounted.
        ASSERT_EQ(probe_directories().size(), dirs_before + 1);
        const std::string command =
            "nesk_blkdevmgr::mount: Mount command [mount -t xfs  -o "
            "ro,norecovery " +
            device + " /tmp/hamnt";
        ASSERT_EQ(count_lines_containing(log, command), 1);
        const std::string mount_line = log.at(first_line_with(log, "Mount command ["));
        const std::string dir = mount_line.substr(mount_line.find("/tmp/hamnt"), 16);
        EXPECT_EQ(mount_line.substr(mount_line.find("/tmp/hamnt") + 16), "/mnt]");
        struct stat scratch;
        ASSERT_EQ(::stat(dir.c_str(), &scratch), 0);
        EXPECT_EQ(scratch.st_mode & 07777, 0700u);
        EXPECT_EQ(count_lines_containing(log, "unmount command [umount  " + dir + "/mnt]"), 1);
        EXPECT_EQ(manager.active_reasons.count(device), c.active ? 1u : 0u);
        const std::string verdict =
            c.active ? "Block device " + device + " has valid vornik extended attributes"
                     : "Block device " + device + " is currently not active";
        EXPECT_TRUE(has_line_containing(log, "nesk_blkdevmgr::is_active_bdev: " + verdict));
        if (*c.message) {
            EXPECT_TRUE(has_line_containing(log, c.message));
        }
    }
}

TEST_F(ProbeTest, DiskInUseIsNeverMounted) {
    sandbox().stub_command("pvscan", {"  /dev/sdb2\n  Total: 1 [1.00 GiB]\n", "", 0});
    nesk_blkdevmgr manager;
    ASSERT_EQ(manager.enumerate_pvs(), 0);
    const size_t dirs_before = probe_directories().size();
    EXPECT_TRUE(manager.is_active_bdev("/dev/sdb"));
    EXPECT_EQ(probe_directories().size(), dirs_before);
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log,
                                    "nesk_blkdevmgr::is_active_bdev: Block device /dev/sdb is "
                                    "currently active"));
    EXPECT_FALSE(has_line_containing(log, "Mount command"));
}

TEST_F(ProbeTest, FailedUnmountStillAnswersStamped) {
    sandbox().stub_command("umount", {"", "umount: /tmp/x: target is busy.\n", 32});
    nesk_blkdevmgr manager;
    EXPECT_TRUE(manager.is_active_bdev("/dev/sdb"));
    const auto stuck = probe_mounts();
    ASSERT_EQ(stuck.size(), 1u);
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "unmount command [umount  " + stuck[0] +
                                        "] failed with error [umount: /tmp/x: target is busy. ]"));
    for (const std::string& point : stuck) ::umount2(point.c_str(), 0);
}

// A disk the kernel holds for another user (an exclusive open here; a mount in
// another namespace, device-mapper, md or bcache hold it the same way) is in
// use, whatever it carries; the mount would fail "busy" and call it new.
TEST_F(ProbeTest, DiskHeldExclusivelyIsActiveWithoutMounting) {
    nesk::unique_fd held(::open("/dev/sdd", O_RDONLY | O_EXCL | O_CLOEXEC));
    ASSERT_GE(held.get(), 0);
    const size_t dirs_before = probe_directories().size();
    nesk_blkdevmgr manager;
    EXPECT_TRUE(manager.is_active_bdev("/dev/sdd"));
    EXPECT_EQ(probe_directories().size(), dirs_before);
    const auto log = platform().log_lines();
    EXPECT_TRUE(
        has_line_containing(log,
                            "nesk_blkdevmgr::is_active_bdev: Block device /dev/sdd is busy, "
                            "treating this device as active"));
    EXPECT_FALSE(has_line_containing(log, "Mount command"));

    // Released, the disk (XFS without stamps) is probed again, and the probe's
    // own exclusive open does not keep the mount from claiming it.
    held.reset();
    EXPECT_FALSE(manager.is_active_bdev("/dev/sdd"));
}

// Ends the process whose pid the file `pid_file` holds and waits until it has.
void stop_process_in(const std::string& pid_file) {
    const pid_t pid = static_cast<pid_t>(std::atoi(read_whole_file(pid_file).c_str()));
    ASSERT_GT(pid, 0);
    nesk::unique_fd handle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    ASSERT_GE(handle.get(), 0);
    ASSERT_EQ(::syscall(SYS_pidfd_send_signal, handle.get(), SIGKILL, nullptr, 0), 0);
    pollfd gone{handle.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&gone, 1, 10000), 1);
}

// A process that has its working directory inside the probe's mount (a shell,
// an indexer) makes the unmount fail; the lazy unmount still takes the disk
// out of the mount table.
TEST_F(ProbeTest, BusyMountPointIsUnmountedLazily) {
    const std::string pid_file = sandbox().work_dir() + "/holder.pid";
    sandbox().stub_script("mount",
                          "PATH=\"${PATH#*:}\" mount \"$@\" || exit\n"
                          "for dir; do :; done\n"
                          "(cd \"$dir\" && exec sleep 30) </dev/null >/dev/null 2>&1 &\n"
                          "echo $! > " +
                              pid_file + "\n");
    nesk_blkdevmgr manager;
    EXPECT_TRUE(manager.is_active_bdev("/dev/sdb"));
    const auto stuck = probe_mounts();
    stop_process_in(pid_file);
    for (const std::string& point : stuck) ::umount2(point.c_str(), MNT_DETACH);
    EXPECT_TRUE(stuck.empty());

    const auto log = platform().log_lines();
    EXPECT_EQ(count_lines_containing(log, "failed with error [umount: /tmp/hamnt"), 1);
    EXPECT_EQ(count_lines_containing(log,
                                     "nesk_blkdevmgr::unmount: unmount command [umount -l "
                                     "/tmp/hamnt"),
              1);
}

// Something that keeps the probe from looking, undone when it goes away.
using Disturbance = std::shared_ptr<void>;

// A fresh tmpfs over /tmp mounted with `options` and `flags`.
Disturbance tmp_replaced(const char* options, unsigned long flags) {
    if (::mount("tmpfs", "/tmp", "tmpfs", flags, options) != 0) throw std::runtime_error("mount");
    return Disturbance(nullptr, [](void*) { ::umount2("/tmp", MNT_DETACH); });
}

// The probe's answer and reason for `device` with no descriptor left (every
// number below the limit in use), asked in a child process so that this one
// keeps its descriptors: "active:<reason>" or "free".
std::string probe_without_descriptors(const std::string& device) {
    TempDir dir;
    const std::string answer = dir.file("answer");
    const pid_t pid = ::fork();
    if (pid == 0) {
        nesk_blkdevmgr manager;
        nesk::unique_fd out(::open(answer.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        int lowest_free = 0;
        while (::fcntl(lowest_free, F_GETFD) != -1) ++lowest_free;
        struct rlimit low = {static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
        ::setrlimit(RLIMIT_NOFILE, &low);
        const std::string said = manager.is_active_bdev(device)
                                     ? "active:" + manager.active_reasons[device]
                                     : std::string("free");
        _exit(::write(out.get(), said.data(), said.size()) == static_cast<ssize_t>(said.size())
                  ? 0
                  : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return read_whole_file(answer);
}

// A SIGCHLD handler that reaps every child of the process, as some callers
// have: the commands' statuses are lost.
void reap_all(int) {
    const int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

Disturbance children_reaped_by_caller() {
    struct sigaction action = {}, saved = {};
    action.sa_handler = reap_all;
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGCHLD, &action, &saved);
    return Disturbance(nullptr, [saved](void*) { ::sigaction(SIGCHLD, &saved, nullptr); });
}

// Whatever keeps the probe from looking, a stamped disk is never called new,
// and nothing stays mounted unless the unmount itself keeps failing.
TEST_F(ProbeTest, NewOnlyWithProof) {
    const std::string marker = sandbox().work_dir() + "/entered";
    const struct {
        const char* what;
        const char* disk;
        std::function<Disturbance()> disturb;
        bool active;
        const char* reason;  // "" for a disk found free
        bool left_mounted;
    } cases[] = {
        {"/tmp read-only", "sdb", [] { return tmp_replaced("", MS_RDONLY); }, true, "unverified",
         false},
        {"/tmp without inodes", "sdb", [] { return tmp_replaced("nr_inodes=1", 0); }, true,
         "unverified", false},
        {"mount fails", "sdd",
         [this] {
             sandbox().stub_command("mount", {"", "mount: wrong fs type\n", 32});
             return Disturbance();
         },
         true, "unverified", false},
        {"statuses lost", "sdb", children_reaped_by_caller, true, "stamped", false},
        {"statuses lost, no stamps", "sdd", children_reaped_by_caller, false, "", false},
        {"unmount keeps failing", "sdd",
         [this] {
             sandbox().stub_command("umount", {"", "umount: target is busy.\n", 32});
             return Disturbance();
         },
         true, "unverified", true},
        // Only root can enter the directory that holds the mount point.
        {"an unprivileged user tries to enter", "sdd",
         [this, marker] {
             sandbox().stub_script("mount",
                                   "PATH=\"${PATH#*:}\" mount \"$@\" || exit\n"
                                   "for dir; do :; done\n"
                                   "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c "
                                   "'cd \"$1\" 2>/dev/null && touch " +
                                       marker + "' sh \"$dir\"\n");
             return Disturbance();
         },
         false, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string device = std::string("/dev/") + c.disk;
        nesk_blkdevmgr manager;
        for (int round = 0; round < 3; ++round) {
            bool active = false;
            {
                const Disturbance disturbance = c.disturb();
                active = manager.is_active_bdev(device);
            }
            EXPECT_EQ(active, c.active);
            EXPECT_EQ(manager.active_reasons.count(device) ? manager.active_reasons.at(device) : "",
                      c.reason);
            const auto left = probe_mounts();
            EXPECT_EQ(!left.empty(), c.left_mounted);
            for (const std::string& point : left) ::umount2(point.c_str(), MNT_DETACH);
        }
        sandbox().remove_stub("mount").remove_stub("umount");
    }
    EXPECT_FALSE(nesk_utils::is_file(marker));
    EXPECT_EQ(probe_without_descriptors("/dev/sdb"), "active:unverified");
    EXPECT_TRUE(probe_mounts().empty());
}

TEST_F(ProbeTest, MountCommandText) {
    sandbox().stub_command("mount",
                           {"", "mount: /tmp/m: special device /dev/sdz does not exist.\n", 32});
    nesk_blkdevmgr manager;
    EXPECT_EQ(manager.mount("/tmp/m", "/dev/sdz", "xfs", "ro"), -1);
    EXPECT_EQ(manager.mount("/tmp/m", "/dev/sdz", "xfs", ""), -1);
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "Mount command [mount -t xfs  -o ro /dev/sdz /tmp/m]"));
    EXPECT_TRUE(has_line_containing(
        log,
        "Mount command [mount -t xfs /dev/sdz /tmp/m] failed with error [mount: /tmp/m: "
        "special device /dev/sdz does not exist. ]"));
}

TEST_F(ProbeTest, ExtendedAttributeValuesAreExactBytes) {
    TempDir dir;
    const std::string path = dir.path();
    const struct {
        const char* name;
        std::string value;
        int result;
    } cases[] = {
        {"trusted.a", "abc", 3},
        {"trusted.empty", "", 0},
        {"trusted.nul", std::string("a\0b", 3), 3},
        {"trusted.high", "\xff\x80", 2},
        {"trusted.full", std::string(4096, 'x'), 4096},
        {"trusted.long", std::string(4097, 'x'), -1},
    };
    nesk_blkdevmgr manager;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(::setxattr(path.c_str(), c.name, c.value.data(), c.value.size(), 0), 0);
        std::string value = "unchanged";
        EXPECT_EQ(manager.getextendedattribute(path, c.name, value), c.result);
        EXPECT_EQ(value, c.result < 0 ? std::string("unchanged") : c.value);
    }
    std::string value = "unchanged";
    EXPECT_EQ(manager.getextendedattribute(path, "trusted.missing", value), -1);
    EXPECT_EQ(value, "unchanged");
    const auto log = platform().log_lines();
    EXPECT_TRUE(has_line_containing(log, "Failed to extract trusted.missing attribute from file " +
                                             path + " error: No data available"));
    EXPECT_TRUE(has_line_containing(log, "Failed to extract trusted.long attribute from file " +
                                             path + " error: Numerical result out of range"));
    EXPECT_TRUE(
        has_line_containing(log, "Succesfully extracted trusted.full attribute from file " + path));
}

}  // namespace
