#include "disks_format.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace nesk_disks {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// floor(0.<digits> * base^power), exactly: the decimal fraction is multiplied
// by the base `power` times, and what carries out of its first digit each time
// is the whole part. Below base^power, so it cannot overflow.
unsigned long long fraction_of_unit(const std::string& digits, unsigned base, unsigned power) {
    std::string fraction = digits;
    unsigned long long whole = 0;
    for (unsigned p = 0; p < power; ++p) {
        unsigned carry = 0;
        for (size_t k = fraction.size(); k-- > 0;) {
            unsigned product = static_cast<unsigned>(fraction[k] - '0') * base + carry;
            fraction[k] = static_cast<char>('0' + product % 10);
            carry = product / 10;
        }
        whole = whole * base + carry;
    }
    return whole;
}

}  // namespace

bool parse_size(const std::string& text, unsigned long long& size) {
    const size_t n = text.size();
    size_t i = 0;
    unsigned long long value = 0;
    for (; i < n && is_digit(text[i]); ++i) {
        if (__builtin_mul_overflow(value, 10ULL, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned long long>(text[i] - '0'), &value))
            return false;
    }
    if (i == 0) return false;
    std::string fraction;
    const bool point = i < n && text[i] == '.';
    if (point) {
        const size_t first = ++i;
        while (i < n && is_digit(text[i])) ++i;
        if (i == first) return false;
        fraction = text.substr(first, i - first);
    }
    if (i == n) {
        if (point) return false;
        size = value;
        return true;
    }

    static const char units[] = "KMGTP";
    unsigned power = 0;
    for (unsigned u = 0; u < sizeof units - 1; ++u)
        if (text[i] == units[u] || text[i] == units[u] - 'A' + 'a') power = u + 1;
    if (power == 0) return false;
    const std::string tail = text.substr(i + 1);
    unsigned base;
    if (tail.empty() || tail == "iB" || tail == "ib")
        base = 1024;
    else if (tail == "B" || tail == "b")
        base = 1000;
    else
        return false;

    unsigned long long unit = 1;
    for (unsigned p = 0; p < power; ++p) unit *= base;
    if (__builtin_mul_overflow(value, unit, &value) ||
        __builtin_add_overflow(value, fraction_of_unit(fraction, base, power), &value))
        return false;
    size = value;
    return true;
}

std::string json_string(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

size_t utf8_sequence_length(const unsigned char* p, size_t available) {
    size_t length;
    unsigned long code;
    if (p[0] >= 0xc2 && p[0] <= 0xdf) {
        length = 2;
        code = p[0] & 0x1f;
    } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
        length = 3;
        code = p[0] & 0x0f;
    } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
        length = 4;
        code = p[0] & 0x07;
    } else {
        return 0;
    }
    if (length > available) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xc0) != 0x80) return 0;
        code = (code << 6) | (p[k] & 0x3f);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000)) return 0;
    if ((code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return 0;
    return length;
}

std::string table_cell(const std::string& text) {
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    auto escape = [&out](const unsigned char* from, size_t count) {
        for (size_t k = 0; k < count; ++k) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", from[k]);
            out += hex;
        }
    };
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = bytes[i];
        size_t length = 1;
        if (c == '\\') {
            if (i + 1 < text.size() && text[i + 1] == 'x')
                escape(bytes + i, 1);
            else
                out += '\\';
        } else if (c < 0x20 || c == 0x7f) {
            escape(bytes + i, 1);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            length = utf8_sequence_length(bytes + i, text.size() - i);
            if (length == 0) {
                length = 1;
                escape(bytes + i, 1);
            } else if (c == 0xc2 && bytes[i + 1] < 0xa0) {
                escape(bytes + i, length);  // a C1 control, such as the one-byte CSI
            } else {
                out.append(text, i, length);
            }
        }
        i += length;
    }
    return out;
}

std::string human_size(unsigned long long bytes) {
    static const char units[] = "BKMGTPE";
    unsigned unit = 0;
    while (unit + 1 < sizeof units - 1 && bytes >> (10 * (unit + 1)) != 0) ++unit;
    // Tenths of the unit, rounded half up; 128 bits hold ten times any size.
    const unsigned __int128 scale = static_cast<unsigned __int128>(1) << (10 * unit);
    const unsigned __int128 tenths =
        (static_cast<unsigned __int128>(bytes) * 10 + scale / 2) / scale;
    std::string text = std::to_string(static_cast<unsigned long long>(tenths / 10));
    if (tenths % 10 != 0) text += "." + std::to_string(static_cast<unsigned>(tenths % 10));
    return text + units[unit];
}

}  // namespace nesk_disks
