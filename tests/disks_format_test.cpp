// nesk-disks' size argument, read as util-linux's tools read sizes, and sizes
// written as lsblk writes them.
#include <gtest/gtest.h>

#include <string>

#include "disks_format.h"

namespace {

using nesk_disks::human_size;
using nesk_disks::parse_size;
using nesk_disks::table_cell;

constexpr unsigned long long KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024,
                             PiB = TiB * 1024;

TEST(ParseSize, UnitsFractionsAndLimits) {
    const struct {
        const char* text;
        unsigned long long bytes;
    } good[] = {
        {"0", 0},
        {"1536", 1536},
        {"007", 7},
        {"1K", KiB},
        {"1k", KiB},
        {"1KiB", KiB},
        {"3mib", 3 * MiB},
        {"2G", 2 * GiB},
        {"1T", TiB},
        {"1P", PiB},
        {"1KB", 1000},
        {"1kb", 1000},
        {"960GB", 960000000000ULL},
        {"2PB", 2000000000000000ULL},
        {"1.5T", TiB + TiB / 2},
        {"1.5TB", 1500000000000ULL},
        {"0.5K", 512},
        {"0.3K", 307},  // 307.2: what is below a byte is dropped
        {"1.0009765625K", 1025},
        {"0.00000000000000088817841970012523233890533447265625P", 1},  // 2^-50, exactly
        {"18446744073709551615", 18446744073709551615ULL},
        {"16383.9999999999999999P", 18446744073709551615ULL},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        unsigned long long size = 99;
        EXPECT_TRUE(parse_size(c.text, size));
        EXPECT_EQ(size, c.bytes);
    }

    const char* const bad[] = {
        "",       "-1",      "+1",   " 1",     "1 ",   "1 K",   "K",   "1.5",  "1.",
        ".5K",    "1.K",     "1..5K", "0x10",  "1e3",  "1E",    "1B",  "1Ki",  "1KiBB",
        "1KIB",   "1iB",     "1Q",   "12KQ",  "1,5K", "16384P", "18446744073709551616",
        "16777216T", "18446744073709551615.5K",
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        unsigned long long size = 99;
        EXPECT_FALSE(parse_size(text, size));
        EXPECT_EQ(size, 99u);
    }
}

// No blank, one decimal rounded half up and left out when it is 0, the unit
// that keeps the number below 1024.
TEST(HumanSize, AsLsblkWritesIt) {
    const struct {
        unsigned long long bytes;
        const char* shown;
    } cases[] = {
        {0, "0B"},
        {512, "512B"},
        {1023, "1023B"},
        {1024, "1K"},
        {1536, "1.5K"},
        {1076, "1.1K"},  // 1.0508 rounds up
        {1075, "1K"},    // 1.0498 rounds down
        {1048524, "1023.9K"},
        {1048575, "1024K"},  // rounding does not change the unit
        {768 * MiB, "768M"},
        {GiB + GiB / 2, "1.5G"},
        {3 * TiB + 800 * GiB, "3.8T"},
        {PiB, "1P"},
        {18446744073709551615ULL, "16E"},
    };
    for (const auto& c : cases) EXPECT_EQ(human_size(c.bytes), c.shown) << c.bytes;
}

// What is not UTF-8 is escaped byte by byte: overlong forms, surrogates and
// code points beyond U+10FFFF look like sequences but are not.
TEST(TableCell, EscapesEveryByteOfWhatIsNotUtf8) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"\xc0\x80", "\\xc0\\x80"},          {"\xc1\xbf", "\\xc1\\xbf"},
        {"\xe0\x9f\xbf", "\\xe0\\x9f\\xbf"}, {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf"}, {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"\xc2\xa0\xe0\xa0\x80\xf0\x90\x80\x80", "\xc2\xa0\xe0\xa0\x80\xf0\x90\x80\x80"},
    };
    for (const auto& c : cases) EXPECT_EQ(table_cell(c.text), c.shown) << c.shown;
}

}  // namespace
