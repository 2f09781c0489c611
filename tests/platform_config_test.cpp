// Configuration store: exact round trips, refusals, numbers, focus, comments,
// package list and writers in several processes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZAVPlatformInfo.h"
#include "fd_util.h"
#include "test_support.h"

using namespace nesk_test;

namespace {

int set_text(const std::string& section, const std::string& key, const std::string& value) {
    ZAVPlatformInfo store;
    return store.setString(section, key, value.data(), static_cast<int>(value.size()));
}

std::set<std::string> directory_entries(const std::string& path) {
    std::set<std::string> names;
    if (nesk::unique_dir dir{opendir(path.c_str())}) {
        while (dirent* entry = readdir(dir.get()))
            if (entry->d_name[0] != '.') names.insert(entry->d_name);
    }
    return names;
}

}  // namespace

TEST(PlatformConfig, ValuesRoundTripExactly) {
    ScopedPlatform platform;
    const std::vector<std::string> values = {
        "plain",          "  blanks around  ", "a=b==c", "#not a comment", "; nor this",
        "",               "[not a section]",   "\ttab\t", "\x80\xff high bytes",
        "trailing blank ",
    };
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_NE(0, set_text("Vantor", "k" + std::to_string(i), values[i])) << i;
    ZAVPlatformInfo store;
    for (size_t i = 0; i < values.size(); ++i) {
        std::string read;
        EXPECT_NE(0, store.getString("Vantor", "k" + std::to_string(i), &read)) << i;
        EXPECT_EQ(values[i], read) << i;
    }
    std::string untouched = "untouched";
    EXPECT_EQ(0, store.getString("Vantor", "absent", &untouched));
    EXPECT_EQ(0, store.getString("Other", "k0", &untouched));
    EXPECT_EQ("untouched", untouched);

    // Overwriting keeps one line per key.
    ASSERT_NE(0, set_text("Vantor", "k0", "second"));
    std::string text = nesk_test::read_whole_file(platform.config_file());
    EXPECT_EQ(std::string::npos, text.find("k0=plain"));
    EXPECT_EQ(text.find("k0="), text.rfind("k0="));
    // Only the store and its lock file are left in the directory.
    EXPECT_EQ((std::set<std::string>{"config.ini", "config.ini.lock"}),
              directory_entries(platform.log_dir()));
}

TEST(PlatformConfig, RefusesWhatTheFileCannotHold) {
    ScopedPlatform platform;
    ZAVPlatformInfo store;
    const std::string nul("a\0b", 3);
    for (const std::string& value : {std::string("a\nb"), std::string("a\rb"), nul,
                                     std::string("\n")}) {
        EXPECT_EQ(0, store.setString("Vantor", "key", value.data(),
                                     static_cast<int>(value.size())));
    }
    EXPECT_EQ(0, store.setString("Vantor", "key", "abc", -1));
    EXPECT_EQ(0, store.setString("Vantor", "key", nullptr, 3));
    for (const std::string& name : {std::string(""), std::string(" lead"), std::string("trail "),
                                    std::string("a]b"), std::string("a=b"), std::string("a\nb"),
                                    nul}) {
        EXPECT_EQ(0, store.setString(name, "key", "v", 1)) << "section " << name;
        EXPECT_EQ(0, store.setString("Vantor", name, "v", 1)) << "key " << name;
    }
    for (const char* key : {"#hash", ";semi", "[bracket"})
        EXPECT_EQ(0, store.setString("Vantor", key, "v", 1)) << key;
    EXPECT_EQ("", nesk_test::read_whole_file(platform.config_file()));
    // Only the first `length` bytes count.
    ASSERT_NE(0, store.setString("Vantor", "key", "abc\ndef", 3));
    std::string value;
    ASSERT_NE(0, store.getString("Vantor", "key", &value));
    EXPECT_EQ("abc", value);
}

TEST(PlatformConfig, NumbersAreUnsigned64BitDecimal) {
    ScopedPlatform platform;
    ZAVPlatformInfo store;
    for (unsigned long number : {0UL, 42UL, 18446744073709551615UL}) {
        ASSERT_NE(0, store.setNumber("Vantor", "n", number));
        unsigned long read = 7;
        EXPECT_NE(0, store.getNumber("Vantor", "n", &read));
        EXPECT_EQ(number, read);
    }
    std::string text;
    ASSERT_NE(0, store.getString("Vantor", "n", &text));
    EXPECT_EQ("18446744073709551615", text);

    for (const char* bad : {"", "12a", "-1", "+5", " 1", "1 ", "0x10", "18446744073709551616",
                            "99999999999999999999"}) {
        ASSERT_NE(0, set_text("Vantor", "bad", bad));
        unsigned long wide = 7;
        unsigned int narrow = 9;
        EXPECT_EQ(0, store.getNumber("Vantor", "bad", &wide)) << '"' << bad << '"';
        EXPECT_EQ(0, store.getNumber("Vantor", "bad", &narrow)) << '"' << bad << '"';
        EXPECT_EQ(7UL, wide);
        EXPECT_EQ(9U, narrow);
    }
    unsigned long absent = 7;
    EXPECT_EQ(0, store.getNumber("Vantor", "absent", &absent));
    EXPECT_EQ(7UL, absent);

    // The 32-bit overload keeps the low half.
    ASSERT_NE(0, store.setNumber("Vantor", "n", 0x100000005UL));
    unsigned int low = 0;
    EXPECT_NE(0, store.getNumber("Vantor", "n", &low));
    EXPECT_EQ(5U, low);
    ASSERT_NE(0, store.setNumber("Vantor", "n", 4294967295UL));
    EXPECT_NE(0, store.getNumber("Vantor", "n", &low));
    EXPECT_EQ(4294967295U, low);
}

TEST(PlatformConfig, FocusSelectsItsOwnSections) {
    ScopedPlatform platform;
    EXPECT_STREQ("", ZAVPI_Focus::getFocus());
    ASSERT_NE(0, set_text("Platform", "focus", "nodeA"));
    EXPECT_STREQ("nodeA", ZAVPI_Focus::getFocus());

    ZAVPlatformInfo focused;
    EXPECT_NE(0, focused.setFocus(ZAVPI_Focus::getFocus()));
    ASSERT_NE(0, focused.setNumber("Vantor", "n", 5));
    ZAVPlatformInfo plain;
    unsigned long value = 0;
    EXPECT_EQ(0, plain.getNumber("Vantor", "n", &value));
    EXPECT_NE(0, focused.getNumber("Vantor", "n", &value));
    EXPECT_EQ(5UL, value);
    EXPECT_NE(std::string::npos,
              nesk_test::read_whole_file(platform.config_file()).find("[nodeA/Vantor]\nn=5\n"));
    // The empty focus goes back to the plain sections; a focus the file cannot
    // hold is refused and changes nothing.
    EXPECT_EQ(0, focused.setFocus("bad]focus"));
    EXPECT_NE(0, focused.getNumber("Vantor", "n", &value));
    EXPECT_NE(0, focused.setFocus(""));
    EXPECT_EQ(0, focused.getNumber("Vantor", "n", &value));
}

// A rewrite changes only the lines of the key it writes: comments, unknown
// lines, a repeated section and the file's mode and owner stay as they were.
TEST(PlatformConfig, RewritesKeepEverythingElseOfTheFile) {
    ScopedPlatform platform;
    const std::string& path = platform.config_file();
    nesk_test::write_whole_file(path,
                                "# top comment\n"
                                "; another comment\n"
                                "[Vantor]\n"
                                "old=1\n"
                                "  spaced = value\n"
                                "# inside\n"
                                "a line without equals\n"
                                "[Other]\r\n"
                                "x=2\n"
                                "[Vantor]\n"
                                "late=1");
    ASSERT_EQ(0, chmod(path.c_str(), 0600));
    const bool as_root = nesk_test::is_root();
    if (as_root) {
        ASSERT_EQ(0, chown(path.c_str(), 1, 2));
    }
    ZAVPlatformInfo store;
    // A value the key already holds is a success that leaves the file alone.
    const std::string before = nesk_test::read_whole_file(path);
    EXPECT_NE(0, store.setNumber("Vantor", "late", 1));
    EXPECT_EQ(before, nesk_test::read_whole_file(path));
    std::string value;
    ASSERT_NE(0, store.getString("Vantor", "spaced", &value));
    EXPECT_EQ(" value", value);
    ASSERT_NE(0, store.getString("Other", "x", &value));
    EXPECT_EQ("2", value);
    ASSERT_NE(0, store.setNumber("Vantor", "old", 3));
    ASSERT_NE(0, store.setNumber("Vantor", "late", 6));  // stays in the repeated section
    ASSERT_NE(0, store.setNumber("Vantor", "added", 4));  // goes into the first one
    ASSERT_NE(0, store.setNumber("Third", "z", 5));
    EXPECT_EQ(
        "# top comment\n"
        "; another comment\n"
        "[Vantor]\n"
        "old=3\n"
        "  spaced = value\n"
        "added=4\n"
        "# inside\n"
        "a line without equals\n"
        "[Other]\r\n"
        "x=2\n"
        "[Vantor]\n"
        "late=6\n"
        "\n"
        "[Third]\n"
        "z=5\n",
        nesk_test::read_whole_file(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0100600u, st.st_mode);
    if (as_root) {
        EXPECT_EQ(std::make_pair(1u, 2u), std::make_pair(st.st_uid, st.st_gid));
    }
}

TEST(PlatformConfig, MissingFileAndDirectory) {
    TempDir dir("nesk-config");
    const std::string path = dir.path() + "/not/yet/there/config.ini";
    ScopedEnv env("NESK_CONFIG_FILE", path);
    ZAVPlatformInfo store;
    std::string value;
    EXPECT_EQ(0, store.getString("Vantor", "key", &value));
    std::vector<int> ids = {9};
    EXPECT_NE(0, store.GetListOfInstalledPackages(ids));
    EXPECT_TRUE(ids.empty());
    ASSERT_NE(0, store.setString("Vantor", "key", "v", 1));
    EXPECT_EQ("[Vantor]\nkey=v\n", nesk_test::read_whole_file(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0100644u, st.st_mode);  // a new store is readable by all
}

TEST(PlatformConfig, InstalledPackageList) {
    ScopedPlatform platform;
    ZAVPlatformInfo store;
    struct Case {
        const char* text;
        int result;
        std::vector<int> ids;
    };
    const Case cases[] = {
        {"1, 2 3,4", 1, {1, 2, 3, 4}},
        {"", 1, {}},
        {"2147483647", 1, {2147483647}},
        {"1,x", 0, {-1}},
        {"2147483648", 0, {-1}},
        {"-3", 0, {-1}},
    };
    for (const Case& c : cases) {
        ASSERT_NE(0, set_text("Packages", "ids", c.text));
        std::vector<int> ids = {-1};
        EXPECT_EQ(c.result, store.GetListOfInstalledPackages(ids) != 0 ? 1 : 0) << c.text;
        EXPECT_EQ(c.ids, ids) << c.text;
    }
}

TEST(PlatformConfig, WriteRemovesTemporaryFilesOfKilledWriters) {
    ScopedPlatform platform;
    const std::string& store = platform.config_file();
    for (const char* name : {".tmpAbC123", ".tmp000000"})
        nesk_test::write_whole_file(store + name, "[Vantor]\nhalf");
    nesk_test::write_whole_file(platform.log_dir() + "/other.ini.tmpAbC123", "not ours");
    ASSERT_NE(0, set_text("Vantor", "key", "v"));
    EXPECT_EQ((std::set<std::string>{"config.ini", "config.ini.lock", "other.ini.tmpAbC123"}),
              directory_entries(platform.log_dir()));
}

TEST(PlatformConfig, SymlinkedStoreIsWrittenThroughToItsTarget) {
    // store -> links/second -> ../real/config.ini, both links relative.
    TempDir dir("nesk-config");
    const std::string store = dir.file("config.ini");
    const std::string target = dir.file("real/config.ini");
    ASSERT_EQ(0, mkdir(dir.file("real").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.file("links").c_str(), 0755));
    nesk_test::write_whole_file(target, "[Vantor]\nkey=old\n");
    ASSERT_EQ(0, symlink("../real/config.ini", dir.file("links/second").c_str()));
    ASSERT_EQ(0, symlink("links/second", store.c_str()));
    ScopedEnv env("NESK_CONFIG_FILE", store);

    ASSERT_NE(0, set_text("Vantor", "key", "new"));
    struct stat st;
    ASSERT_EQ(0, lstat(store.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ("[Vantor]\nkey=new\n", nesk_test::read_whole_file(target));
    std::string value;
    ZAVPlatformInfo reader;
    EXPECT_NE(0, reader.getString("Vantor", "key", &value));
    EXPECT_EQ("new", value);
}

TEST(PlatformConfig, ConcurrentWritersInSeveralProcessesLoseNoKey) {
    ScopedPlatform platform;
    const int writers = 8, keys = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int k = 0; k < keys; ++k) {
                ZAVPlatformInfo store;
                std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
                if (!store.setNumber("Vantor", key, static_cast<unsigned long>(w * 1000 + k)))
                    ++failures;
            }
            _exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ZAVPlatformInfo store;
    int found = 0;
    for (int w = 0; w < writers; ++w) {
        for (int k = 0; k < keys; ++k) {
            unsigned long value = 0;
            std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
            if (store.getNumber("Vantor", key, &value) &&
                value == static_cast<unsigned long>(w * 1000 + k))
                ++found;
        }
    }
    EXPECT_EQ(writers * keys, found);
}

// A process keeps the store it parsed; every change made since, by any
// means, shows in the next read.
TEST(PlatformConfig, EveryChangeShowsInTheNextRead) {
    ScopedPlatform platform;
    const std::string& path = platform.config_file();
    TempDir other("nesk-config");
    struct Change {
        const char* name;
        std::function<void()> make;
        const char* expected;
    };
    struct timespec read_version_modified = {0, 0};
    const Change changes[] = {
        // Same size, same inode, the modification time set back to that of
        // the version read (cp -p, touch -r): only the change time moves.
        {"EditedInPlaceModificationTimeSetBack",
         [&] {
             nesk_test::write_whole_file(path, "[Vantor]\nkey=6\n");
             const struct timespec times[2] = {{0, UTIME_OMIT}, read_version_modified};
             ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
         },
         "6"},
        // Same size, same inode, within the same timestamp tick as the read.
        {"EditedInPlace", [&] { nesk_test::write_whole_file(path, "[Vantor]\nkey=2\n"); }, "2"},
        {"RenamedIn",
         [&] {
             nesk_test::write_whole_file(path + ".new", "[Vantor]\nkey=3\n");
             ASSERT_EQ(0, rename((path + ".new").c_str(), path.c_str()));
         },
         "3"},
        {"WrittenByThisProcess", [&] { ASSERT_NE(0, set_text("Vantor", "key", "4")); }, "4"},
        {"AnotherStorePath",
         [&] {
             nesk_test::write_whole_file(other.file("config.ini"), "[Vantor]\nkey=5\n");
             setenv("NESK_CONFIG_FILE", other.file("config.ini").c_str(), 1);
         },
         "5"},
        {"Removed", [&] { ASSERT_EQ(0, unlink(other.file("config.ini").c_str())); }, nullptr},
    };
    nesk_test::write_whole_file(path, "[Vantor]\nkey=1\n");
    struct stat written;
    ASSERT_EQ(0, stat(path.c_str(), &written));
    read_version_modified = written.st_mtim;
    // A file read within a timestamp tick of its last change is not kept;
    // this one is, and each change below must replace it.
    usleep(50 * 1000);
    ZAVPlatformInfo store;
    std::string value;
    ASSERT_NE(0, store.getString("Vantor", "key", &value));
    ASSERT_EQ("1", value);
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        change.make();
        value = "none";
        EXPECT_EQ(change.expected != nullptr, store.getString("Vantor", "key", &value) != 0);
        EXPECT_EQ(change.expected ? change.expected : "none", value);
    }
}
