// nesk-disks' SIZE parser against a reference computed in 128 bits: digits,
// then at most one of K, M, G, T (either case, powers of 1024), accepted when
// the value fits in 64 bits; a refused text leaves the result alone.
#include <string>

#include "disks_format.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

bool reference_size(const std::string& text, unsigned long long& size) {
    const unsigned __int128 limit = ~0ULL;
    unsigned __int128 value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > limit) return false;
    }
    if (i == 0) return false;
    if (i < text.size()) {
        if (i + 1 != text.size()) return false;
        const std::string units = "KkMmGgTt";
        size_t unit = units.find(text[i]);
        if (unit == std::string::npos) return false;
        value <<= 10 * (unit / 2 + 1);
        if (value > limit) return false;
    }
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
