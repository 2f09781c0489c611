#include "nesk_utils.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <list>
#include <ostream>
#include <string>

#include "fd_util.h"
#include "test_support.h"

namespace {

using lines_t = std::list<std::string>;

// What the caller's list holds before each run: a runner that must leave the
// list alone shows it unchanged, one that clears it shows it gone.
const lines_t k_stale = {"stale"};

struct runner_case {
    const char* name;
    std::string command;
    int execute_status;
    lines_t execute_lines;
    int popen_status;
    lines_t popen_lines;
};

void PrintTo(const runner_case& c, std::ostream* os) { *os << c.name << ": " << c.command; }

std::string repeat(char c, size_t n) { return std::string(n, c); }

// Both runners on the same command lines.
const runner_case k_cases[] = {
    {"EmptyLineInTheMiddle", "printf 'a\\n\\nb\\n'", 0, {"a", "b"}, 0, {"a", "", "b"}},
    {"LeadingLineFeedAndLastLineUnterminated", "printf '\\na\\nb'", 0, {"a", "b"}, 0, {"", "a", "b"}},
    {"CrLfWithEmptyLine", "printf 'a\\r\\n\\r\\nb\\r\\n'", 0, {"a", "", "b"}, 0, {"a", "", "b"}},
    {"BlanksAndTabsAtBothEnds", "printf ' \\t a b \\t \\n'", 0, {"a b"}, 0, {"a b"}},
    {"VerticalTabAndFormFeedAtTheEnd", "printf 'a\\v\\nb\\f\\n\\vc\\n'", 0, {"a", "b", "c"}, 0,
     {"a\v", "b\f", "\vc"}},
    {"LineLongerThanTheReadBuffer", "printf '%5000s\\n' '' | tr ' ' x", 0, {repeat('x', 5000)}, 0,
     {repeat('x', 4095), repeat('x', 905)}},
    {"FailsWithoutOutput", "exit 1", 1, k_stale, 1 << 8, {}},
    {"FailsWithOutput", "printf 'x\\ny\\n'; exit 1", 1, {"x", "y"}, 1 << 8, {"x", "y"}},
    {"ExitStatusThree", "exit 3", 3, k_stale, 3 << 8, {}},
    {"MissingCommand", "/nonexistent/nesk-no-such-command", 127, k_stale, 127 << 8, {}},
    {"StandardErrorIsNotALine", "echo out; echo err >&2", 0, {"out"}, 0, {"out"}},
    // The shell killed by SIGKILL: the process runner reports 128 + 9, pclose
    // the raw signal status.
    {"KilledBySignal", "echo before; kill -9 $$", 128 + 9, {"before"}, 9, {"before"}},
};

class BothRunners : public testing::TestWithParam<runner_case> {};

TEST_P(BothRunners, SplitTrimAndStatusRules) {
    const runner_case& c = GetParam();

    const int fds_before = nesk_test::count_open_fds();
    lines_t lines = k_stale;
    std::string error;
    EXPECT_EQ(nesk_utils::execute_command(c.command, lines, error, 0), c.execute_status);
    EXPECT_EQ(lines, c.execute_lines);
    EXPECT_EQ(nesk_test::count_open_fds(), fds_before) << "execute_command leaked a descriptor";

    lines = k_stale;
    EXPECT_EQ(nesk_utils::popen(c.command, lines, 0), c.popen_status);
    EXPECT_EQ(lines, c.popen_lines);
    EXPECT_EQ(nesk_test::count_open_fds(), fds_before) << "popen leaked a descriptor";
}

INSTANTIATE_TEST_SUITE_P(Command, BothRunners, testing::ValuesIn(k_cases),
                         [](const testing::TestParamInfo<runner_case>& info) { return info.param.name; });

TEST(ExecuteCommand, CapturesStandardErrorSeparately) {
    lines_t lines;
    // A reused error string holds only the last command's error output.
    std::string error = "from an earlier command\n";
    EXPECT_EQ(nesk_utils::execute_command("echo out; echo oops >&2; exit 2", lines, error, 0), 2);
    EXPECT_EQ(lines, lines_t{"out"});
    EXPECT_EQ(error, "oops\n");
}

// A caller's signal handler installed without SA_RESTART interrupts the read
// in the middle of a line; no byte of the output may be lost.
TEST(Popen, SignalDuringALineLosesNothing) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    struct itimerval timer {};
    timer.it_value.tv_usec = 100 * 1000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    lines_t lines;
    int status = nesk_utils::popen("printf '  /dev/sd'; sleep 0.4; printf 'b2\\n'; echo second",
                                   lines, 0);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines, (lines_t{"/dev/sdb2", "second"}));
}

// Daemons ignore SIGCHLD (SIG_IGN or SA_NOCLDWAIT), and the setting survives
// exec: the kernel then reaps children by itself, yet popen must still report
// each command's wait status with its output.
TEST(Popen, RulesHoldWhenTheCallerIgnoresSigchld) {
    struct sigaction saved {};
    ASSERT_EQ(sigaction(SIGCHLD, nullptr, &saved), 0);
    for (int flags : {0, SA_NOCLDWAIT}) {
        SCOPED_TRACE(flags ? "SA_NOCLDWAIT" : "SIG_IGN");
        struct sigaction ignore {};
        ignore.sa_handler = flags ? SIG_DFL : SIG_IGN;
        ignore.sa_flags = flags;
        ASSERT_EQ(sigaction(SIGCHLD, &ignore, nullptr), 0);
        for (const runner_case& c : k_cases) {
            SCOPED_TRACE(c.name);
            lines_t lines = k_stale;
            EXPECT_EQ(nesk_utils::popen(c.command, lines, 0), c.popen_status);
            EXPECT_EQ(lines, c.popen_lines);
        }
    }
    sigaction(SIGCHLD, &saved, nullptr);
}

// A descriptor the caller opened without close-on-exec stays with the caller,
// and so does the caller's standard input: the command reads /dev/null.
TEST(Popen, CommandSeesOnlyStandardDescriptors) {
    nesk::unique_fd extra(open("/dev/null", O_RDONLY));
    ASSERT_GE(extra.get(), 3);
    lines_t lines;
    // ls itself holds the listed directory open as descriptor 3.
    EXPECT_EQ(nesk_utils::popen("ls /proc/self/fd", lines, 0), 0);
    EXPECT_EQ(lines, (lines_t{"0", "1", "2", "3"}));

    nesk_test::ScopedStdin caller_input("caller's line\n");
    lines.clear();
    EXPECT_EQ(nesk_utils::popen("cat; readlink /proc/self/fd/0", lines, 0), 0);
    EXPECT_EQ(lines, (lines_t{"/dev/null"}));
}

TEST(BothRunners, NonZeroDelayStillReturnsTheOutput) {
    lines_t lines;
    std::string error;
    EXPECT_EQ(nesk_utils::execute_command("printf 'a\\nb\\n'", lines, error, 20), 0);
    EXPECT_EQ(lines, (lines_t{"a", "b"}));

    lines.clear();
    EXPECT_EQ(nesk_utils::popen("printf 'a\\nb\\n'", lines, 20), 0);
    EXPECT_EQ(lines, (lines_t{"a", "b"}));
}

// More than a pipe buffer of output: popen reads while the command runs, and
// the command blocks on the full pipe during the delay without losing data.
TEST(BothRunners, ReadOutputLargerThanAPipe) {
    const std::string command = "seq 1 100000";
    for (int delay : {0, 20}) {
        SCOPED_TRACE(delay);
        lines_t lines;
        std::string error;
        ASSERT_EQ(nesk_utils::execute_command(command, lines, error, delay), 0);
        ASSERT_EQ(lines.size(), 100000u);
        EXPECT_EQ(lines.front(), "1");
        EXPECT_EQ(lines.back(), "100000");

        ASSERT_EQ(nesk_utils::popen(command, lines, delay), 0);
        ASSERT_EQ(lines.size(), 100000u);
        EXPECT_EQ(lines.front(), "1");
        EXPECT_EQ(lines.back(), "100000");
    }
}

// Restores the descriptor limit that a test lowered.
class ScopedFdLimit {
public:
    explicit ScopedFdLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        ok_ = setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~ScopedFdLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};

TEST(Popen, ReturnsMinusOneAndKeepsTheListWhenThePipeCannotBeMade) {
    lines_t lines = k_stale;
    int status = 0;
    {
        // A limit at the lowest free descriptor number leaves none to
        // allocate, so the pipe cannot be created.
        const int lowest_free = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(lowest_free, 0);
        close(lowest_free);
        ScopedFdLimit limit(static_cast<rlim_t>(lowest_free));
        ASSERT_TRUE(limit.ok());
        status = nesk_utils::popen("echo never", lines, 0);
    }
    EXPECT_EQ(status, -1);
    EXPECT_EQ(lines, k_stale);
}

}  // namespace
