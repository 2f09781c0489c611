// The two command runners beside the floor made of the same system calls:
// "/bin/sh -c" started with posix_spawn, its standard output read to the end
// with a plain read loop, the shell waited for. Variant and floor alternate
// call by call (see paired.h); the "ratio" counter is variant / floor.
//
//   *_10MiB  a command printing 10 MiB in 111,588 lines, read as lines
//   *_true   "true": the runner's own cost of starting and reaping a shell
#include "nesk_utils.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <list>
#include <string>

#include "paired.h"

extern char** environ;

namespace {

const size_t k_lines = 111588;
const size_t k_bytes = 10 * 1024 * 1024;

// A file of k_lines lines and k_bytes bytes in all, each line with blanks at
// both ends, removed when the benchmark ends.
class OutputFile {
public:
    OutputFile() {
        char name[] = "/tmp/nesk-command-bench-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) return;
        path_ = name;
        std::string text;
        text.reserve(k_bytes);
        const size_t longer = k_bytes - k_lines * (k_bytes / k_lines);
        for (size_t i = 0; i < k_lines; ++i) {
            const size_t size = k_bytes / k_lines + (i < longer ? 1 : 0);  // line feed included
            std::string line = "  " + std::to_string(i) + " ";
            line.resize(size - 3, 'x');
            line += " \t\n";
            text += line;
        }
        ok_ = text.size() == k_bytes &&
              write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
    }
    ~OutputFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    bool ok() const { return ok_; }
    std::string command() const { return "cat " + path_; }

private:
    std::string path_;
    bool ok_ = false;
};

const OutputFile& output_file() {
    static const OutputFile file;
    return file;
}

// posix_spawn of "/bin/sh -c COMMAND"; with `read_output`, its standard
// output goes to a pipe read until end of file. Then waitpid.
bool bare_spawn(const char* command, bool read_output) {
    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (read_output) {
        if (pipe2(fds, O_CLOEXEC) != 0) return false;
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, sh, read_output ? &actions : nullptr, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (read_output) close(fds[1]);
    if (rc != 0) {
        if (read_output) close(fds[0]);
        return false;
    }
    size_t total = 0;
    if (read_output) {
        static char buffer[64 * 1024];
        for (;;) {
            const ssize_t got = read(fds[0], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            total += static_cast<size_t>(got);
        }
        close(fds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    benchmark::DoNotOptimize(total);
    return status == 0 && (!read_output || total == k_bytes);
}

void execute_command_10MiB(benchmark::State& state) {
    if (!output_file().ok()) return state.SkipWithError("cannot write the output file");
    const std::string command = output_file().command();
    std::list<std::string> lines;
    std::string error;
    nesk_bench::paired_loop(
        state,
        [&] {
            return nesk_utils::execute_command(command, lines, error, 0) == 0 &&
                   lines.size() == k_lines;
        },
        [&] { return bare_spawn(command.c_str(), true); });
}

void popen_10MiB(benchmark::State& state) {
    if (!output_file().ok()) return state.SkipWithError("cannot write the output file");
    const std::string command = output_file().command();
    std::list<std::string> lines;
    nesk_bench::paired_loop(
        state,
        [&] { return nesk_utils::popen(command, lines, 0) == 0 && lines.size() == k_lines; },
        [&] { return bare_spawn(command.c_str(), true); });
}

void execute_command_true(benchmark::State& state) {
    std::list<std::string> lines;
    std::string error;
    nesk_bench::paired_loop(
        state, [&] { return nesk_utils::execute_command("true", lines, error, 0) == 0; },
        [] { return bare_spawn("true", false); });
}

void popen_true(benchmark::State& state) {
    std::list<std::string> lines;
    nesk_bench::paired_loop(
        state, [&] { return nesk_utils::popen("true", lines, 0) == 0; },
        [] { return bare_spawn("true", false); });
}

}  // namespace

BENCHMARK(execute_command_10MiB)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(popen_10MiB)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(execute_command_true)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(popen_true)->Unit(benchmark::kMicrosecond)->UseManualTime();

BENCHMARK_MAIN();
