// nesk-disks' JSON string writer (nlohmann-json with error_handler_t::replace, as
// the tool writes every text of its document) on arbitrary bytes. The output is read back
// by a strict JSON string reader written here: it must be one JSON string
// (quotes at both ends, no raw C0 control byte, only valid escapes, valid UTF-8,
// surrogates only in pairs), and it must decode to the input with the bytes
// that do not start a well-formed UTF-8 sequence replaced by U+FFFD, one or
// one per byte for each run of them (so a valid UTF-8 input comes back
// unchanged).
#include <string>

#include "disks_format.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

const char kReplacement[] = "\xef\xbf\xbd";

// Length of the well-formed UTF-8 sequence at `text[at]` that ends before
// `end` (Unicode's table of well-formed byte sequences), 0 when there is none.
size_t well_formed(const std::string& text, size_t at, size_t end) {
    auto byte = [&](size_t k) -> unsigned {
        return at + k < end ? static_cast<unsigned char>(text[at + k]) : 0x100;
    };
    auto in = [](unsigned b, unsigned low, unsigned high) { return b >= low && b <= high; };
    unsigned b0 = byte(0);
    if (b0 < 0x80) return 1;
    unsigned low = 0x80, high = 0xbf;
    size_t length = 0;
    if (in(b0, 0xc2, 0xdf)) {
        length = 2;
    } else if (in(b0, 0xe0, 0xef)) {
        length = 3;
        if (b0 == 0xe0) low = 0xa0;
        if (b0 == 0xed) high = 0x9f;
    } else if (in(b0, 0xf0, 0xf4)) {
        length = 4;
        if (b0 == 0xf0) low = 0x90;
        if (b0 == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (!in(byte(1), low, high)) return 0;
    for (size_t k = 2; k < length; ++k)
        if (!in(byte(k), 0x80, 0xbf)) return 0;
    return length;
}

void put_utf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

bool read_hex4(const std::string& json, size_t at, unsigned long& code) {
    if (at + 4 > json.size()) return false;
    code = 0;
    for (size_t k = at; k < at + 4; ++k) {
        char c = json[k];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) return false;
        code = code * 16 + static_cast<unsigned long>(digit);
    }
    return true;
}

// The text of the JSON string `json`; false when it is not exactly one.
bool read_json_string(const std::string& json, std::string& text) {
    if (json.size() < 2 || json.front() != '"' || json.back() != '"') return false;
    size_t at = 1;
    const size_t end = json.size() - 1;
    while (at < end) {
        unsigned char c = static_cast<unsigned char>(json[at]);
        if (c == '"' || c < 0x20) return false;  // JSON allows a raw DEL
        if (c != '\\') {
            size_t length = well_formed(json, at, end);
            if (length == 0) return false;
            text.append(json, at, length);
            at += length;
            continue;
        }
        if (at + 1 >= end) return false;
        char e = json[at + 1];
        at += 2;
        const std::string simple = "\"\\/bfnrt";
        const std::string decoded = "\"\\/\b\f\n\r\t";
        if (simple.find(e) != std::string::npos) {
            text += decoded[simple.find(e)];
            continue;
        }
        unsigned long code = 0;
        if (e != 'u' || !read_hex4(json, at, code) || at + 4 > end) return false;
        at += 4;
        if (code >= 0xdc00 && code <= 0xdfff) return false;
        if (code >= 0xd800 && code <= 0xdbff) {
            unsigned long low = 0;
            if (at + 6 > end || json[at] != '\\' || json[at + 1] != 'u' ||
                !read_hex4(json, at + 2, low) || low < 0xdc00 || low > 0xdfff)
                return false;
            at += 6;
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        put_utf8(text, code);
    }
    return true;
}

std::string with_replacements(const std::string& input) {
    std::string out;
    for (size_t at = 0; at < input.size();) {
        size_t length = well_formed(input, at, input.size());
        if (length == 0) {
            out += kReplacement;
            ++at;
        } else {
            out.append(input, at, length);
            at += length;
        }
    }
    return out;
}

// `text` with every run of consecutive U+FFFD written as one: the writer may
// replace a run of invalid bytes by one U+FFFD or by one per byte.
std::string collapse_replacements(const std::string& text) {
    std::string out;
    const std::string mark = kReplacement;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, mark.size(), mark) == 0) {
            out += mark;
            while (text.compare(at, mark.size(), mark) == 0) at += mark.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string json = nesk_disks::json_string(input);
    std::string text;
    expect(read_json_string(json, text), "json_string's output is not one strict JSON string");
    expect(collapse_replacements(text) == collapse_replacements(with_replacements(input)),
           "json_string's output does not decode to the input (invalid bytes as U+FFFD)");
    return 0;
}
