#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "nesk_utils.h"

namespace {

using namespace std::string_literals;

TEST(Trim, RemovesOnlyBlankTabCarriageReturnAndLineFeed) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"  a b \t\r\n", "a b"},   {" \t\r\n ", ""},     {"", ""},
        {"\va\f", "\va\f"},    // vertical tab and form feed stay
        {"a\t\nb", "a\t\nb"},  // nothing inside is touched
        {"\xe9\xff ", "\xe9\xff"}, {" a\0b "s, "a\0b"s},
    };
    for (const Case& c : cases) EXPECT_EQ(nesk_utils::trim(c.in), c.out) << '"' << c.in << '"';
}

TEST(Trim, LeftAndRightStripOnlyTheirSide) {
    EXPECT_EQ(nesk_utils::trim_left("xxaxbxx", "x"), "axbxx");
    EXPECT_EQ(nesk_utils::trim_right("xxaxbxx", "x"), "xxaxb");
    EXPECT_EQ(nesk_utils::trim_left("xxx", "x"), "");
    EXPECT_EQ(nesk_utils::trim_right("xxx", "x"), "");
    EXPECT_EQ(nesk_utils::trim_left("", "x"), "");
    EXPECT_EQ(nesk_utils::trim_right("", "x"), "");
    EXPECT_EQ(nesk_utils::trim_left("0x00ff", "0x"), "ff");
    EXPECT_EQ(nesk_utils::trim_right("a\n\r\n", "\n"), "a\n\r");
}

TEST(Append, AddsTheSeparatorOnlyBetweenItems) {
    struct Case {
        std::string list, item, separator, out;
    } cases[] = {
        {"", "a", ",", "a"}, {"a", "b", ", ", "a, b"}, {"a", "", ",", "a"},
        {"", "", ",", ""},   {"a", "b", "", "ab"},
    };
    for (const Case& c : cases) {
        std::string list = c.list;
        EXPECT_EQ(nesk_utils::append(list, c.item, c.separator), c.out);
        EXPECT_EQ(list, c.out);
    }
}

TEST(ModifyStr, ReplacesUntilNoneIsLeft) {
    struct Case {
        std::string in, from, to, out;
    } cases[] = {
        {"aaa", "aa", "a", "a"},  // text formed by a replacement is replaced too
        {"a--b---c", "--", "-", "a-b-c"},
        {"aabb", "ab", "", ""},
        {"xabcabcy", "abc", "", "xy"},
        {"/dev/sda", "/dev/", "", "sda"},
        {"a b c", " ", "_", "a_b_c"},
        {"abc", "x", "y", "abc"},
        {"", "a", "b", ""},
        {"ab\0ab"s, "\0"s, "-", "ab-ab"},
        // Left alone or replaced once rather than looping for ever.
        {"abc", "", "x", "abc"},
        {"aXa", "a", "aa", "aaXaa"},
        {"aaa", "a", "a", "aaa"},
        {"a/b//c", "/", "//", "a//b////c"},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        nesk_utils::modify_str(s, c.from, c.to);
        EXPECT_EQ(s, c.out) << '"' << c.in << "\" \"" << c.from << "\" -> \"" << c.to << '"';
    }
}

TEST(GetLastChars, OnlyFromLongerTexts) {
    EXPECT_EQ(nesk_utils::get_last_chars("abcd", 3), "bcd");
    EXPECT_EQ(nesk_utils::get_last_chars("abc", 3), "");  // exactly n gives nothing
    EXPECT_EQ(nesk_utils::get_last_chars("abc", 0), "");
    EXPECT_EQ(nesk_utils::get_last_chars("abc", -1), "");
    EXPECT_EQ(nesk_utils::get_last_chars("", 1), "");
    EXPECT_EQ(nesk_utils::get_last_chars("nvme0n1", 2), "n1");
}

TEST(GetNameValuePair, SplitsAtTheFirstSeparator) {
    std::string name = "old", value = "old";
    EXPECT_EQ(nesk_utils::get_name_value_pair(" Serial Number : AB:CD \t", name, value), 0);
    EXPECT_EQ(name, "Serial Number");
    EXPECT_EQ(value, "AB:CD");

    EXPECT_EQ(nesk_utils::get_name_value_pair(":", name, value), 0);
    EXPECT_EQ(name, "");
    EXPECT_EQ(value, "");

    EXPECT_EQ(nesk_utils::get_name_value_pair("key = a=b\n", '=', name, value), 0);
    EXPECT_EQ(name, "key");
    EXPECT_EQ(value, "a=b");
}

TEST(GetNameValuePair, WithoutSeparatorLeavesBothUnchanged) {
    std::string name = "n", value = "v";
    EXPECT_EQ(nesk_utils::get_name_value_pair("no colon here", name, value), -2);
    EXPECT_EQ(nesk_utils::get_name_value_pair("", name, value), -2);
    EXPECT_EQ(nesk_utils::get_name_value_pair("a:b", '=', name, value), -2);
    EXPECT_EQ(name, "n");
    EXPECT_EQ(value, "v");
}

// Both forms of tokenize must agree; returns the vector form's result after
// checking that the list form gives the same and that `text` is unchanged.
std::vector<std::string> tokens_of(const std::string& text, const char* delimiters) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    std::vector<char> delims(delimiters, delimiters + strlen(delimiters) + 1);

    std::list<std::string> list = {"stale", "entries"};
    nesk_utils::tokenize(buffer.data(), delims.data(), list);
    std::vector<std::string> vector = {"stale"};
    nesk_utils::tokenize(buffer.data(), delims.data(), vector);

    EXPECT_EQ(std::vector<std::string>(list.begin(), list.end()), vector) << text;
    EXPECT_EQ(std::string(buffer.data()), text) << "text was modified";
    return vector;
}

TEST(Tokenize, YieldsOnlyNonEmptyPiecesAndClearsFirst) {
    using V = std::vector<std::string>;
    EXPECT_EQ(tokens_of("//sys//block/sda/", "/"), (V{"sys", "block", "sda"}));
    EXPECT_EQ(tokens_of("Wed Jun  3 01:02:03 2015\n", " "),
              (V{"Wed", "Jun", "3", "01:02:03", "2015\n"}));
    EXPECT_EQ(tokens_of("a \t b\tc", " \t"), (V{"a", "b", "c"}));
    EXPECT_EQ(tokens_of("abc", " "), (V{"abc"}));
    EXPECT_EQ(tokens_of("abc", ""), (V{"abc"}));
    EXPECT_EQ(tokens_of("\xe9:\xff", ":"), (V{"\xe9", "\xff"}));
    EXPECT_EQ(tokens_of("", "/"), V{});
    EXPECT_EQ(tokens_of("////", "/"), V{});
}

TEST(IsPresent, ComparesWholeNamesCaseSensitively) {
    std::list<std::string> items = {"sda", "sdb1"};
    EXPECT_TRUE(nesk_utils::is_present(items, "sda"));
    EXPECT_TRUE(nesk_utils::is_present(items, "sdb1"));
    EXPECT_FALSE(nesk_utils::is_present(items, "SDA"));
    EXPECT_FALSE(nesk_utils::is_present(items, "sd"));
    EXPECT_FALSE(nesk_utils::is_present(items, "sdb"));
    EXPECT_FALSE(nesk_utils::is_present(items, "sda "));
    std::list<std::string> empty;
    EXPECT_FALSE(nesk_utils::is_present(empty, ""));
    // Compared as C strings: nothing after a NUL counts.
    EXPECT_TRUE(nesk_utils::is_present(items, "sda\0junk"s));
}

}  // namespace
