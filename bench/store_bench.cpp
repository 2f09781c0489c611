// Reading one number from the configuration store, as every nesk_debug does
// when it is made, beside the floor every read must pay: one stat(2) of the
// store, the check that the file has not changed since it was parsed.
// Alternating call by call (paired.h); "ratio" is getNumber / stat.
//
// The store holds 40 keys, the looked-up one last, as on a node.
#include "ZAVPlatformInfo.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "paired.h"

namespace {

// A store file named by NESK_CONFIG_FILE for the benchmark's run.
class BenchStore {
public:
    BenchStore() {
        char dir[] = "/tmp/nesk-store-bench-XXXXXX";
        if (!mkdtemp(dir)) return;
        dir_ = dir;
        path_ = dir_ + "/config.ini";
        std::string text = "[Vantor]\n";
        for (int i = 0; i < 39; ++i)
            text += "sKey" + std::to_string(i) + "=value number " + std::to_string(i) + "\n";
        text += "nNESKUtilsDebugLevel=2\n";
        FILE* file = std::fopen(path_.c_str(), "we");
        if (!file) return;
        ok_ = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        ok_ = std::fclose(file) == 0 && ok_;
        setenv("NESK_CONFIG_FILE", path_.c_str(), 1);
    }
    ~BenchStore() {
        if (!path_.empty()) unlink(path_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
    bool ok_ = false;
};

void store_get_number(benchmark::State& state) {
    static const BenchStore store;
    if (!store.ok()) return state.SkipWithError("cannot write the store");
    // Past the timestamp tick of the write, so that the parsed file is kept.
    usleep(100 * 1000);
    nesk_bench::paired_loop(
        state,
        [] {
            ZAVPlatformInfo info;
            unsigned long value = 0;
            return info.getNumber("Vantor", "nNESKUtilsDebugLevel", &value) != 0 && value == 2;
        },
        [] {
            struct stat st;
            return stat(store.path().c_str(), &st) == 0;
        });
}

}  // namespace

BENCHMARK(store_get_number)->Unit(benchmark::kMicrosecond)->UseManualTime();

BENCHMARK_MAIN();
