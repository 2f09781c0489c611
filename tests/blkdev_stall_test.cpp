// A disk that stops answering, for real: XFS on a loop device over a file that
// a small FUSE server stalls or fails on demand. The probe, the cautions and
// nesk-disks give up on it within their limits, and a signal stops nesk-disks
// within its bound even while a probe is stuck in the kernel.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fd_util.h"
#include "forked_child.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "stall_fs.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

class StallTest : public SandboxTest {
protected:
    void SetUpNode() override {
        const std::string why = StallableFile::unavailable_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        disk_ = std::make_unique<StallableFile>(320ULL << 20);
        LoopDevice& loop = disk_->loop_device();
        make_xfs(loop.path());
        set_root_attributes(loop.path(), valid_stamps("/dev/sdb"));
        sandbox().add_scsi_disk(
            ScsiDisk("0:0:1:0", "sdb").with_devnum(loop.devnum()).with_size(loop.sectors()));
        flush_buffers(loop.path());
    }
    void TearDown() override {
        disk_.reset();
        SandboxTest::TearDown();
    }

    // Waits up to ten seconds for `path` to exist.
    static bool appears(const std::string& path) {
        for (int i = 0; i < 1000 && !nesk_utils::is_file(path); ++i) usleep(10 * 1000);
        return nesk_utils::is_file(path);
    }

    std::unique_ptr<StallableFile> disk_;
};

// Disturbed before the probe or while it mounts, the stamped disk is active
// with the reason the disturbance gives; the cautions say the same.
TEST_F(StallTest, ProbeGivesUpOnADiskThatStopsAnswering) {
    const std::string marker = sandbox().work_dir() + "/mounting";
    const std::string answer = sandbox().work_dir() + "/answer";
    const struct {
        const char* what;
        bool at_mount;  // disturbed once the mount command starts
        void (StallableFile::*disturb)();
        const char* said;  // the probe's reason, then the cautions' result
    } cases[] = {
        {"stalled", false, &StallableFile::stall, "unresponsive -2"},
        {"failing", false, &StallableFile::fail, "unverified -1"},
        {"stalled while mounting", true, &StallableFile::stall, "unresponsive"},
        {"failing while mounting", true, &StallableFile::fail, "unverified"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(marker.c_str());
        if (c.at_mount)
            sandbox().stub_script("mount", "touch " + marker +
                                               "; sleep 0.3\n"
                                               "PATH=\"${PATH#*:}\" exec mount \"$@\"\n");
        else
            (disk_.get()->*c.disturb)();
        // The probe runs in a child with a mount namespace of its own, so a
        // mount that completes after it gave up goes away with it.
        BackgroundChild probe([&] {
            if (!enter_private_mount_namespace()) return 2;
            nesk_blkdevmgr manager;
            manager.timeout_ms = 1000;
            const bool active = manager.is_active_bdev("/dev/sdb");
            std::string said = active ? manager.active_reasons["/dev/sdb"] : "free";
            if (!c.at_mount) {
                std::vector<std::string> cautions;
                said += " " + std::to_string(get_disk_cautions("/dev/sdb", cautions, 1000));
            }
            write_whole_file(answer, said);
            return 0;
        });
        if (c.at_mount) {
            ASSERT_TRUE(appears(marker));
            (disk_.get()->*c.disturb)();
        }
        EXPECT_FALSE(probe.still_running_after(20000));
        disk_->resume();
        EXPECT_EQ(probe.wait(), 0);
        EXPECT_EQ(read_whole_file(answer), c.said);
        sandbox().remove_stub("mount");
        flush_buffers(disk_->loop_device().path());
    }
}

// Stuck in a read of the stalled disk with no time limit, nesk-disks still
// stops on a signal: after the 5 s it gives the probe under way, saying so.
TEST_F(StallTest, SignalStopsTheToolWhileAProbeIsStuck) {
    const std::string pid_file = sandbox().work_dir() + "/pid";
    const std::string err_file = sandbox().work_dir() + "/err";
    disk_->stall();
    BackgroundChild tool([&] {
        return run_program({"sh", "-c", "echo $$ >\"$1\"; exec \"$0\" --timeout 0 2>\"$2\"",
                            built_program("nesk-disks"), pid_file, err_file});
    });
    ASSERT_TRUE(appears(pid_file));
    EXPECT_TRUE(tool.still_running_after(1000));  // waiting on the disk
    const pid_t pid = static_cast<pid_t>(std::stol(read_whole_file(pid_file)));
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_FALSE(tool.still_running_after(15000));
    EXPECT_EQ(tool.wait(), 128 + SIGTERM);
    EXPECT_EQ(read_whole_file(err_file),
              "nesk-disks: stopped by SIGTERM before the probe under way had finished\n");
    disk_->resume();
    // Whatever the stuck probe left went with the tool's mount namespace.
    for (const std::string& point : mount_points()) EXPECT_EQ(point.find("/tmp/hamnt"), point.npos);
}

}  // namespace
