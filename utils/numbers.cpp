// Conversions between numbers and text, and the size-unit converter.
#include <ctype.h>
#include <stdlib.h>

#include <climits>
#include <sstream>

#include "nesk_utils.h"

namespace {

// The number at the start of `s` as atol reads it: leading white space, an
// optional sign, decimal digits up to the first other character, 0 without
// digits. Out-of-range values saturate instead of being undefined.
long leading_long(const std::string& s) { return strtol(s.c_str(), nullptr, 10); }

}  // namespace

std::string nesk_utils::ulong_to_string(unsigned long v) { return std::to_string(v); }

std::string nesk_utils::uint_to_string(unsigned int v) { return std::to_string(v); }

std::string nesk_utils::uint_to_hexstr(unsigned int v, unsigned int width) {
    std::ostringstream out;
    out << std::hex << std::nouppercase << v;
    std::string text = out.str();
    if (text.size() < width) text.insert(0, width - text.size(), '0');
    return text;
}

std::string nesk_utils::booltostr(bool b) { return b ? "true" : "false"; }

unsigned long nesk_utils::string_to_ulong(std::string s) {
    return static_cast<unsigned long>(leading_long(s));
}

int nesk_utils::string_to_int(std::string s) {
    long v = leading_long(s);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

unsigned int nesk_utils::string_to_uint(std::string s) {
    // Reduced modulo 2^32, so every value up to UINT_MAX comes back whole and
    // "-1" gives UINT_MAX, as a signed int taken as unsigned would.
    return static_cast<unsigned int>(leading_long(s));
}

double nesk_utils::string_to_double(std::string s) { return strtod(s.c_str(), nullptr); }

unsigned long long nesk_utils::string_to_ull(std::string s) {
    return strtoull(s.c_str(), nullptr, 0);
}

bool nesk_utils::is_number(const char* s) {
    if (s == nullptr) return false;
    char* end = nullptr;
    strtol(s, &end, 10);
    if (end == s) return false;
    for (const char* p = end; *p != '\0'; ++p)
        if (!isspace(static_cast<unsigned char>(*p))) return false;
    return true;
}

double nesk_utils::convert_size_to_gb(double size, std::string unit) {
    if (unit == "B") return size / (1024.0 * 1024.0 * 1024.0);
    if (unit == "KB") return size / (1024.0 * 1024.0);
    if (unit == "MB") return size / 1024.0;
    if (unit == "GB") return size;
    if (unit == "TB") return size * 1024.0;
    if (unit == "PB") return size * 1024.0 * 1024.0;
    return -1.0;
}
