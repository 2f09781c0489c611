#include <gtest/gtest.h>

#include <string>

#include "nesk_debug.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

// How many log lines contain `text`.
int count_lines_with(const ScopedPlatform& platform, const std::string& text) {
    return count_lines_containing(platform.log_lines(), text);
}

// Writes one message per level -2..3 through every logMessage overload and
// one through every logError overload, each tagged with its level.
void write_all_levels(nesk_debug& log, const std::string& tag) {
    for (int level = -2; level <= 3; ++level) {
        log.logMessage(level, "%s plain level=%d", tag.c_str(), level);
        log.logMessage(level, 7UL, "%s n level=%d", tag.c_str(), level);
        log.logMessage(-5, level, 7UL, "%s kn level=%d", tag.c_str(), level);
        log.logMessage("fn", level, "%s fn level=%d", tag.c_str(), level);
        log.logMessage("fn", level, 7UL, "%s fn-n level=%d", tag.c_str(), level);
        log.logMessage("fn", -5, level, 7UL, "%s fn-kn level=%d", tag.c_str(), level);
    }
    log.logError("fn", "%s error", tag.c_str());
    log.logError("fn", 7UL, "%s error-n", tag.c_str());
    log.logError("fn", 1, 7UL, "%s error-kn", tag.c_str());
}

struct ThresholdCase {
    const char* name;
    bool key_present;
    unsigned long stored;
    int expected_threshold;
};

TEST(DebugLog, ThresholdFromConfigurationStore) {
    const ThresholdCase cases[] = {
        {"absent key", false, 0, 0},
        {"two", true, 2, 2},
        {"all ones reads as -1", true, 4294967295UL, -1},
        {"below -1 as 32 bits", true, 4294967294UL, -2},
        {"only the low 32 bits count", true, 0x100000003UL, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedPlatform platform;
        if (c.key_present) platform.set_debug_level(c.stored);
        nesk_debug log;
        EXPECT_EQ(log.get_debug_level(), c.expected_threshold);

        write_all_levels(log, "T");
        for (int level = -2; level <= 3; ++level) {
            std::string marker = "level=" + std::to_string(level);
            int expected = level <= c.expected_threshold ? 6 : 0;
            EXPECT_EQ(count_lines_with(platform, " " + marker), expected) << marker;
        }
        // logError does not filter.
        EXPECT_EQ(count_lines_with(platform, "T error"), 3);
    }
}

TEST(DebugLog, LevelIsTestedBeforeFormatting) {
    ScopedPlatform platform;
    nesk_debug log;
    ASSERT_EQ(log.get_debug_level(), 0);
    // A pointer that must never be dereferenced: formatting it would crash.
    const char* poison = reinterpret_cast<const char*>(16);
    log.logMessage("fn", 2, "%s", poison);
    log.logMessage(1, "%s", poison);
    // k below the threshold does not let a message with a high level through.
    log.logMessage(-1, 2, 0UL, "%s", poison);
    log.logMessage("fn", -1, 2, 0UL, "%s", poison);
    EXPECT_TRUE(platform.log_lines().empty());
}

TEST(DebugLog, LinesCarryFunctionAndMessage) {
    ScopedPlatform platform;
    nesk_debug log;
    log.logMessage("nesk_blkdevmgr::get_blkdev", -1, "Failed to find block device [%s] on the server",
                   "/dev/sdz");
    auto lines = platform.log_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("nesk_blkdevmgr::get_blkdev"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("Failed to find block device [/dev/sdz] on the server"),
              std::string::npos)
        << lines[0];
}

TEST(DebugLog, CopiesAndAssignmentReadTheThresholdAfresh) {
    ScopedPlatform platform;
    platform.set_debug_level(0);
    nesk_debug source;
    platform.set_debug_level(2);

    nesk_debug copy(source);
    EXPECT_EQ(copy.get_debug_level(), 2);
    EXPECT_EQ(source.get_debug_level(), 0) << "the source keeps its threshold until assigned to";

    nesk_debug other;
    platform.set_debug_level(4294967295UL);
    source = other;
    EXPECT_EQ(source.get_debug_level(), -1) << "assignment takes nothing from the right-hand side";
    EXPECT_EQ(other.get_debug_level(), 2);

    // Every copy writes through its own writer set-up.
    copy.logMessage("fn", 2, "from the copy");
    source.logMessage("fn", 0, "suppressed in the assigned object");
    source.logMessage("fn", -1, "written by the assigned object");
    EXPECT_EQ(count_lines_with(platform, "from the copy"), 1);
    EXPECT_EQ(count_lines_with(platform, "suppressed in the assigned object"), 0);
    EXPECT_EQ(count_lines_with(platform, "written by the assigned object"), 1);
}

TEST(DebugLog, PublishesTheLogName) { EXPECT_EQ(nesk_debug::sLogFileName, "NESKUtils"); }

}  // namespace
