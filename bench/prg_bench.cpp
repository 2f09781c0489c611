// generate_prg_data against a plain std::mt19937 loop filling the same 1 Mi
// words, both seeded afresh per fill. Run with repetitions interleaved at
// random (the default here) so that both see the same machine load.
#include "nesk_utils.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

const unsigned int k_words = 1u << 20;
const unsigned int k_seed = 0x2545f491u;

void generate_prg_data_fill(benchmark::State& state) {
    std::vector<unsigned int> buf(k_words);
    for (auto _ : state) {
        nesk_utils::generate_prg_data(k_seed, buf.data(), k_words);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_words * 4);
}

void std_mt19937_fill(benchmark::State& state) {
    std::vector<unsigned int> buf(k_words);
    for (auto _ : state) {
        std::mt19937 generator(k_seed);
        for (unsigned int i = 0; i < k_words; ++i) buf[i] = generator();
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * k_words * 4);
}

}  // namespace

BENCHMARK(generate_prg_data_fill)->Unit(benchmark::kMillisecond);
BENCHMARK(std_mt19937_fill)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // Defaults first, so that flags given on the command line win.
    std::vector<std::string> defaults = {"--benchmark_repetitions=10",
                                         "--benchmark_enable_random_interleaving=true",
                                         "--benchmark_report_aggregates_only=true"};
    std::vector<char*> args{argv[0]};
    for (std::string& flag : defaults) args.push_back(&flag[0]);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
