// Number conversions on arbitrary text, against reference readers written
// out here: string_to_int/uint/ulong (atoi and atol read without undefined
// behaviour: out-of-range values saturate), string_to_ull (strtoull with base
// 0), is_number, and uint_to_hexstr read back.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "nesk_utils.h"

using nesk_fuzz::expect;

namespace {

bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int digit_value(char c, int base) {
    int value = base;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'z') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') value = c - 'A' + 10;
    return value < base ? value : -1;
}

// The leading number of the C string `s` as strtol/strtoull read it: its
// sign, its magnitude (saturated at ULLONG_MAX, `overflow` then set), and
// where it ends (`s` itself when there are no digits).
struct Leading {
    bool negative = false;
    unsigned long long magnitude = 0;
    bool overflow = false;
    const char* end = nullptr;
};

Leading read_leading(const char* s, int base) {
    Leading result;
    result.end = s;
    const char* p = s;
    while (is_c_space(*p)) ++p;
    if (*p == '+' || *p == '-') result.negative = *p++ == '-';
    if (base == 0) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2], 16) >= 0) {
            base = 16;
            p += 2;
        } else {
            base = p[0] == '0' ? 8 : 10;
        }
    }
    const char* digits = p;
    for (; digit_value(*p, base) >= 0; ++p) {
        unsigned digit = static_cast<unsigned>(digit_value(*p, base));
        if (result.magnitude > (ULLONG_MAX - digit) / static_cast<unsigned>(base)) {
            result.overflow = true;
            result.magnitude = ULLONG_MAX;
        } else if (!result.overflow) {
            result.magnitude = result.magnitude * static_cast<unsigned>(base) + digit;
        }
    }
    if (p != digits) result.end = p;
    return result;
}

// atol's value without undefined behaviour: saturated to the range of long.
long reference_long(const char* s) {
    Leading n = read_leading(s, 10);
    if (n.end == s) return 0;
    if (n.negative) {
        return n.overflow || n.magnitude > static_cast<unsigned long long>(LONG_MAX) + 1
                   ? LONG_MIN
                   : static_cast<long>(0 - n.magnitude);
    }
    return n.overflow || n.magnitude > static_cast<unsigned long long>(LONG_MAX)
               ? LONG_MAX
               : static_cast<long>(n.magnitude);
}

unsigned long long reference_ull(const char* s) {
    Leading n = read_leading(s, 0);
    if (n.end == s) return 0;
    if (n.overflow) return ULLONG_MAX;
    return n.negative ? 0 - n.magnitude : n.magnitude;
}

bool reference_is_number(const char* s) {
    Leading n = read_leading(s, 10);
    if (n.end == s) return false;
    for (const char* p = n.end; *p != '\0'; ++p)
        if (!is_c_space(*p)) return false;
    return true;
}

void check_hexstr(unsigned int v, unsigned int width) {
    std::string text = nesk_utils::uint_to_hexstr(v, width);
    expect(!text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos,
           "uint_to_hexstr wrote something other than lower-case hex digits");
    expect(std::strtoul(text.c_str(), nullptr, 16) == v, "uint_to_hexstr does not read back");
    expect(text.size() >= width, "uint_to_hexstr is narrower than the width");
    expect(text.size() == width || text.size() == 1 || text[0] != '0',
           "uint_to_hexstr padded beyond the width");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const unsigned int v = input.ConsumeIntegral<unsigned int>();
    // Wider widths only pad further, and one near 2^32 would ask for gigabytes.
    const unsigned int width = input.ConsumeIntegralInRange<unsigned int>(0, 40);
    const std::string text = input.ConsumeRemainingBytesAsString();
    const char* s = text.c_str();

    const long as_long = reference_long(s);
    const int as_int = as_long > INT_MAX ? INT_MAX : as_long < INT_MIN ? INT_MIN : static_cast<int>(as_long);
    expect(nesk_utils::string_to_int(text) == as_int, "string_to_int differs from atoi");
    expect(nesk_utils::string_to_uint(text) == static_cast<unsigned int>(as_long),
           "string_to_uint differs from atoi taken as unsigned");
    expect(nesk_utils::string_to_ulong(text) == static_cast<unsigned long>(as_long),
           "string_to_ulong differs from atol");
    expect(nesk_utils::string_to_ull(text) == reference_ull(s),
           "string_to_ull differs from strtoull with base 0");
    expect(nesk_utils::is_number(s) == reference_is_number(s),
           "is_number differs from a decimal integer between white space");
    // No reference for the double reader; it must only read without faults.
    (void)nesk_utils::string_to_double(text);
    check_hexstr(v, width);
    return 0;
}
