// nesk-disks' SIZE parser against a reference computed in 128 bits and exact
// decimal arithmetic: digits, an optional fraction (".digits", only with a
// unit), then an optional unit K, M, G, T or P (either case) alone or with
// "iB"/"ib" (powers of 1024), or with "B"/"b" (powers of 1000); what a
// fraction gives below one byte is dropped. Accepted when the value fits in
// 64 bits; a refused text leaves the result alone.
#include <string>
#include <vector>

#include "disks_format.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

// floor(unit * 0.<fraction>): the fraction's digits times `unit` as a decimal
// number, without its last fraction.size() digits.
unsigned __int128 fraction_bytes(const std::string& fraction, unsigned long long unit) {
    std::vector<unsigned> product(fraction.size() + 40, 0);  // little-endian decimal digits
    for (size_t k = 0; k < fraction.size(); ++k)
        product[k] = static_cast<unsigned>(fraction[fraction.size() - 1 - k] - '0');
    unsigned __int128 carry = 0;
    for (auto& d : product) {
        unsigned __int128 v = static_cast<unsigned __int128>(d) * unit + carry;
        d = static_cast<unsigned>(v % 10);
        carry = v / 10;
    }
    unsigned __int128 whole = 0;
    for (size_t k = product.size(); k-- > fraction.size();) whole = whole * 10 + product[k];
    return whole;
}

bool reference_size(const std::string& text, unsigned long long& size) {
    const unsigned __int128 limit = ~0ULL;
    unsigned __int128 value = 0;
    size_t i = 0;
    for (; i < text.size() && digit(text[i]); ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > limit) return false;
    }
    if (i == 0) return false;
    std::string fraction;
    bool point = false;
    if (i < text.size() && text[i] == '.') {
        point = true;
        size_t first = ++i;
        while (i < text.size() && digit(text[i])) ++i;
        if (i == first) return false;
        fraction = text.substr(first, i - first);
    }
    if (i == text.size()) {
        if (point) return false;
        size = static_cast<unsigned long long>(value);
        return true;
    }
    const std::string units = "KMGTP";
    // Clearing bit 5 upper-cases a letter and maps nothing else onto "KMGTP".
    const size_t power = units.find(static_cast<char>(text[i] & ~0x20));
    if (power == std::string::npos) return false;
    const std::string tail = text.substr(i + 1);
    unsigned base;
    if (tail.empty() || tail == "iB" || tail == "ib")
        base = 1024;
    else if (tail == "B" || tail == "b")
        base = 1000;
    else
        return false;
    unsigned long long unit = 1;
    for (size_t p = 0; p <= power; ++p) unit *= base;
    value = value * unit + fraction_bytes(fraction, unit);
    if (value > limit) return false;
    size = static_cast<unsigned long long>(value);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    unsigned long long parsed = 12345;
    unsigned long long expected = 12345;
    bool accepted = nesk_disks::parse_size(text, parsed);
    expect(accepted == reference_size(text, expected), "parse_size accepts or refuses wrongly");
    expect(parsed == expected, "parse_size gives another value, or changed it on refusal");
    return 0;
}
