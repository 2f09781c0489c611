// Mount table helpers on real mounts made in the test's private mount
// namespace: a tmpfs, a bind mount, a loop-backed XFS under a name with a
// blank, and two file systems stacked on one point.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "fd_util.h"
#include "nesk_utils.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using List = std::list<std::string>;

TEST(CreateFileSysArgs, JoinsWithCommas) {
    const struct {
        List options;
        const char* joined;
    } cases[] = {
        {{}, ""},
        {{"rw"}, "rw"},
        {{"rw", "noatime", "inode64"}, "rw,noatime,inode64"},
        {{"", "", "rw"}, "rw"},  // nothing built yet: no comma
        {{"rw", "", "x"}, "rw,,x"},
    };
    for (const auto& c : cases) {
        List options = c.options;
        EXPECT_EQ(nesk_utils::create_file_sys_args(options), c.joined);
    }
}

// Layout under a scratch directory T in the sandbox's /tmp:
//   T/fast           tmpfs "nesk-fast", holding sub/deeper/
//   T/bound          bind mount of T/fast/sub
//   T/with blank     the XFS of a loop device
//   T/stack          tmpfs "first", then tmpfs "second" on top
class MountsTest : public SandboxTest {
protected:
    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        xfs_ = std::make_unique<LoopDevice>(300ULL << 20);
        make_xfs(xfs_->path());
    }
    static void TearDownTestSuite() { xfs_.reset(); }

    void SetUpNode() override {
        top_ = std::make_unique<TempDir>("nesk-mounts");
        for (const char* dir : {"fast", "bound", "with blank", "stack"})
            ASSERT_EQ(::mkdir(at(dir).c_str(), 0755), 0) << dir;
        mounts_.push_back(std::make_unique<ScopedMount>("nesk-fast", at("fast"), "tmpfs", 0));
        ASSERT_EQ(::mkdir(at("fast/sub").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(at("fast/sub/deeper").c_str(), 0755), 0);
        mounts_.push_back(std::make_unique<ScopedMount>(at("fast/sub"), at("bound"), "", MS_BIND));
        mounts_.push_back(std::make_unique<ScopedMount>(xfs_->path(), at("with blank"), "xfs", 0));
        mounts_.push_back(std::make_unique<ScopedMount>("first", at("stack"), "tmpfs", 0));
        mounts_.push_back(std::make_unique<ScopedMount>("second", at("stack"), "tmpfs", 0));
    }
    void TearDown() override {
        while (!mounts_.empty()) mounts_.pop_back();  // the last made goes first
        top_.reset();
        SandboxTest::TearDown();
    }

    std::string at(const std::string& name) const { return top_->file(name); }

    static inline std::unique_ptr<LoopDevice> xfs_;
    std::unique_ptr<TempDir> top_;
    std::vector<std::unique_ptr<ScopedMount>> mounts_;
};

TEST_F(MountsTest, MountPathOfPathsAboveOnAndBelowMounts) {
    const struct {
        std::string path;
        std::string mount_path;
    } cases[] = {
        {"/etc/passwd", "/"},
        {top_->path(), "/tmp"},
        {at("fast"), at("fast")},
        {at("fast") + "//", at("fast")},  // the mount point, not below it
        {at("fast/sub/deeper"), at("fast")},
        {at("bound/deeper"), at("bound")},
        {at("with blank"), at("with blank")},
        {at("stack"), at("stack")},
    };
    for (const auto& c : cases) {
        std::string mount_path = "unchanged";
        EXPECT_EQ(nesk_utils::extract_mount_path(c.path, mount_path), 0) << c.path;
        EXPECT_EQ(mount_path, c.mount_path) << c.path;
    }

    std::string mount_path = "unchanged";
    EXPECT_EQ(nesk_utils::extract_mount_path(at("missing/file"), mount_path), -1);
    EXPECT_EQ(mount_path, "unchanged");

    // A relative path climbs by its text and ends at ".", not at the mount point.
    nesk::unique_fd cwd(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(::chdir(at("fast/sub").c_str()), 0);
    const int relative = nesk_utils::extract_mount_path("deeper", mount_path);
    ASSERT_EQ(::fchdir(cwd.get()), 0);
    EXPECT_EQ(relative, 0);
    EXPECT_EQ(mount_path, ".");
}

TEST_F(MountsTest, TableEntryOfAMountPoint) {
    const struct {
        std::string point;
        int found;
        const char* device;
        const char* fs_type;
    } cases[] = {
        {at("fast"), 1, "nesk-fast", "tmpfs"},
        {at("fast") + "/", 1, "nesk-fast", "tmpfs"},  // the same directory
        {at("bound"), 1, "nesk-fast", "tmpfs"},
        {at("with blank"), 1, "", "xfs"},  // the table writes the blank as \040
        {at("stack"), 1, "first", "tmpfs"},  // the first listed wins
        {at("fast/sub"), 0, "unchanged", "unchanged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.point);
        std::string device = "unchanged", fs_type = "unchanged";
        List options{"kept"};
        EXPECT_EQ(nesk_utils::is_mounted(c.point, device, fs_type, options), c.found);
        EXPECT_EQ(device, *c.device ? c.device : xfs_->path());
        EXPECT_EQ(fs_type, c.fs_type);
        ASSERT_FALSE(options.empty());
        EXPECT_EQ(options.front(), "kept");
        if (c.found) {
            ASSERT_GE(options.size(), 2u);
            EXPECT_EQ(*std::next(options.begin()), "rw");
        } else {
            EXPECT_EQ(options.size(), 1u);
        }
    }
}

TEST_F(MountsTest, DeviceOfADirectory) {
    std::string device, fs_type;
    List options;
    for (const std::string& dir : {at("fast/sub/deeper"), at("fast") + "/"}) {
        SCOPED_TRACE(dir);
        device = fs_type = "unchanged";
        options.clear();
        ASSERT_EQ(nesk_utils::get_dir_bdev(dir, device, fs_type, options), 0);
        EXPECT_EQ(device, "nesk-fast");
        EXPECT_EQ(fs_type, "tmpfs");
        ASSERT_FALSE(options.empty());
        EXPECT_EQ(options.front(), "rw");
    }

    std::string root_device, root_fs_type;
    List root_options;
    ASSERT_EQ(nesk_utils::is_mounted("/", root_device, root_fs_type, root_options), 1);
    device.clear();
    EXPECT_EQ(nesk_utils::get_dir_bdev("/etc/passwd", device, fs_type, options), 0);
    EXPECT_EQ(device, root_device);
    EXPECT_EQ(fs_type, root_fs_type);

    EXPECT_EQ(nesk_utils::get_dir_bdev(at("missing"), device, fs_type, options), -1);
}

}  // namespace
