// Cost of new-disk selection over 8, 32 and 128 blank disks (real loop
// devices behind SCSI-named nodes of a simulated node), per disk, next to its
// floor, a bare read of each disk's first bytes: a blank disk is only read,
// never mounted. And the probe of one stamped XFS disk next to its floor, the
// read-only mount and the unmount commands alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "ZavProcess.h"
#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

constexpr int k_max_disks = 128;
std::vector<std::unique_ptr<LoopDevice>> loops;

// Kernel-style disk names: sda ... sdz, sdaa ...
std::string disk_name(int index) {
    std::string letters;
    for (int n = index + 1; n > 0; n = (n - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('a' + (n - 1) % 26));
    return "sd" + letters;
}

// A node with the first `count` loop devices as SCSI disks, and a manager that
// has discovered them (no in-use enumeration: every disk gets probed).
class Node {
public:
    explicit Node(int count) {
        for (int i = 0; i < count; ++i)
            sandbox_.add_scsi_disk(ScsiDisk("0:0:" + std::to_string(i) + ":0", disk_name(i))
                                       .with_devnum(loops[static_cast<size_t>(i)]->devnum())
                                       .with_size(loops[static_cast<size_t>(i)]->sectors()));
        manager_ = std::make_unique<nesk_blkdevmgr>();
        manager_->enumerate_scsi_blkdevs();
    }
    nesk_blkdevmgr& manager() { return *manager_; }

private:
    NodeSandbox sandbox_;
    ScopedPlatform platform_;  // the log at its default level, as on a node
    std::unique_ptr<nesk_blkdevmgr> manager_;
};

void report_per_disk(benchmark::State& state, int count) {
    state.counters["disks"] = count;
    // Seconds per disk.
    state.counters["per_disk"] = benchmark::Counter(
        count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void get_new_disks(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Node node(count);
    std::list<nesk_blkdev_basic_info> disks;
    for (auto _ : state) {
        node.manager().get_new_disks(0, disks);
        if (static_cast<int>(disks.size()) != count) {
            state.SkipWithError("a blank disk was not reported new");
            break;
        }
    }
    report_per_disk(state, count);
}

// The floor of a blank disk's probe: open it exclusively, read its first
// four bytes, close it, in this process.
void head_read(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Node node(count);
    std::vector<std::string> devices;
    for (int i = 0; i < count; ++i) devices.push_back("/dev/" + disk_name(i));
    for (auto _ : state)
        for (const std::string& device : devices) {
            const int fd = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
            char head[4];
            benchmark::DoNotOptimize(::pread(fd, head, sizeof head, 0));
            ::close(fd);
        }
    report_per_disk(state, count);
}

// One disk carrying the stamp set on XFS.
class StampedNode {
public:
    StampedNode() {
        sandbox_.add_scsi_disk(ScsiDisk("0:0:0:0", "sda")
                                   .with_devnum(stamped->devnum())
                                   .with_size(stamped->sectors()));
    }

    static inline std::unique_ptr<LoopDevice> stamped;

private:
    NodeSandbox sandbox_;
    ScopedPlatform platform_;
};

void stamped_probe(benchmark::State& state) {
    StampedNode node;
    nesk_blkdevmgr manager;
    for (auto _ : state)
        if (!manager.is_active_bdev("/dev/sda")) {
            state.SkipWithError("the stamped disk was not found active");
            break;
        }
}

// The floor of a stamped disk's probe: its mount and unmount commands alone.
void stamped_mount_and_unmount(benchmark::State& state) {
    StampedNode node;
    char dir[] = "/tmp/benchXXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    const std::string mount = std::string("mount -t xfs -o ro,norecovery /dev/sda ") + dir;
    const std::string unmount = std::string("umount ") + dir;
    for (auto _ : state) {
        std::string out, err;
        if (ZavProcess::system(mount.c_str(), &out, &err) != 0 ||
            ZavProcess::system(unmount.c_str(), &out, &err) != 0) {
            state.SkipWithError("mount or umount failed");
            break;
        }
    }
}

BENCHMARK(get_new_disks)->Arg(8)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(head_read)->Arg(8)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(stamped_probe)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(stamped_mount_and_unmount)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) {
        std::fprintf(stderr, "new_disks_bench: skipped: %s\n", why.c_str());
        return 0;
    }
    // Small sparse devices made once, before any sandbox; the kernel detaches
    // them when this process ends.
    for (int i = 0; i < k_max_disks; ++i)
        loops.push_back(std::make_unique<LoopDevice>(16ULL << 20));
    StampedNode::stamped = std::make_unique<LoopDevice>(300ULL << 20);
    make_xfs(StampedNode::stamped->path());
    set_root_attributes(StampedNode::stamped->path(), valid_stamps("/dev/sda"));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    StampedNode::stamped.reset();
    loops.clear();
    return 0;
}
