// SCSI discovery on simulated nodes of 64, 512 and 4096 disks: the time per
// disk ("per_disk") should stay flat and the fitted complexity be O(N).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cerrno>

#include <memory>
#include <string>

#include "nesk_blkdev.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using nesk_test::HostKind;
using nesk_test::NodeSandbox;
using nesk_test::ScopedPlatform;
using nesk_test::ScsiDisk;

std::unique_ptr<NodeSandbox> node;
std::unique_ptr<ScopedPlatform> platform;
long node_disks = -1;

// Kernel disk names: sda ... sdz, sdaa ...
std::string disk_name(unsigned long index) {
    std::string suffix;
    unsigned long n = index + 1;
    while (n > 0) {
        --n;
        suffix.insert(suffix.begin(), static_cast<char>('a' + n % 26));
        n /= 26;
    }
    return "sd" + suffix;
}

void build_node(long disks) {
    if (node_disks == disks) return;
    platform.reset();
    node.reset();
    node = std::make_unique<NodeSandbox>();
    platform = std::make_unique<ScopedPlatform>();  // its log lives in the node's /tmp
    // 256 targets per SAS host, a removable drive and an enclosure on the side.
    for (long i = 0; i < disks; ++i) {
        const unsigned long host = static_cast<unsigned long>(i) / 256 + 1;
        if (i % 256 == 0) node->add_scsi_host(static_cast<unsigned int>(host), HostKind::sas);
        const std::string address =
            std::to_string(host) + ":0:" + std::to_string(i % 256) + ":0";
        node->add_scsi_disk(ScsiDisk(address, disk_name(static_cast<unsigned long>(i)))
                                .with_vendor("SEAGATE ")
                                .with_model("ST4000NM0295    ")
                                .with_size(7814037168ULL)
                                .with_serial("ZC" + std::to_string(100000 + i) + "        "));
    }
    node->add_enclosure("0:0:200:0");
    node->add_scsi_disk(ScsiDisk::optical("0:0:0:0", "sr0"));
    node_disks = disks;
}

void BM_EnumerateScsi(benchmark::State& state) {
    const std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    const long disks = state.range(0);
    build_node(disks);
    for (auto _ : state) {
        nesk_blkdevmgr manager;
        if (manager.enumerate_scsi_blkdevs() != 0 ||
            manager.blkdev_map.size() != static_cast<size_t>(disks)) {
            state.SkipWithError("discovery did not find every simulated disk");
            break;
        }
        state.PauseTiming();
        // Each disk writes one "Found block device" line: keep the log small.
        if (truncate(platform->log_file().c_str(), 0) != 0 && errno != ENOENT) {
            state.SkipWithError("cannot truncate the log");
            break;
        }
        state.ResumeTiming();
    }
    state.SetComplexityN(disks);
    state.counters["per_disk"] = benchmark::Counter(
        static_cast<double>(disks),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EnumerateScsi)
    ->Arg(64)
    ->Arg(512)
    ->Arg(4096)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Enter the private mount namespace while the process is single-threaded.
    NodeSandbox::unavailable_reason();
    benchmark::RunSpecifiedBenchmarks();
    platform.reset();
    node.reset();
    benchmark::Shutdown();
    return 0;
}
