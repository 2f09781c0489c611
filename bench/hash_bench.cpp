// Throughput of the three MurmurHash3 variants over buffers that fit in L1/L2
// (16 KiB) and that do not (1 MiB).
#include "MurmurHash3.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

template <void (*Hash)(const void*, int, uint32_t, void*)>
void hash_throughput(benchmark::State& state) {
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> buffer(size);
    for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(i * 131 + 7);
    alignas(16) unsigned char out[16];
    for (auto _ : state) {
        Hash(buffer.data(), static_cast<int>(size), 42, out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

}  // namespace

BENCHMARK_TEMPLATE(hash_throughput, MurmurHash3_x86_32)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(hash_throughput, MurmurHash3_x86_128)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(hash_throughput, MurmurHash3_x64_128)->Arg(16 << 10)->Arg(1 << 20);

BENCHMARK_MAIN();
