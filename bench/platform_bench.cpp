// Costs of the platform services on the library's hot paths: a log line, a
// store read (every nesk_debug reads the threshold), and a command run.
#include <cstdarg>
#include <string>

#include <benchmark/benchmark.h>

#include "EvDebug.h"
#include "ZAVPlatformInfo.h"
#include "ZavProcess.h"
#include "test_support.h"

namespace {

void log_line(EvDebug& debug, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    debug.handleMsgEventDebug_NEW(-1, "bench::log_line", 0, -1, 0, nullptr, format, arguments);
    va_end(arguments);
}

void BM_LogLine(benchmark::State& state) {
    nesk_test::ScopedPlatform platform;
    EvDebugFileInstance instance;
    EvDebug debug(nullptr);
    debug.initialize(&instance, 181993004, 0, false, "");
    debug.setLogFileSize(10);
    debug.setMaxVersion(10);
    int i = 0;
    for (auto _ : state) log_line(debug, "device %s has %d partitions", "/dev/sdb", ++i);
}
BENCHMARK(BM_LogLine);

void BM_ConfigGetNumber(benchmark::State& state) {
    nesk_test::ScopedPlatform platform;
    {
        ZAVPlatformInfo store;
        for (int i = 0; i < 30; ++i) store.setNumber("Vantor", "nKey" + std::to_string(i), i);
    }
    platform.set_debug_level(2);
    for (auto _ : state) {
        ZAVPlatformInfo store;
        unsigned long value = 0;
        benchmark::DoNotOptimize(store.getNumber("Vantor", "nNESKUtilsDebugLevel", &value));
    }
}
BENCHMARK(BM_ConfigGetNumber);

void BM_SystemTrue(benchmark::State& state) {
    for (auto _ : state) {
        std::string out, err;
        benchmark::DoNotOptimize(ZavProcess::system("true", &out, &err));
    }
}
BENCHMARK(BM_SystemTrue)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
