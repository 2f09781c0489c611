// Splitting and trimming helpers on arbitrary text: tokenize (both
// overloads), the trim family, get_name_value_pair, get_last_chars, append.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "nesk_utils.h"

using nesk_fuzz::expect;

namespace {

const std::string kTrimSet = " \n\r\t";

bool all_in(const std::string& text, const std::string& set) {
    return text.find_first_not_of(set) == std::string::npos;
}

// tokenize works on C strings: splitting stops at the first NUL, and every
// character before it that is in `delimiters` separates tokens.
std::vector<std::string> reference_tokens(const char* text, const char* delimiters) {
    std::vector<std::string> tokens;
    std::string token;
    for (const char* c = text;; ++c) {
        if (*c == '\0' || std::strchr(delimiters, *c) != nullptr) {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
            if (*c == '\0') break;
        } else {
            token += *c;
        }
    }
    return tokens;
}

void check_tokenize(const std::string& text, const std::string& delimiters) {
    std::vector<char> text_buffer(text.begin(), text.end());
    text_buffer.push_back('\0');
    std::vector<char> delimiter_buffer(delimiters.begin(), delimiters.end());
    delimiter_buffer.push_back('\0');
    const std::vector<char> text_before = text_buffer;

    std::list<std::string> as_list{"left over"};
    std::vector<std::string> as_vector{"left over"};
    nesk_utils::tokenize(text_buffer.data(), delimiter_buffer.data(), as_list);
    nesk_utils::tokenize(text_buffer.data(), delimiter_buffer.data(), as_vector);

    expect(text_buffer == text_before, "tokenize changed the caller's text");
    expect(std::vector<std::string>(as_list.begin(), as_list.end()) == as_vector,
           "the two tokenize overloads disagree");
    const std::string c_text(text_buffer.data());
    const std::string c_delimiters(delimiter_buffer.data());
    for (const std::string& token : as_vector) {
        expect(!token.empty(), "tokenize gave an empty token");
        expect(token.find_first_of(c_delimiters) == std::string::npos,
               "a token holds a delimiter");
        expect(c_text.find(token) != std::string::npos, "a token is not part of the text");
    }
    expect(as_vector == reference_tokens(text_buffer.data(), delimiter_buffer.data()),
           "tokenize differs from splitting at every delimiter");
}

void check_trim(const std::string& text, const std::string& set) {
    const std::string trimmed = nesk_utils::trim(text);
    expect(nesk_utils::trim(trimmed) == trimmed, "trim is not idempotent");
    // text == blanks + trimmed + blanks, with nothing of the set left at the ends.
    size_t at = text.find(trimmed);
    expect(at != std::string::npos, "trim's result is not part of the text");
    if (trimmed.empty()) {
        expect(all_in(text, kTrimSet), "trim emptied a text with more than white space");
    } else {
        expect(kTrimSet.find(trimmed.front()) == std::string::npos &&
                   kTrimSet.find(trimmed.back()) == std::string::npos,
               "trim left white space at an end");
        at = text.find_first_not_of(kTrimSet);
        expect(text.compare(at, trimmed.size(), trimmed) == 0 &&
                   all_in(text.substr(at + trimmed.size()), kTrimSet),
               "trim removed more than the white space at the ends");
    }

    const std::string left = nesk_utils::trim_left(text, set);
    const std::string right = nesk_utils::trim_right(text, set);
    expect(left.size() <= text.size() &&
               text.compare(text.size() - left.size(), left.size(), left) == 0 &&
               all_in(text.substr(0, text.size() - left.size()), set) &&
               (left.empty() || set.find(left.front()) == std::string::npos),
           "trim_left is not the text after its leading run of the set");
    expect(right.size() <= text.size() && text.compare(0, right.size(), right) == 0 &&
               all_in(text.substr(right.size()), set) &&
               (right.empty() || set.find(right.back()) == std::string::npos),
           "trim_right is not the text before its trailing run of the set");
    expect(left.empty() == right.empty(), "trim_left and trim_right disagree on emptiness");
}

void check_name_value(const std::string& line, char separator) {
    std::string name = "old name";
    std::string value = "old value";
    int result = nesk_utils::get_name_value_pair(line, separator, name, value);
    size_t at = line.find(separator);
    if (at == std::string::npos) {
        expect(result == -2 && name == "old name" && value == "old value",
               "get_name_value_pair without separator must give -2 and change nothing");
    } else {
        expect(result == 0, "get_name_value_pair with a separator must give 0");
        expect(name == nesk_utils::trim(line.substr(0, at)) &&
                   value == nesk_utils::trim(line.substr(at + 1)),
               "get_name_value_pair did not split at the first separator");
    }
    if (separator == ':') {
        std::string name2 = "old name";
        std::string value2 = "old value";
        expect(nesk_utils::get_name_value_pair(line, name2, value2) == result &&
                   (result != 0 || (name2 == name && value2 == value)),
               "get_name_value_pair with ':' differs from the default separator");
    }
}

void check_last_chars(const std::string& text, int n) {
    std::string last = nesk_utils::get_last_chars(text, n);
    if (n <= 0 || text.size() <= static_cast<size_t>(n)) {
        expect(last.empty(), "get_last_chars must be empty here");
    } else {
        expect(last == text.substr(text.size() - static_cast<size_t>(n)),
               "get_last_chars is not the last n characters");
    }
}

void check_append(const std::string& list, const std::string& item, const std::string& separator) {
    std::string changed = list;
    std::string returned = nesk_utils::append(changed, item, separator);
    expect(returned == changed, "append returns something other than the list");
    std::string expected = item.empty() ? list : list.empty() ? item : list + separator + item;
    expect(changed == expected, "append did not add the separator only between items");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string first = input.ConsumeRandomLengthString(4096);
    const std::string second = input.ConsumeRandomLengthString(64);
    const int count = input.ConsumeIntegral<int>();
    const std::string rest = input.ConsumeRemainingBytesAsString();

    check_tokenize(first, second);
    check_tokenize(rest, first);
    check_trim(first, second);
    check_trim(rest, first);
    check_name_value(first, ':');
    check_name_value(rest, second.empty() ? '=' : second[0]);
    check_last_chars(first, count);
    check_append(first, second, rest);
    return 0;
}
