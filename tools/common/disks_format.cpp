#include "disks_format.h"

#include <cstdio>

namespace nesk_disks {

bool parse_size(const std::string& text, unsigned long long& size) {
    size_t digits = 0;
    unsigned long long value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (__builtin_mul_overflow(value, 10ULL, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned long long>(text[digits] - '0'),
                                   &value))
            return false;
        ++digits;
    }
    if (digits == 0) return false;
    unsigned shift = 0;
    if (digits < text.size()) {
        if (digits + 1 != text.size()) return false;
        switch (text[digits]) {
            case 'K':
            case 'k':
                shift = 10;
                break;
            case 'M':
            case 'm':
                shift = 20;
                break;
            case 'G':
            case 'g':
                shift = 30;
                break;
            case 'T':
            case 't':
                shift = 40;
                break;
            default:
                return false;
        }
    }
    if (shift != 0 && value > (~0ULL >> shift)) return false;
    size = value << shift;
    return true;
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

std::string json_string(const std::string& text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            size_t length = utf8_sequence_length(bytes + i, text.size() - i);
            if (length != 0) {
                out.append(text, i, length);
                i += length;
            } else {
                out += "\\ufffd";
                ++i;
            }
        }
    }
    return out + "\"";
}

}  // namespace nesk_disks
