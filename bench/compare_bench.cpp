// compare_files against cmp(1) on the same two equal 256 MiB files, which sit
// in the page cache: the throughput of the comparison itself, without disk
// reads. The two run in alternation, several rounds each, and the program ends
// with the ratio of their median times (above 1: compare_files is faster).
#include "nesk_blkdev.h"
#include "nesk_utils.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

extern char** environ;

namespace {

const size_t k_file_bytes = 256u << 20;
const int k_rounds = 5;

std::string g_file_a;
std::string g_file_b;

// Writes `bytes` bytes of a fixed pattern to `path`.
bool write_pattern(const std::string& path, size_t bytes) {
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 131 + 7);
    FILE* out = std::fopen(path.c_str(), "we");
    if (!out) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < bytes; done += chunk.size())
        ok = std::fwrite(chunk.data(), 1, chunk.size(), out) == chunk.size();
    return std::fclose(out) == 0 && ok;
}

// Exit status of "cmp -s a b", -1 when it could not be run.
int run_cmp(const std::string& a, const std::string& b) {
    std::string cmp = "cmp", quiet = "-s", first = a, second = b;
    char* argv[] = {&cmp[0], &quiet[0], &first[0], &second[0], nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "cmp", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void compare_files_256mib(benchmark::State& state) {
    for (auto _ : state) {
        if (nesk_utils::compare_files(g_file_a, g_file_b) != 0) {
            state.SkipWithError("compare_files did not find the files equal");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * k_file_bytes));
}

void cmp_256mib(benchmark::State& state) {
    for (auto _ : state) {
        if (run_cmp(g_file_a, g_file_b) != 0) {
            state.SkipWithError("cmp did not find the files equal");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * k_file_bytes));
}

// Console output as usual, and the real time per iteration of every run kept
// by benchmark name for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (!run.error_occurred && run.iterations > 0)
                times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
        ConsoleReporter::ReportRuns(runs);
    }
    double median(const std::string& name) {
        std::vector<double>& t = times_[name];
        if (t.empty()) return 0;
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    nesk_test::TempDir dir("nesk-compare-bench");
    g_file_a = dir.file("a");
    g_file_b = dir.file("b");
    if (!write_pattern(g_file_a, k_file_bytes) || !write_pattern(g_file_b, k_file_bytes)) {
        std::fprintf(stderr, "cannot write the test files in %s\n", dir.path().c_str());
        return 1;
    }
    // One read of each, so that both start from the page cache.
    if (run_cmp(g_file_a, g_file_b) != 0) {
        std::fprintf(stderr, "cmp cannot compare the test files\n");
        return 1;
    }
    for (int round = 0; round < k_rounds; ++round) {
        benchmark::RegisterBenchmark("compare_files_256mib", compare_files_256mib)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("cmp_256mib", cmp_256mib)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ours = reporter.median("compare_files_256mib");
    const double theirs = reporter.median("cmp_256mib");
    if (ours > 0 && theirs > 0)
        std::printf("BUFFER_SIZE %d: median cmp time / compare_files time = %.2f\n", BUFFER_SIZE,
                    theirs / ours);
    benchmark::Shutdown();
    return 0;
}
