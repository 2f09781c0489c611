// The /proc/devices reader on arbitrary list text, against a reference that
// splits the text into lines itself: after the first line holding "Block
// devices", the first line "<number> <name>" whose name is the driver gives
// the number (within int; blanks before either part).
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "device_data.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

struct FileCloser {
    void operator()(FILE* stream) const { fclose(stream); }
};

const char kSpace[] = " \t\n\r\v\f";

// "<number> <word>" at the start of `line`, number within int. strtol reads up
// to the first NUL only, the word is taken from the whole line.
bool reference_entry(const std::string& line, int& number, std::string& word) {
    size_t at = line.find_first_not_of(kSpace);
    if (at == std::string::npos) return false;
    size_t digits = at + (line[at] == '+' || line[at] == '-' ? 1 : 0);
    size_t end = digits;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    if (end == digits) return false;
    std::string text = line.substr(at, end - at);
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
    size_t begin = line.find_first_not_of(kSpace, end);
    if (begin == std::string::npos) return false;
    size_t stop = line.find_first_of(kSpace, begin);
    word = line.substr(begin, stop == std::string::npos ? std::string::npos : stop - begin);
    number = static_cast<int>(value);
    return true;
}

int reference_major(const std::string& text, const std::string& driver, bool& listed) {
    listed = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        if (newline == std::string::npos) newline = text.size();
        std::string line = text.substr(start, newline - start);
        start = newline + 1;
        if (!listed) {
            listed = line.find("Block devices") != std::string::npos;
            continue;
        }
        int number = 0;
        std::string word;
        if (reference_entry(line, number, word) && word == driver) return number;
    }
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string driver = input.ConsumeRandomLengthString(24);
    if (driver.empty()) driver = "md";
    std::string text = input.ConsumeRemainingBytesAsString();

    std::unique_ptr<FILE, FileCloser> stream(fmemopen(&text[0], text.size(), "r"));
    expect(stream != nullptr, "fmemopen failed");

    bool listed = true;
    int major = block_major_in(stream.get(), driver, listed);
    bool expected_listed = false;
    int expected = reference_major(text, driver, expected_listed);
    expect(listed == expected_listed, "the block device list heading was not found as it is");
    expect(major == expected, "the major number differs from the reference");
    return 0;
}
