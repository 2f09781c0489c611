// The simulated node must look like a real one to the code under test, and
// must leave the test process's view of the system as it found it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <list>
#include <optional>
#include <string>

#include "fd_util.h"
#include "forked_child.h"
#include "node_sandbox.h"
#include "nesk_utils.h"
#include "stall_fs.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

std::string link_text(const std::string& path) {
    std::string target;
    return nesk_utils::readlink(path, target) == 0 ? target : std::string("<not a link>");
}

unsigned char dirent_type(const std::string& dir, const std::string& name) {
    unsigned char type = DT_UNKNOWN;
    nesk::unique_dir d(opendir(dir.c_str()));
    if (!d) return type;
    while (struct dirent* e = readdir(d.get()))
        if (name == e->d_name) type = e->d_type;
    return type;
}

using NodeSandboxTest = SandboxTest;

TEST_F(NodeSandboxTest, SysfsEntriesAreRelativeLinksIntoDevices) {
    sandbox().add_scsi_disk(ScsiDisk("0:0:0:0", "sda")
                                .with_serial("ABCD1234")
                                .with_partition(Partition("sda1", 1, 2048, 4096)));

    // Kernel-style links, which readdir reports as links, not directories.
    EXPECT_EQ(link_text("/sys/bus/scsi/devices/0:0:0:0"),
              "../../../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0");
    EXPECT_EQ(link_text("/sys/block/sda"),
              "../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda");
    EXPECT_EQ(link_text("/sys/class/block/sda/device"), "../../../0:0:0:0");
    EXPECT_EQ(dirent_type("/sys/bus/scsi/devices", "0:0:0:0"), DT_LNK);
    EXPECT_EQ(dirent_type("/sys/bus/scsi/devices", "host0"), DT_LNK);
    EXPECT_EQ(dirent_type("/sys/bus/scsi/devices", "target0:0:0"), DT_LNK);
    EXPECT_EQ(dirent_type("/sys/block", "sda"), DT_LNK);

    // The links resolve to the files the library reads.
    EXPECT_EQ(read_whole_file("/sys/bus/scsi/devices/0:0:0:0/vendor"), "ATA     \n");
    EXPECT_EQ(read_whole_file("/sys/class/block/sda/device/vpd_pg80"),
              std::string("\x00\x80\x00\x08" "ABCD1234", 12));
    EXPECT_EQ(read_whole_file("/sys/block/sda/removable"), "0\n");
    EXPECT_EQ(read_whole_file("/sys/class/block/sda1/partition"), "1\n");
    EXPECT_EQ(read_whole_file("/sys/class/block/sda1/dev"), "8:1\n");
    EXPECT_TRUE(nesk_utils::is_blkdev("/dev/sda"));
    EXPECT_TRUE(nesk_utils::is_blkdev("/dev/sda1"));
}

TEST_F(NodeSandboxTest, ModelsHostsNvmeVirtualDevicesAndDanglingLinks) {
    sandbox()
        .add_scsi_host(5, HostKind::fc)
        .add_scsi_host(6, HostKind::iscsi)
        .add_enclosure("0:0:8:0")
        .add_nvme(NvmeNamespace("nvme0n1").with_size(1000))
        .add_virtual_block("dm-0")
        .add_virtual_block("md127")
        .add_dangling_link("/sys/block/sdz", "../devices/gone/sdz");

    EXPECT_TRUE(nesk_utils::is_dir("/sys/class/fc_host/host5"));
    EXPECT_TRUE(nesk_utils::is_dir("/sys/class/iscsi_host/host6"));
    EXPECT_FALSE(nesk_utils::is_dir("/sys/class/fc_host/host6"));
    EXPECT_TRUE(nesk_utils::is_dir("/sys/bus/scsi/devices/0:0:8:0"));
    EXPECT_FALSE(nesk_utils::is_dir("/sys/bus/scsi/devices/0:0:8:0/block"));

    EXPECT_EQ(read_whole_file("/sys/block/nvme0n1/size"), "1000\n");
    EXPECT_EQ(nesk_utils::read("/sys/block/nvme0n1/device/serial"), "S4EVNF0M000001");
    EXPECT_EQ(link_text("/sys/block/nvme0n1/device"), "../../nvme0");

    EXPECT_EQ(nesk_utils::read("/sys/block/dm-0/dev"), "253:0");
    EXPECT_EQ(nesk_utils::read("/sys/block/md127/dev"), "9:127");
    EXPECT_EQ(link_text("/sys/block/md127"), "../devices/virtual/block/md127");

    struct stat st;
    EXPECT_EQ(lstat("/sys/block/sdz", &st), 0);
    EXPECT_NE(stat("/sys/block/sdz", &st), 0);
}

TEST_F(NodeSandboxTest, DiskNodeCanShareALoopDevicesNumber) {
    const DevNum loop = NodeSandbox::device_number("/dev/loop3");
    EXPECT_EQ(loop.major, 7u);
    sandbox().add_scsi_disk(ScsiDisk("0:0:1:0", "sdb").with_devnum(loop));
    const DevNum sdb = NodeSandbox::device_number("/dev/sdb");
    EXPECT_EQ(sdb.major, loop.major);
    EXPECT_EQ(sdb.minor, loop.minor);
    EXPECT_EQ(nesk_utils::read("/sys/block/sdb/dev"), "7:3");
}

TEST_F(NodeSandboxTest, StubsAnswerAsScriptedAndRecordEveryCall) {
    sandbox()
        .stub_command("mdadm", {"fallback out\n", "", 0})
        .stub_command("mdadm", "--detail /dev/md0", {"detail\n", "warning\n", 3})
        .stub_command("pvscan", "-s", {"  /dev/sdc\n", "", 0});

    std::list<std::string> lines;
    std::string error;
    EXPECT_EQ(nesk_utils::execute_command("mdadm --detail /dev/md0", lines, error, 0), 3);
    EXPECT_EQ(lines, (std::list<std::string>{"detail"}));
    EXPECT_EQ(error, "warning\n");
    EXPECT_EQ(nesk_utils::execute_command("mdadm  --examine   /dev/sdb", lines, error, 0), 0);
    EXPECT_EQ(lines, (std::list<std::string>{"fallback out"}));
    // A call that no rule answers fails like a missing command.
    EXPECT_EQ(nesk_utils::execute_command("pvscan -v", lines, error, 0), 127);
    EXPECT_EQ(nesk_utils::popen("pvscan -s | grep \"/dev\"", lines, 0), 0);
    EXPECT_EQ(lines, (std::list<std::string>{"/dev/sdc"}));

    EXPECT_EQ(sandbox().command_log("mdadm"),
              (std::vector<std::string>{"mdadm --detail /dev/md0", "mdadm --examine /dev/sdb"}));
    EXPECT_EQ(sandbox().command_log("pvscan"), (std::vector<std::string>{"pvscan -v", "pvscan -s"}));
    EXPECT_TRUE(sandbox().command_log("parted").empty());
}

TEST_F(NodeSandboxTest, ReplacesProcDevicesAndMtab) {
    EXPECT_NE(read_whole_file("/proc/devices").find("Block devices:\n  7 loop\n  8 sd\n  9 md\n"),
              std::string::npos);
    sandbox().set_proc_devices("Character devices:\n  1 mem\n\nBlock devices:\n  8 sd\n");
    EXPECT_EQ(read_whole_file("/proc/devices"), "Character devices:\n  1 mem\n\nBlock devices:\n  8 sd\n");

    const std::string mtab = "/dev/sdb1 /mnt/data xfs rw,relatime 0 0\n";
    sandbox().set_mtab(mtab);
    EXPECT_EQ(read_whole_file("/etc/mtab"), mtab);
    sandbox().set_mtab("");
    EXPECT_EQ(read_whole_file("/etc/mtab"), "");
    // The rest of /etc stays as it is.
    EXPECT_TRUE(nesk_utils::is_file("/etc/passwd"));
}

TEST_F(NodeSandboxTest, ReplaysACapturedTree) {
    nesk_test::TempDir captured("captured-sysfs");
    const std::string root = captured.path();
    sandbox()
        .write_file(root + "/devices/virtual/block/loop0/size", "8\n")
        .make_link(root + "/block/loop0", "../devices/virtual/block/loop0");
    sandbox().load_sysfs_tree(root);
    EXPECT_EQ(link_text("/sys/block/loop0"), "../devices/virtual/block/loop0");
    EXPECT_EQ(nesk_utils::read("/sys/block/loop0/size"), "8");
}

// Reads the first bytes of `path`: 0 when they equal `expected`, the errno of
// a failed open or read, 99 for other bytes.
std::function<int()> head_reader(const std::string& path, const std::string& expected) {
    return [path, expected] {
        nesk::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) return errno;
        std::string head(expected.size(), '\0');
        if (pread(fd.get(), &head[0], head.size(), 0) < 0) return errno;
        return head == expected ? 0 : 99;
    };
}

TEST_F(NodeSandboxTest, StallableDiskStallsFailsAndResumesItsLoopDevice) {
    if (auto why = StallableFile::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    StallableFile disk(16 << 20);
    const std::string device = disk.loop_device().path();
    std::string head(4096, '\0');
    for (size_t i = 0; i < head.size(); ++i) head[i] = static_cast<char>(i * 7 + 1);
    {
        nesk::unique_fd fd(open(device.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd);
        ASSERT_EQ(pwrite(fd.get(), head.data(), head.size(), 0), 4096);
        ASSERT_EQ(fsync(fd.get()), 0);
    }
    EXPECT_EQ(head_reader(disk.path(), head)(), 0);  // written through to the server

    // Reads of the device past its cache wait while the disk is stalled.
    flush_buffers(device);
    disk.stall();
    BackgroundChild stalled(head_reader(device, head));
    EXPECT_TRUE(stalled.still_running_after(300));
    disk.resume();
    EXPECT_EQ(stalled.wait(), 0);

    flush_buffers(device);
    disk.fail();
    EXPECT_EQ(BackgroundChild(head_reader(device, head)).wait(), EIO);
    disk.resume();
    EXPECT_EQ(BackgroundChild(head_reader(device, head)).wait(), 0);

    // A server that dies fails what it held.
    flush_buffers(device);
    disk.stall();
    BackgroundChild orphaned(head_reader(device, head));
    EXPECT_TRUE(orphaned.still_running_after(300));
    disk.kill_server();
    EXPECT_EQ(orphaned.wait(), EIO);
}

TEST_F(NodeSandboxTest, StallableDiskTornDownWhileStalledLeavesNothing) {
    if (auto why = StallableFile::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    // A reader killed before the teardown leaves the loop device's last close
    // (which waits for the stalled request) to it; one that outlives the disk
    // must be released by it.
    for (const bool reader_outlives_disk : {false, true}) {
        SCOPED_TRACE(reader_outlives_disk ? "reader outlives the disk" : "reader killed first");
        std::optional<BackgroundChild> outliving;
        std::string dir;
        pid_t server = 0;
        {
            StallableFile disk(16 << 20);
            const std::string device = disk.loop_device().path();
            dir = disk.mount_dir();
            server = disk.server_pid();
            flush_buffers(device);
            disk.stall();
            std::optional<BackgroundChild> killed;
            BackgroundChild& reader = (reader_outlives_disk ? outliving : killed)
                                          .emplace(head_reader(device, std::string(4096, '\0')));
            ASSERT_TRUE(reader.still_running_after(300));
        }
        if (outliving) {
            const int code = outliving->wait();
            EXPECT_TRUE(code == 0 || code == EIO) << code;
        }
        const std::vector<std::string> mounts = mount_points();
        EXPECT_EQ(std::find(mounts.begin(), mounts.end(), dir), mounts.end());
        EXPECT_FALSE(nesk_utils::is_dir(dir));
        EXPECT_EQ(kill(server, 0), -1);
        EXPECT_EQ(errno, ESRCH);
    }
}

TEST(NodeSandbox, RefusesPathsOutsideItsMounts) {
    if (auto why = NodeSandbox::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    NodeSandbox sandbox;
    EXPECT_THROW(sandbox.write_file("/var/tmp/x", ""), std::invalid_argument);
    EXPECT_THROW(sandbox.write_file("/sys/../etc/x", ""), std::invalid_argument);
    EXPECT_THROW(sandbox.write_file("/etc/x", ""), std::invalid_argument);  // before set_mtab
    EXPECT_THROW(sandbox.write_program("/opt/x", ""), std::invalid_argument);  // before overlay
    EXPECT_THROW(NodeSandbox second, std::runtime_error);
}

TEST(NodeSandbox, TeardownRestoresTheOriginalView) {
    if (auto why = NodeSandbox::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    // The test process lives in a mount namespace of its own.
    std::string self, init;
    ASSERT_EQ(nesk_utils::readlink("/proc/self/ns/mnt", self), 0);
    if (nesk_utils::readlink("/proc/1/ns/mnt", init) == 0) {
        EXPECT_NE(self, init);
    }

    nesk_test::ScopedPlatform made_before;  // its directory must stay reachable
    const std::string mounts = read_whole_file("/proc/self/mountinfo");
    const std::string devices = read_whole_file("/proc/devices");
    const std::string path = getenv("PATH") ? getenv("PATH") : "";
    const std::string kept = made_before.log_dir() + "/written-inside";
    const std::string passwd = read_whole_file("/etc/passwd");
    const std::string shell = read_whole_file("/bin/sh");
    {
        NodeSandbox sandbox;
        sandbox.add_scsi_disk(ScsiDisk("0:0:0:0", "sda"))
            .set_proc_devices("Block devices:\n")
            .set_mtab("")
            .stub_command("pvscan", StubResult{});
        sandbox.add_user("admin", 1500, "/home/admin")
            .overlay("/opt")
            .write_program("/opt/nesk-sandbox-test/tool", "#!/bin/sh\n")
            .record_shell()
            .add_pseudo_terminals();
        EXPECT_NE(read_whole_file("/etc/passwd"), passwd);
        EXPECT_NE(read_whole_file("/bin/sh"), shell);
        nesk_test::write_whole_file("/tmp/scratch-of-the-test", "x");
        nesk_test::write_whole_file(kept, "x");
        EXPECT_NE(read_whole_file("/proc/self/mountinfo"), mounts);
    }
    EXPECT_EQ(read_whole_file("/proc/self/mountinfo"), mounts);
    EXPECT_EQ(read_whole_file("/proc/devices"), devices);
    EXPECT_EQ(getenv("PATH") ? getenv("PATH") : "", path);
    EXPECT_FALSE(nesk_utils::is_file("/tmp/scratch-of-the-test"));
    EXPECT_FALSE(nesk_utils::is_dir("/sys/bus/scsi/devices/0:0:0:0"));
    EXPECT_EQ(read_whole_file(kept), "x");
    EXPECT_EQ(read_whole_file("/etc/passwd"), passwd);
    EXPECT_EQ(read_whole_file("/bin/sh"), shell);
    EXPECT_FALSE(nesk_utils::is_dir("/opt/nesk-sandbox-test"));
}

TEST(NodeSandbox, EtcFilesBoundFromOutsideAreNeverWrittenThrough) {
    if (auto why = NodeSandbox::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    // As in a container, /etc/hosts is a file bound from elsewhere.
    nesk_test::TempDir outside("bound-hosts");
    const std::string bound = outside.file("hosts");
    nesk_test::write_whole_file(bound, "outside\n");
    ASSERT_EQ(mount(bound.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    {
        NodeSandbox sandbox;
        sandbox.overlay_etc().write_file("/etc/hosts", "inside\n");
        EXPECT_EQ(read_whole_file("/etc/hosts"), "inside\n");
        sandbox.remove("/etc/hosts");
        EXPECT_FALSE(nesk_utils::is_file("/etc/hosts"));
    }
    EXPECT_EQ(read_whole_file("/etc/hosts"), "outside\n");
    EXPECT_EQ(read_whole_file(bound), "outside\n");
    EXPECT_EQ(umount2("/etc/hosts", MNT_DETACH), 0);
}

}  // namespace
