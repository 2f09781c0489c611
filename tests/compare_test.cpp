// File and directory comparison: files at and around the block size, files
// that cannot be read or are no regular files, the block size changed between
// calls, flat directories.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "forked_child.h"
#include "nesk_blkdev.h"
#include "nesk_utils.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

// Restores the library's block size when a test is done with it.
class BlockSize {
public:
    explicit BlockSize(int value) : old_(BUFFER_SIZE) { BUFFER_SIZE = value; }
    ~BlockSize() { BUFFER_SIZE = old_; }
    BlockSize(const BlockSize&) = delete;
    BlockSize& operator=(const BlockSize&) = delete;

private:
    int old_;
};

// `size` bytes of a repeating pattern, with byte `flip` changed when given.
std::string pattern(size_t size, size_t flip = std::string::npos) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    if (flip < size) bytes[flip] = static_cast<char>(~bytes[flip]);
    return bytes;
}

int compare_contents(const TempDir& dir, const std::string& a, const std::string& b) {
    write_whole_file(dir.file("a"), a);
    write_whole_file(dir.file("b"), b);
    return nesk_utils::compare_files(dir.file("a"), dir.file("b"));
}

TEST(CompareFiles, ContentsAtAndAroundTheBlockSize) {
    const size_t block = static_cast<size_t>(BUFFER_SIZE);
    const struct {
        const char* what;
        std::string a;
        std::string b;
        int result;
    } cases[] = {
        {"both empty", "", "", 0},
        {"one empty", "", "x", 1},
        {"other empty", "x", "", 1},
        {"one block less one", pattern(block - 1), pattern(block - 1), 0},
        {"exactly one block", pattern(block), pattern(block), 0},
        {"one block and one", pattern(block + 1), pattern(block + 1), 0},
        {"several blocks", pattern(3 * block + 5), pattern(3 * block + 5), 0},
        {"longer past the first block", pattern(block), pattern(block + 1), 1},
        {"shorter past the first block", pattern(2 * block + 1), pattern(2 * block), 1},
        {"last byte of a block", pattern(2 * block), pattern(2 * block, block - 1), 1},
        {"first byte of the next block", pattern(2 * block), pattern(2 * block, block), 1},
        {"last byte of the file", pattern(2 * block + 9), pattern(2 * block + 9, 2 * block + 8), 1},
    };
    TempDir dir;
    for (const auto& c : cases)
        EXPECT_EQ(compare_contents(dir, c.a, c.b), c.result) << c.what;
}

TEST(CompareFiles, UnreadableFilesGiveMinusOne) {
    TempDir dir;
    write_whole_file(dir.file("file"), "content");
    write_whole_file(dir.file("empty"), "");
    ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0755), 0);
    const struct {
        const char* a;
        const char* b;
    } cases[] = {
        {"missing", "file"}, {"file", "missing"}, {"dir", "file"},
        {"file", "dir"},     {"dir", "empty"},    {"empty", "dir"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nesk_utils::compare_files(dir.file(c.a), dir.file(c.b)), -1)
            << c.a << " vs " << c.b;
}

// Only regular files compare: anything else gives -1 at once, whether or not
// it would ever end. The comparisons run in a child that an alarm ends if one
// waits ("child failed: 142").
TEST(CompareFiles, NoRegularFileGivesMinusOneWithoutWaiting) {
    TempDir dir;
    write_whole_file(dir.file("file"), "");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    // Directories whose only differing entry is a FIFO: skipped in the first
    // (not a regular file), not comparable in the second.
    std::string fifo_in_a = dir.file("fifo_in_a"), fifo_in_b = dir.file("fifo_in_b");
    for (const std::string& sub : {fifo_in_a, fifo_in_b}) {
        ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
        write_whole_file(sub + "/same", "1");
    }
    ASSERT_EQ(::mkfifo((fifo_in_a + "/p").c_str(), 0644), 0);
    write_whole_file(fifo_in_b + "/p", "");
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {dir.file("fifo"), dir.file("file")}, {dir.file("file"), dir.file("fifo")},
        {dir.file("fifo"), dir.file("fifo")}, {"/dev/zero", dir.file("file")},
        {dir.file("file"), "/dev/zero"},      {"/dev/null", "/dev/null"},
    };
    std::string expected;
    for (const auto& pair : pairs) expected += pair.first + " " + pair.second + ": -1\n";
    expected += "FIFO in a: 0\nFIFO in b: -1\n";
    const std::string seen = text_from_child([&] {
        ::alarm(10);
        std::string text;
        for (const auto& pair : pairs)
            text += pair.first + " " + pair.second + ": " +
                    std::to_string(nesk_utils::compare_files(pair.first, pair.second)) + "\n";
        text += "FIFO in a: " +
                std::to_string(nesk_utils::compare_files_in_dirs(fifo_in_a, fifo_in_b)) + "\n";
        text += "FIFO in b: " +
                std::to_string(nesk_utils::compare_files_in_dirs(fifo_in_b, fifo_in_a)) + "\n";
        return text;
    });
    EXPECT_EQ(seen, expected);
}

TEST(CompareFiles, PermissionDeniedGivesMinusOne) {
    if (!is_root()) GTEST_SKIP() << "needs root to run a child as another user";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    write_whole_file(dir.file("public"), "same");
    write_whole_file(dir.file("private"), "same");
    ASSERT_EQ(::chmod(dir.file("public").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.file("private").c_str(), 0600), 0);
    const int code = run_in_child([&] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 100;
        return 10 + nesk_utils::compare_files(dir.file("public"), dir.file("private")) * 2 +
               nesk_utils::compare_files(dir.file("public"), dir.file("public"));
    });
    EXPECT_EQ(code, 10 - 2 + 0) << "the private file cannot be opened; the public one can";
}

TEST(CompareFiles, BlockSizeChangedBetweenCalls) {
    TempDir dir;
    const std::string a = pattern(10), differs_late = pattern(10, 9);
    const struct {
        int block_size;
        std::string b;
        int result;
    } cases[] = {
        {1, a, 0},  {1, differs_late, 1}, {4, a, 0},  {4, differs_late, 1},
        {10, a, 0}, {64, differs_late, 1},
        {0, a, -1}, {-5, a, -1},  // not positive: nothing is read
    };
    for (const auto& c : cases) {
        BlockSize size(c.block_size);
        EXPECT_EQ(compare_contents(dir, a, c.b), c.result) << "block size " << c.block_size;
    }
    EXPECT_EQ(BUFFER_SIZE, 16384);
}

// Two flat directories built from names; a name ending in "/" is a directory.
struct Tree {
    std::vector<std::pair<std::string, std::string>> entries;  // name, content
};

void build(const std::string& dir, const Tree& tree) {
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    for (const auto& entry : tree.entries) {
        const std::string path = dir + "/" + entry.first;
        if (!entry.first.empty() && entry.first.back() == '/')
            ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        else
            write_whole_file(path, entry.second);
    }
}

TEST(CompareFilesInDirs, FlatComparisonCodes) {
    const Tree base{{{"one", "1"}, {"two", "22"}, {"sub/", ""}}};
    const struct {
        const char* what;
        Tree a;
        Tree b;
        int result;
    } cases[] = {
        {"equal", base, base, 0},
        {"subdirectories differ in name only", base, {{{"one", "1"}, {"two", "22"}, {"other/", ""}}}, 0},
        {"b has one more file", base, {{{"one", "1"}, {"two", "22"}, {"sub/", ""}, {"three", ""}}}, -1},
        {"a has one more file", {{{"one", "1"}, {"two", "22"}, {"sub/", ""}, {"three", ""}}}, base, 1},
        {"a file missing from b, counts equal", base, {{{"one", "1"}, {"zwei", "22"}, {"sub/", ""}}}, 1},
        {"a file differs", base, {{{"one", "1"}, {"two", "2X"}, {"sub/", ""}}}, 1},
        {"a file's namesake is a directory", base, {{{"one", "1"}, {"two/", ""}, {"sub/", ""}}}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string a = dir.file("a"), b = dir.file("b");
        build(a, c.a);
        build(b, c.b);
        EXPECT_EQ(nesk_utils::compare_files_in_dirs(a, b), c.result);
    }
}

TEST(CompareFilesInDirs, NotADirectoryGivesMinusTwo) {
    TempDir dir;
    std::string real = dir.path(), file = dir.file("file"), missing = dir.file("missing");
    write_whole_file(file, "x");
    EXPECT_EQ(nesk_utils::compare_files_in_dirs(file, real), -2);
    EXPECT_EQ(nesk_utils::compare_files_in_dirs(real, file), -2);
    EXPECT_EQ(nesk_utils::compare_files_in_dirs(real, missing), -2);
}

}  // namespace
