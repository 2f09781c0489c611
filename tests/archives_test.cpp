// Archive helpers with the real tar. Archives go to /tmp: every test names its
// own archive after its scratch directory, which is unique, and removes it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "nesk_utils.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

// Removes /tmp/<base>.tar.gz when the test is done, whatever tar left there.
class ArchiveFile {
public:
    explicit ArchiveFile(const std::string& base) : path_("/tmp/" + base + ".tar.gz") {}
    ~ArchiveFile() { ::unlink(path_.c_str()); }
    ArchiveFile(const ArchiveFile&) = delete;
    ArchiveFile& operator=(const ArchiveFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

TEST(Archives, RoundTripOfATree) {
    TempDir source("nesk-tree");
    const std::string tree = source.file("tree");
    ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tree + "/nested").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((tree + "/nested/deeper").c_str(), 0755), 0);
    write_whole_file(tree + "/file", "some content\n");
    write_whole_file(tree + "/empty", "");
    write_whole_file(tree + "/nested/inner", "inner");
    write_whole_file(tree + "/nested/deeper/deepest", std::string(100000, 'd'));
    ASSERT_EQ(::symlink("file", (tree + "/link").c_str()), 0);

    // No base name given: the last component of the source names the archive.
    const std::string base = nesk_utils::get_basename(source.path());
    ArchiveFile file(base);
    std::string archive;
    ASSERT_EQ(nesk_utils::compress(source.path(), archive), 0);
    EXPECT_EQ(archive, file.path());

    TempDir target("nesk-untar");
    std::string into = target.path();
    ASSERT_EQ(nesk_utils::uncompress(archive, into), 0);
    EXPECT_EQ(into, target.path());
    // tar keeps the source's path without its leading "/".
    std::string copy = target.path() + source.path() + "/tree";
    std::string original = tree;
    for (const char* sub : {"", "/nested", "/nested/deeper"}) {
        std::string a = original + sub, b = copy + sub;
        EXPECT_EQ(nesk_utils::compare_files_in_dirs(a, b), 0) << sub;
    }
    std::string link;
    EXPECT_EQ(nesk_utils::readlink(copy + "/link", link), 0);
    EXPECT_EQ(link, "file");
}

TEST(Archives, GivenBaseNameAndFailures) {
    TempDir source("nesk-src");
    write_whole_file(source.file("data"), "data");
    const std::string base = nesk_utils::get_basename(source.path()) + "-given";
    ArchiveFile file(base);

    std::string archive = base;
    ASSERT_EQ(nesk_utils::compress(source.file("data"), archive), 0);
    EXPECT_EQ(archive, file.path());
    EXPECT_TRUE(nesk_utils::is_file(file.path()));

    // A missing source fails and leaves the caller's text alone.
    std::string missing_archive = base;
    EXPECT_EQ(nesk_utils::compress(source.file("missing"), missing_archive), 1);
    EXPECT_EQ(missing_archive, base);

    // A missing target directory: the cd fails and tar never runs.
    TempDir scratch("nesk-untar");
    std::string nowhere = scratch.file("missing");
    EXPECT_NE(nesk_utils::uncompress(file.path(), nowhere), 0);
    EXPECT_FALSE(exists("." + source.path())) << "tar ran in the working directory";
    std::string here = scratch.path();
    EXPECT_NE(nesk_utils::uncompress(scratch.file("no.tar.gz"), here), 0);
}

// Names in `dir`, sorted, without "." and "..".
std::vector<std::string> entries(const std::string& dir) {
    std::list<std::string> listed;
    nesk_utils::read_directory(dir, listed);
    std::vector<std::string> names;
    for (const std::string& name : listed)
        if (name != "." && name != "..") names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

// An absolute base name is where the archive goes and what `archive` says;
// tar writes beside it and the archive takes its name only on success, so a
// failure adds nothing and leaves an older archive as it was.
TEST(Archives, WrittenWholeOrNotAtAll) {
    TempDir source("nesk-src");
    write_whole_file(source.file("data"), "data");
    TempDir out("nesk-out");
    const std::string base = out.file("out"), path = base + ".tar.gz";
    const struct {
        const char* what;
        std::string source;
        const char* older;  // an archive already there, or nullptr
        int result;
    } cases[] = {
        {"made", source.file("data"), nullptr, 0},
        {"failed", source.file("missing"), nullptr, 1},
        {"failed over an older archive", source.file("missing"), "older", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path.c_str());
        if (c.older) write_whole_file(path, c.older);
        std::string archive = base;
        EXPECT_EQ(nesk_utils::compress(c.source, archive), c.result);
        EXPECT_EQ(archive, c.result == 0 ? path : base);
        const bool there = c.result == 0 || c.older;
        EXPECT_EQ(entries(out.path()), there ? std::vector<std::string>{"out.tar.gz"}
                                             : std::vector<std::string>{});
        if (c.older) {
            EXPECT_EQ(read_whole_file(path), c.older);
        } else if (c.result == 0) {
            TempDir unpacked("nesk-untar");
            std::string into = unpacked.path();
            ASSERT_EQ(nesk_utils::uncompress(path, into), 0);
            EXPECT_EQ(read_whole_file(unpacked.path() + source.file("data")), "data");
        }
    }
}

// A source without "/" is taken relative to /tmp and gives the default base
// name; in the sandbox, /tmp is private to the test.
TEST(Archives, DefaultBaseNameInPrivateTmp) {
    if (auto why = NodeSandbox::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    NodeSandbox node;
    write_whole_file("/tmp/loose-file", "loose");
    std::string archive;
    ASSERT_EQ(nesk_utils::compress("loose-file", archive), 0);
    EXPECT_EQ(archive, "/tmp/zavcompress_defaut.tar.gz");
    EXPECT_TRUE(nesk_utils::is_file(archive));
}

}  // namespace
