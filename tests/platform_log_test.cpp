// Debug-log writer: line format, lazy open, failures, writers in several
// processes and rotation.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EvDebug.h"
#include "fd_util.h"
#include "forked_child.h"
#include "test_support.h"

using nesk_test::ScopedEnv;
using nesk_test::ScopedPlatform;

namespace {

// The record and the writer as nesk_debug sets them up.
struct Writer {
    explicit Writer(const std::string& name = "") : debug(nullptr) {
        debug.initialize(&instance, 181993004, 0, false, name);
    }
    void log(const char* function, unsigned k, long long n, const char* format, ...)
        __attribute__((format(printf, 5, 6))) {
        va_list arguments;
        va_start(arguments, format);
        debug.handleMsgEventDebug_NEW(-1, function, k, -1, n, nullptr, format, arguments);
        va_end(arguments);
    }
    EvDebugFileInstance instance;
    EvDebug debug;
};

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// "YYYY-MM-DD hh:mm:ss.uuuuuu " as the line's first 27 characters.
bool has_timestamp(const std::string& line) {
    const char pattern[] = "dddd-dd-dd dd:dd:dd.dddddd ";
    if (line.size() < sizeof pattern - 1) return false;
    for (size_t i = 0; i + 1 < sizeof pattern; ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (pattern[i] == 'd' ? !digit : line[i] != pattern[i]) return false;
    }
    return true;
}

// The part after the timestamp and "[pid] ", or "<malformed>". (std::regex
// recurses per character and cannot take the long lines used here.)
std::string entry_text(const std::string& line, pid_t* pid = nullptr) {
    if (!has_timestamp(line) || line.compare(27, 1, "[") != 0) return "<malformed>";
    std::string::size_type close = line.find("] ", 28);
    if (close == std::string::npos || close == 28 ||
        line.find_first_not_of("0123456789", 28) != close)
        return "<malformed>";
    if (pid) *pid = static_cast<pid_t>(std::stol(line.substr(28, close - 28)));
    return line.substr(close + 2);
}

}  // namespace

TEST(EvDebugLog, OneLinePerEntryWithPidFunctionAndMessage) {
    ScopedPlatform platform;
    const int fds_before = nesk_test::count_open_fds();
    const std::string long_text(100000, 'x');
    {
        Writer writer;
        EXPECT_FALSE(exists(platform.log_file())) << "opened before the first message";
        writer.log("nesk_blkdevmgr::get_blkdev", 0, 0, "found %d disks on %s", 3, "host");
        writer.log(nullptr, 0, 0, "no function");
        writer.log("f", 7, 9, "with k and n");
        writer.log("f", 0, 0, "multi\nline\r\nmessage\n\n");
        writer.log("f", 0, 0, "%s", long_text.c_str());
        EXPECT_GE(writer.instance.fd, 0);
        EXPECT_EQ(platform.log_file(), writer.instance.path);
        writer.instance.enabled = 0;
        writer.log("f", 0, 0, "silenced");
        writer.instance.enabled = 1;
        writer.instance.with_pid = 0;
        writer.log("f", 0, 0, "without pid");
    }
    EXPECT_EQ(fds_before, nesk_test::count_open_fds()) << "log descriptor left open";

    const std::vector<std::string> expected = {
        "nesk_blkdevmgr::get_blkdev: found 3 disks on host",
        "no function",
        "f: k=7 n=9 with k and n",
        "f: multi line  message",
        "f: " + long_text,
    };
    std::vector<std::string> lines = platform.log_lines();
    ASSERT_EQ(expected.size() + 1, lines.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        pid_t pid = 0;
        EXPECT_EQ(expected[i], entry_text(lines[i], &pid)) << i;
        EXPECT_EQ(getpid(), pid);
    }
    EXPECT_TRUE(has_timestamp(lines.back())) << lines.back();
    EXPECT_EQ("f: without pid", lines.back().substr(27));
}

TEST(EvDebugLog, DirectoryIsCreatedAndNameSelectsFile) {
    nesk_test::TempDir dir("nesk-log");
    ScopedEnv env("NESK_LOG_DIR", dir.path() + "/a/b");
    Writer writer("Other");
    writer.log("f", 0, 0, "hello");
    std::string text = nesk_test::read_whole_file(dir.path() + "/a/b/Other.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ("f: hello", entry_text(text.substr(0, text.size() - 1)));
}

TEST(EvDebugLog, UnopenableLogMakesNoCallFail) {
    for (const char* directory : {"/proc/nonexistent", "/proc/self/status"}) {
        ScopedEnv env("NESK_LOG_DIR", directory);
        Writer writer;
        writer.log("f", 0, 0, "lost %d", 1);
        writer.log(nullptr, 0, 0, "lost too");
        EXPECT_EQ(-1, writer.instance.fd) << directory;
    }
}

// A log path that is not a regular file takes no line and holds no
// descriptor; neither the first open nor the reopen after the live file went
// away may wait for a FIFO's reader. Each case runs in a child that an alarm
// ends if the writer waits ("child failed: 142").
TEST(EvDebugLog, PathThatIsNoRegularFileGetsNothingAndNeverWaits) {
    enum class Node { fifo, fifo_with_reader, directory, device };
    const struct {
        const char* name;
        Node node;
        bool replaces_live_file;  // made after a first line reached a real file
    } cases[] = {
        {"FIFO without a reader", Node::fifo, false},
        {"FIFO with a reader", Node::fifo_with_reader, false},
        {"directory", Node::directory, false},
        {"link to a device", Node::device, false},
        {"FIFO without a reader in place of the live file", Node::fifo, true},
        {"FIFO with a reader in place of the live file", Node::fifo_with_reader, true},
    };
    for (const auto& c : cases) {
        ScopedPlatform platform;
        const std::string path = platform.log_file();
        const std::string outcome = nesk_test::text_from_child([&]() -> std::string {
            alarm(10);
            Writer writer;
            if (c.replaces_live_file) {
                writer.log("f", 0, 0, "first");
                if (unlink(path.c_str()) != 0) return "unlink failed";
            }
            bool made = false;
            switch (c.node) {
            case Node::fifo:
            case Node::fifo_with_reader: made = mkfifo(path.c_str(), 0644) == 0; break;
            case Node::directory: made = mkdir(path.c_str(), 0755) == 0; break;
            case Node::device: made = symlink("/dev/null", path.c_str()) == 0; break;
            }
            if (!made) return "node not made";
            nesk::unique_fd reader;
            if (c.node == Node::fifo_with_reader)
                reader.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
            const int fd_before = writer.instance.fd;
            writer.log("f", 0, 0, "dropped");
            char byte;
            if (reader && read(reader.get(), &byte, 1) > 0) return "a line reached the FIFO";
            // A writer whose live file went away keeps writing to it.
            if (writer.instance.fd != (c.replaces_live_file ? fd_before : -1))
                return "descriptor " + std::to_string(writer.instance.fd);
            return "nothing written";
        });
        EXPECT_EQ("nothing written", outcome) << c.name;
    }
}

// Writers in several processes, started together, each line long and
// recognisable; with rotation on, the lines are spread over the live file
// and its versions, of which enough are kept to find every line again.
TEST(EvDebugLog, WritersInSeveralProcessesNeverTearOrLoseLines) {
    for (bool rotate : {false, true}) {
        ScopedPlatform platform;
        const int writers = 6, lines_each = 300, versions = 50;
        int start[2];
        ASSERT_EQ(0, pipe(start));
        std::vector<pid_t> children;
        for (int w = 0; w < writers; ++w) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(start[1]);
                char go;
                if (read(start[0], &go, 1) != 0) _exit(1);
                Writer writer;
                writer.debug.setLogFileSize(rotate ? 1 : 0);
                writer.debug.setMaxVersion(versions);
                for (int l = 0; l < lines_each; ++l)
                    writer.log("w", 0, 0, "%d %d %s", w, l,
                               std::string(2000 + 7 * l, 'a' + w).c_str());
                _exit(0);
            }
            children.push_back(pid);
        }
        close(start[0]);
        close(start[1]);  // all writers start now
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(pid, waitpid(pid, &status, 0));
        }

        std::vector<std::string> files = {platform.log_file()};
        for (int v = 1; v <= versions; ++v) files.push_back(platform.log_file() + "." + std::to_string(v));
        EXPECT_EQ(rotate, exists(files[2])) << "rotation " << rotate;
        std::vector<std::vector<int>> seen(writers, std::vector<int>(lines_each, 0));
        int intact = 0, total = 0;
        for (const std::string& file : files) {
            std::string text = nesk_test::read_whole_file(file);
            for (std::string::size_type pos = 0, end; pos < text.size(); pos = end + 1) {
                end = text.find('\n', pos);
                if (end == std::string::npos) end = text.size();
                ++total;
                std::string entry = entry_text(text.substr(pos, end - pos));
                int w = -1, l = -1, offset = 0;
                if (sscanf(entry.c_str(), "w: %d %d %n", &w, &l, &offset) != 2 || w < 0 ||
                    w >= writers || l < 0 || l >= lines_each)
                    continue;
                if (entry.substr(static_cast<size_t>(offset)) != std::string(2000 + 7 * l, 'a' + w))
                    continue;
                ++seen[w][l];
                ++intact;
            }
        }
        EXPECT_EQ(writers * lines_each, total) << "rotation " << rotate;
        EXPECT_EQ(writers * lines_each, intact) << "rotation " << rotate;
        int duplicated_or_lost = 0;
        for (const std::vector<int>& lines : seen)
            for (int count : lines) duplicated_or_lost += count != 1;
        EXPECT_EQ(0, duplicated_or_lost) << "rotation " << rotate;
    }
}

TEST(EvDebugLog, RotationKeepsConfiguredVersions) {
    ScopedPlatform platform;
    const std::string live = platform.log_file();
    Writer rotating, other;
    for (Writer* writer : {&rotating, &other}) {
        writer->debug.setLogFileSize(1);
        writer->debug.setMaxVersion(2);
    }
    other.log("other", 0, 0, "before");  // holds the first file open
    const std::string payload(4000, 'r');
    for (int i = 0; i < 1400; ++i) rotating.log("r", 0, 0, "%d %s", i, payload.c_str());

    EXPECT_TRUE(exists(live + ".1"));
    EXPECT_TRUE(exists(live + ".2"));
    EXPECT_FALSE(exists(live + ".3"));
    for (const char* suffix : {".1", ".2"}) {
        long long size = file_size(live + suffix);
        EXPECT_GE(size, 1LL << 20) << suffix;
        EXPECT_LT(size, (1LL << 20) + 8192) << suffix;
    }
    // The writer whose file was rotated away finds the live file again.
    other.log("other", 0, 0, "after");
    std::vector<std::string> lines = platform.log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("other: after", entry_text(lines.back()));
    // So does a writer whose file was removed.
    ASSERT_EQ(0, unlink(live.c_str()));
    other.log("other", 0, 0, "recreated");
    lines = platform.log_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("other: recreated", entry_text(lines[0]));
}

TEST(EvDebugLog, RotatesWhenTheFileHasReachedItsLimit) {
    const struct {
        long long size;  // of the live file before the entry
        bool rotated;
    } cases[] = {{(1LL << 20) - 1, false}, {1LL << 20, true}};
    for (const auto& c : cases) {
        ScopedPlatform platform;
        const std::string live = platform.log_file();
        nesk_test::write_whole_file(live, std::string(static_cast<size_t>(c.size), 'x'));
        Writer writer;
        writer.debug.setLogFileSize(1);
        writer.debug.setMaxVersion(1);
        writer.log("f", 0, 0, "next");
        EXPECT_EQ(c.rotated ? c.size : -1, file_size(live + ".1")) << c.size;
        EXPECT_EQ(c.rotated, file_size(live) < c.size) << c.size;
    }
}

TEST(EvDebugLog, WriterRecreatesItsRemovedDirectory) {
    nesk_test::TempDir dir("nesk-log");
    const std::string logs = dir.path() + "/logs";
    ScopedEnv env("NESK_LOG_DIR", logs);
    Writer writer;
    writer.log("f", 0, 0, "before");
    ASSERT_EQ(0, unlink((logs + "/NESKUtils.log").c_str()));
    ASSERT_EQ(0, rmdir(logs.c_str()));
    writer.log("f", 0, 0, "after");
    std::string text = nesk_test::read_whole_file(logs + "/NESKUtils.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ("f: after", entry_text(text.substr(0, text.size() - 1)));
}
