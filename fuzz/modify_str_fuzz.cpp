// modify_str against a reference that follows its rule literally: replace the
// first occurrence of `from`, search again from the start, until none is left.
//
// That rule need not end quickly, or at all, when `to` is longer than `from`:
// "ab" to "bba" doubles the b's for every a that passes them, so "aaaaab"
// grows exponentially, and other pairs regrow what they replaced for ever.
// The rule stays as it is; instead the reference runs first under a budget
// (characters searched, and the length of the text), and an input whose
// rewriting does not finish within it is not handed to modify_str. Pairs
// where `to` holds `from` (or `from` is empty), which the rule cannot finish
// at all, are replaced once, left to right, and checked against that.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz_util.h"
#include "nesk_utils.h"

using nesk_fuzz::expect;

namespace {

const size_t kMaxWork = size_t(1) << 20;  // characters searched in all
const size_t kMaxLength = size_t(1) << 14;

// False when the rewriting goes beyond the budget.
bool rewrite_until_none_left(std::string& s, const std::string& from, const std::string& to) {
    size_t work = 0;
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from)) {
        s.replace(at, from.size(), to);
        work += s.size();
        if (work > kMaxWork || s.size() > kMaxLength) return false;
    }
    return true;
}

std::string replace_once_each(const std::string& s, const std::string& from,
                              const std::string& to) {
    if (from.empty()) return s;
    std::string result;
    size_t start = 0;
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, start)) {
        result.append(s, start, at - start).append(to);
        start = at + from.size();
    }
    return result.append(s, start, std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string from = input.ConsumeRandomLengthString(16);
    const std::string to = input.ConsumeRandomLengthString(32);
    const std::string text = input.ConsumeRemainingBytesAsString();

    std::string expected = text;
    if (from.empty() || to.find(from) != std::string::npos) {
        expected = replace_once_each(text, from, to);
    } else if (!rewrite_until_none_left(expected, from, to)) {
        return 0;  // the rule itself runs beyond the budget
    }
    std::string actual = text;
    nesk_utils::modify_str(actual, from, to);
    expect(actual == expected, "modify_str differs from replacing until none is left");
    if (!from.empty() && to.find(from) == std::string::npos)
        expect(actual.find(from) == std::string::npos, "modify_str left an occurrence");
    return 0;
}
