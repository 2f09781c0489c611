// Process runner: exit statuses, both streams, descriptors, ignored SIGCHLD.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ZavProcess.h"
#include "internal/posix_util.h"
#include "test_support.h"

namespace {

struct StatusCase {
    const char* command;
    int expected;
};

void expect_statuses(const StatusCase* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        std::string out, err;
        EXPECT_EQ(cases[i].expected, ZavProcess::system(cases[i].command, &out, &err, 0, false))
            << cases[i].command << " / stderr: " << err;
    }
}

const StatusCase kStatusCases[] = {
    {"exit 0", 0},
    {"exit 3", 3},
    {"exit 255", 255},
    {"true && false", 1},
    {"kill -9 $$", 137},
    {"kill -TERM $$", 143},
    {"nesk-no-such-program-here", 127},
};

// Restores SIGCHLD's disposition when the test ends, however it ends.
class SigchldGuard {
public:
    SigchldGuard() { sigaction(SIGCHLD, nullptr, &saved_); }
    ~SigchldGuard() { sigaction(SIGCHLD, &saved_, nullptr); }

private:
    struct sigaction saved_;
};

}  // namespace

TEST(ZavProcessSystem, ReportsExitStatusSignalAndMissingProgram) {
    expect_statuses(kStatusCases, sizeof kStatusCases / sizeof kStatusCases[0]);
    EXPECT_EQ(-1, ZavProcess::system(nullptr, nullptr, nullptr));
}

TEST(ZavProcessSystem, StatusSurvivesIgnoredSigchld) {
    SigchldGuard guard;
    for (int flags : {0, SA_NOCLDWAIT}) {
        struct sigaction ignore = {};
        ignore.sa_handler = flags ? SIG_DFL : SIG_IGN;
        ignore.sa_flags = flags;
        ASSERT_EQ(0, sigaction(SIGCHLD, &ignore, nullptr));
        expect_statuses(kStatusCases, sizeof kStatusCases / sizeof kStatusCases[0]);
        std::string out, err;
        EXPECT_EQ(4, ZavProcess::system("echo out; echo err >&2; exit 4", &out, &err));
        EXPECT_EQ("out\n", out);
        EXPECT_EQ("err\n", err);
        // The reporting shell's descriptor 3 is not passed on to the command.
        std::string listing;
        EXPECT_EQ(0, ZavProcess::system("ls /proc/self/fd", &listing, nullptr));
        EXPECT_EQ("0\n1\n2\n3\n", listing);
    }
}

TEST(ZavProcessSystem, SeparatesStreamsReplacesAndDiscards) {
    std::string out = "before:", err = "before:";
    EXPECT_EQ(0,
              ZavProcess::system("printf 'one\\n'; printf 'two' >&2; printf 'three'", &out, &err));
    EXPECT_EQ("one\nthree", out);
    EXPECT_EQ("two", err);

    EXPECT_EQ(2, ZavProcess::system("echo visible; echo hidden >&2; exit 2", &out, nullptr));
    EXPECT_EQ("visible\n", out);
    EXPECT_EQ(0, ZavProcess::system("echo hidden; echo visible >&2", nullptr, &err));
    EXPECT_EQ("visible\n", err);

    // Standard input is /dev/null, not the caller's: a reader sees end of
    // file at once although the caller's own input holds a line.
    nesk_test::ScopedStdin caller_input("caller's line\n");
    EXPECT_EQ(0, ZavProcess::system("cat; readlink /proc/self/fd/0", &out, nullptr));
    EXPECT_EQ("/dev/null\n", out);
}

TEST(ZavProcessSystem, LargeInterleavedStreamsArriveCompleteAndExact) {
    // Both streams are written at the same time, and the shell keeps standard
    // output open while it waits for the writer of standard error: a runner
    // that reads one stream to its end before the other deadlocks here.
    std::string out, err;
    ASSERT_EQ(0, ZavProcess::system("seq 1000001 1600000 >&2 & seq 1 600000; wait", &out, &err))
        << err.substr(0, 200);
    std::string expected_out, expected_err;
    for (int i = 1; i <= 600000; ++i) {
        expected_out += std::to_string(i) + "\n";
        expected_err += std::to_string(1000000 + i) + "\n";
    }
    EXPECT_GT(out.size(), 3u << 20);
    EXPECT_GT(err.size(), 3u << 20);
    EXPECT_TRUE(out == expected_out) << "stdout differs, size " << out.size();
    EXPECT_TRUE(err == expected_err) << "stderr differs, size " << err.size();
}

TEST(ZavProcessSystem, ChildGetsOnlyStandardDescriptors) {
    // A descriptor opened without close-on-exec must not reach the child either.
    nesk_platform::unique_fd inheritable(open("/dev/null", O_RDONLY));
    ASSERT_TRUE(inheritable);
    const int before = nesk_test::count_open_fds();
    std::string out, err;
    ASSERT_EQ(0, ZavProcess::system("ls /proc/self/fd", &out, &err)) << err;
    EXPECT_EQ("0\n1\n2\n3\n", out) << "3 is the listing's own descriptor";
    out.clear();
    ASSERT_EQ(0, ZavProcess::system("ls /proc/self/fd", &out, nullptr));
    EXPECT_EQ("0\n1\n2\n3\n", out);
    EXPECT_EQ(before, nesk_test::count_open_fds());
}

TEST(ZavProcessSystem, CannotStartGivesMinusOne) {
    // With no descriptor left for the pipes the shell cannot be started. The
    // limit is lowered in a child process so this one keeps its own.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct rlimit limit = {3, 3};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
        std::string out, err;
        _exit(ZavProcess::system("exit 0", &out, &err) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(ZavProcessPipe, OneCommandAtATimeAndNoWaitForUnreadOutput) {
    ZavProcessPipe pipe;
    char buffer[16];
    EXPECT_EQ(-1, pipe.close()) << "nothing open";
    EXPECT_EQ(0, pipe.read(buffer, sizeof buffer));
    EXPECT_FALSE(pipe.open(nullptr));

    ASSERT_TRUE(pipe.open("echo first; exit 3"));
    EXPECT_FALSE(pipe.open("echo second"));
    EXPECT_EQ(6, pipe.read(buffer, sizeof buffer));
    EXPECT_EQ("first\n", std::string(buffer, 6));
    EXPECT_EQ(0, pipe.read(buffer, sizeof buffer));
    EXPECT_EQ(3 << 8, pipe.close());

    // Closed before the output was read: the writer ends on SIGPIPE instead
    // of blocking on a full pipe, and the object is free for the next command.
    ASSERT_TRUE(pipe.open("exec yes"));
    EXPECT_EQ(SIGPIPE, pipe.close());
    // The destructor ends this one the same way.
    ASSERT_TRUE(pipe.open("exec yes"));
}

namespace {

using nesk_test::read_whole_file;
using nesk_test::TempDir;

// True once process `pid` has ended (gone, or a zombie of someone else's),
// waiting up to two seconds.
bool ends_soon(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        const std::string stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.find(") Z") != std::string::npos) return true;
        usleep(10 * 1000);
    }
    return false;
}

}  // namespace

// A limit ends the whole command, also what its shell left running, and the
// call returns without the command's output.
TEST(ZavProcessLimits, ExpiredCommandsLoseTheirWholeProcessGroup) {
    TempDir dir;
    const std::string pids = dir.file("pids");
    const std::string command =
        "echo $$ > " + pids + "; sleep 30 & echo $! >> " + pids + "; echo out; wait";

    std::string out = "old", err;
    bool expired = false;
    EXPECT_EQ(-1, ZavProcess::system_limited(command.c_str(), &out, &err, 300, &expired));
    EXPECT_TRUE(expired);
    ZavProcessPipe pipe;
    ASSERT_TRUE(pipe.open(("sleep 30 & echo $! >> " + pids + "; wait").c_str(), 300));
    char buffer[16];
    EXPECT_EQ(-1, pipe.read(buffer, sizeof buffer));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(-1, pipe.close());
    EXPECT_TRUE(pipe.expired());

    std::istringstream listed(read_whole_file(pids));
    int count = 0;
    for (pid_t pid; listed >> pid; ++count) EXPECT_TRUE(ends_soon(pid)) << pid;
    EXPECT_EQ(count, 3);

    // Within the limit nothing changes.
    EXPECT_EQ(3, ZavProcess::system_limited("echo hi; exit 3", &out, &err, 10000, &expired));
    EXPECT_FALSE(expired);
    EXPECT_EQ(out, "hi\n");
}

TEST(ZavProcessLimits, ChildHandsBackItsWholeAnswerOrNothing) {
    const struct {
        const char* what;
        std::function<std::string()> work;
        int result;
        bool expired;
        std::string answer;
    } cases[] = {
        {"answer with a NUL", [] { return std::string("a\0b", 3); }, 0, false,
         std::string("a\0b", 3)},
        {"throws", []() -> std::string { throw std::runtime_error("no"); }, -1, false, "kept"},
        {"dies",
         []() -> std::string {
             ::raise(SIGKILL);
             return "x";
         },
         -1, false, "kept"},
        {"hangs",
         []() -> std::string {
             ::pause();
             return "x";
         },
         -1, true, "kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string answer = "kept";
        bool expired = !c.expired;
        EXPECT_EQ(c.result, ZavProcess::run_in_child(c.work, &answer, 300, &expired));
        EXPECT_EQ(c.expired, expired);
        EXPECT_EQ(c.answer, answer);
    }
}
