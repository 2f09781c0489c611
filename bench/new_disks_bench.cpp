// Cost of new-disk selection over 8, 32 and 128 blank disks (real loop
// devices behind SCSI-named nodes of a simulated node), per disk, next to the
// cost of the probe's mount attempt alone on the same disks: the difference is
// what selection adds around the mounts (scratch directories, logging, sort).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <list>
#include <memory>
#include <string>
#include <vector>

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

// The mount command of the probe alone, on a directory made beforehand.
void mount_attempt(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Node node(count);
    std::vector<std::string> devices;
    for (int i = 0; i < count; ++i) devices.push_back("/dev/" + disk_name(i));
    char dir[] = "/tmp/benchXXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    for (auto _ : state)
        for (const std::string& device : devices)
            benchmark::DoNotOptimize(node.manager().mount(dir, device, "xfs", ""));
    report_per_disk(state, count);
}

BENCHMARK(get_new_disks)->Arg(8)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(mount_attempt)->Arg(8)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond)->UseRealTime();

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
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    loops.clear();
    return 0;
}
