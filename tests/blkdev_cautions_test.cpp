// Cautions read from real loop devices carrying real signatures, with holders
// and active swap areas laid out in the sandbox's sysfs and /proc/swaps.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "nesk_blkdev.h"
#include "real_devices.h"

using namespace nesk_test;

namespace {

constexpr unsigned long long k_disk_bytes = 64ULL << 20;

bool have(const char* program) {
    return run_program({"sh", "-c", std::string("command -v ") + program}) == 0;
}

// One loop device per case, written once for the whole suite.
class CautionsTest : public SandboxTest {
protected:
    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        auto make = [](const std::string& name,
                       unsigned long long bytes = k_disk_bytes) -> LoopDevice& {
            return *(loops_[name] = std::make_unique<LoopDevice>(bytes));
        };
        make("sdh", 0);  // no bytes to read
        make("sdb");
        run_checked({"mkfs.ext4", "-q", "-F", make("sdc").path()});
        run_checked({"mkswap", make("sdd").path()});
        run_checked({"parted", "-s", make("sde").path(), "mklabel", "gpt"});
        make("sdf").make_one_partition();
        if (have("cryptsetup")) {
            TempDir dir;
            const std::string key = dir.path() + "/key";
            run_checked({"sh", "-c", "printf secret >" + key});
            run_checked({"cryptsetup", "luksFormat", "-q", "--type", "luks2", "--pbkdf", "pbkdf2",
                         "--pbkdf-force-iterations", "1000", "--key-file", key,
                         make("sdg").path()});
        }
    }
    static void TearDownTestSuite() { loops_.clear(); }

    void SetUpNode() override {
        for (const auto& loop : loops_)
            sandbox().add_scsi_disk(ScsiDisk("0:0:" + std::to_string(loop.first[2] - 'a') + ":0",
                                             loop.first)
                                        .with_devnum(loop.second->devnum()));
    }

    static inline std::map<std::string, std::unique_ptr<LoopDevice>> loops_;
};

TEST_F(CautionsTest, NamesEverySignatureAndTable) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"sdb", {}},
        {"sdc", {"signature:ext4"}},
        {"sdd", {"signature:swap"}},
        {"sde", {"partition-table:gpt"}},
        {"sdf", {"partition-table:dos"}},
        {"sdg", {"signature:crypto_LUKS"}},
    };
    for (const auto& c : cases) {
        if (!loops_.count(c.first)) continue;  // no cryptsetup on this machine
        SCOPED_TRACE(c.first);
        std::vector<std::string> cautions{"stale"};
        EXPECT_EQ(get_disk_cautions("/dev/" + c.first, cautions), 0);
        EXPECT_EQ(cautions, c.second);
    }
}

TEST_F(CautionsTest, HoldersAndActiveSwapFromTheKernelsTables) {
    sandbox()
        .make_dir("/sys/block/sdb/holders/dm-1")
        .make_dir("/sys/block/sdb/holders/dm-0")
        .write_file("/sys/block/sdf/sdf1/partition", "1\n")
        .set_proc_swaps(NodeSandbox::proc_swaps_heading() +
                        "/dev/sdd                                partition\t65532\t\t0\t\t-2\n"
                        "/dev/sdf1                               partition\t1024\t\t0\t\t-3\n"
                        "/var/sdc                                file\t\t1024\t\t0\t\t-4\n");
    std::vector<std::string> cautions;
    EXPECT_EQ(get_disk_cautions("/dev/sdb", cautions), 0);
    EXPECT_EQ(cautions, (std::vector<std::string>{"holder:dm-0", "holder:dm-1"}));
    EXPECT_EQ(get_disk_cautions("/dev/sdd", cautions), 0);
    EXPECT_EQ(cautions, (std::vector<std::string>{"signature:swap", "swap"}));
    EXPECT_EQ(get_disk_cautions("/dev/sdf", cautions), 0);
    EXPECT_EQ(cautions, (std::vector<std::string>{"partition-table:dos", "swap"}));
    // A swap file named like a disk is not the disk.
    EXPECT_EQ(get_disk_cautions("/dev/sdc", cautions), 0);
    EXPECT_EQ(cautions, (std::vector<std::string>{"signature:ext4"}));
}

// A disk without a node, or of no bytes, tells nothing about itself, which
// is no sign of a blank disk.
TEST_F(CautionsTest, UnreadableDiskFailsButKeepsWhatSysfsTells) {
    sandbox().add_scsi_disk(ScsiDisk("0:0:9:0", "sdz").without_node());
    for (const char* name : {"sdz", "sdh"}) {
        SCOPED_TRACE(name);
        sandbox().make_dir(std::string("/sys/block/") + name + "/holders/md0");
        std::vector<std::string> cautions;
        EXPECT_EQ(get_disk_cautions(std::string("/dev/") + name, cautions), -1);
        EXPECT_EQ(cautions, (std::vector<std::string>{"holder:md0"}));
    }
}

}  // namespace
