// Timing a variant beside its floor in one loop: each iteration runs both,
// in alternating order, so that load from other processes on the machine
// falls on both alike. Reported: the variant's and the floor's mean time
// (microseconds) and the median of the per-iteration ratios variant / floor,
// which a preemption in a few iterations does not move.
#ifndef NESK_BENCH_PAIRED_H
#define NESK_BENCH_PAIRED_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace nesk_bench {

// `variant` and `floor` return false on failure, which ends the run with an
// error. The benchmark's own time is the variant's (manual time).
template <typename Variant, typename Floor>
void paired_loop(benchmark::State& state, Variant&& variant, Floor&& floor) {
    using clock = std::chrono::steady_clock;
    double variant_total = 0;
    double floor_total = 0;
    bool variant_first = true;
    std::vector<double> ratios;
    for (auto _ : state) {
        double times[2] = {0, 0};  // variant, floor
        for (int turn = 0; turn < 2; ++turn) {
            const bool run_variant = (turn == 0) == variant_first;
            const auto start = clock::now();
            const bool ok = run_variant ? variant() : floor();
            const std::chrono::duration<double> took = clock::now() - start;
            if (!ok) {
                state.SkipWithError(run_variant ? "variant failed" : "floor failed");
                return;
            }
            times[run_variant ? 0 : 1] = took.count();
        }
        variant_first = !variant_first;
        variant_total += times[0];
        floor_total += times[1];
        if (times[1] > 0) ratios.push_back(times[0] / times[1]);
        state.SetIterationTime(times[0]);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["variant_us"] = variant_total / n * 1e6;
    state.counters["floor_us"] = floor_total / n * 1e6;
    if (!ratios.empty()) {
        auto middle = ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2);
        std::nth_element(ratios.begin(), middle, ratios.end());
        state.counters["ratio"] = *middle;
    }
}

}  // namespace nesk_bench

#endif
