// The three MurmurHash3 variants beside the reference algorithm
// (murmur_reference.h), alternating batch by batch in one loop (paired.h),
// from 16 bytes to 1 MiB. "ratio" is library / reference; the digests of both
// are compared before timing.
#include "MurmurHash3.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "murmur_reference.h"
#include "paired.h"

namespace {

using hash_fn = void (*)(const void*, int, uint32_t, void*);

std::vector<unsigned char> input(size_t size) {
    std::vector<unsigned char> buffer(size);
    for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(i * 131 + 7);
    return buffer;
}

// Every tail length, both alignments and a few seeds give the same digest.
bool same_digests(hash_fn library, hash_fn reference) {
    const std::vector<unsigned char> buffer = input(4096 + 1);
    for (int len = 0; len <= 4096; len = len < 64 ? len + 1 : len * 2) {
        for (size_t offset : {0, 1}) {
            for (uint32_t seed : {0u, 42u, 0xffffffffu}) {
                unsigned char a[16] = {}, b[16] = {};
                library(buffer.data() + offset, len, seed, a);
                reference(buffer.data() + offset, len, seed, b);
                if (std::memcmp(a, b, sizeof a) != 0) return false;
            }
        }
    }
    return true;
}

template <hash_fn Library, hash_fn Reference>
void murmur(benchmark::State& state) {
    if (!same_digests(Library, Reference))
        return state.SkipWithError("the digests differ from the reference");
    const auto size = static_cast<size_t>(state.range(0));
    const std::vector<unsigned char> buffer = input(size);
    // Enough calls per timed batch to stay well above the clock's resolution.
    const size_t calls = size < (256 << 10) ? (256 << 10) / size : 1;
    alignas(16) unsigned char out[16];
    auto batch = [&](hash_fn hash) {
        for (size_t i = 0; i < calls; ++i) {
            hash(buffer.data(), static_cast<int>(size), static_cast<uint32_t>(i), out);
            benchmark::DoNotOptimize(out);
        }
        return true;
    };
    nesk_bench::paired_loop(state, [&] { return batch(Library); },
                            [&] { return batch(Reference); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * calls * size));
}

}  // namespace

BENCHMARK_TEMPLATE(murmur, MurmurHash3_x86_32, murmur_reference::x86_32)
    ->RangeMultiplier(4)->Range(16, 1 << 20)->UseManualTime();
BENCHMARK_TEMPLATE(murmur, MurmurHash3_x86_128, murmur_reference::x86_128)
    ->RangeMultiplier(4)->Range(16, 1 << 20)->UseManualTime();
BENCHMARK_TEMPLATE(murmur, MurmurHash3_x64_128, murmur_reference::x64_128)
    ->RangeMultiplier(4)->Range(16, 1 << 20)->UseManualTime();

BENCHMARK_MAIN();
