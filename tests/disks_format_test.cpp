// nesk-disks' size argument, read as util-linux's tools read sizes.
#include <gtest/gtest.h>

#include <string>

#include "disks_format.h"

namespace {

using nesk_disks::parse_size;

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

}  // namespace
