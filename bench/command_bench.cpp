// Cost of running a trivial command through each runner, next to the bare
// cost of starting and reaping a shell, so that the runners' own overhead
// (pipes, collection, splitting) shows as the difference.
#include "nesk_utils.h"

#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <list>
#include <string>

extern char** environ;

namespace {

// posix_spawn of "/bin/sh -c true" and waitpid, nothing else.
void bare_spawn_sh(benchmark::State& state) {
    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char command[] = "true";
    char* argv[] = {sh, dash_c, command, nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        const int rc = posix_spawn(&pid, sh, nullptr, nullptr, argv, environ);
        if (rc != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        benchmark::DoNotOptimize(status);
    }
}

void execute_command_true(benchmark::State& state) {
    std::list<std::string> lines;
    std::string error;
    for (auto _ : state) {
        error.clear();
        const int status = nesk_utils::execute_command("true", lines, error, 0);
        if (status != 0) {
            state.SkipWithError("execute_command(\"true\") failed");
            break;
        }
    }
}

void popen_true(benchmark::State& state) {
    std::list<std::string> lines;
    for (auto _ : state) {
        const int status = nesk_utils::popen("true", lines, 0);
        if (status != 0) {
            state.SkipWithError("popen(\"true\") failed");
            break;
        }
    }
}

}  // namespace

BENCHMARK(bare_spawn_sh)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(execute_command_true)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(popen_true)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
