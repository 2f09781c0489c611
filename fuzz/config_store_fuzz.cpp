// The configuration store on an arbitrary store file, then one write.
// Oracles, for the sections and keys the file names:
// - writing one key never changes what another key reads back, and the
//   written key reads back the value written;
// - a write with valid names and a value without line breaks or NUL succeeds,
//   any other write is refused and changes nothing;
// - a write keeps every line of the file it does not replace, in order.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "ZAVPlatformInfo.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

const std::string& store_path() {
    static nesk_fuzz::ScratchDir dir;
    static const std::string path = dir.path() + "/config.ini";
    static const bool set = setenv("NESK_CONFIG_FILE", path.c_str(), 1) == 0;
    expect(set, "cannot point NESK_CONFIG_FILE at the scratch store");
    return path;
}

const char kBlanks[] = " \t\v\f";

std::string strip_blanks(const std::string& text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The names the store's header allows.
bool valid_name(const std::string& name, bool key) {
    if (name.empty() || name != strip_blanks(name)) return false;
    if (name.find_first_of(std::string("]=\n\r\0", 5)) != std::string::npos) return false;
    return !key || (name[0] != '#' && name[0] != ';' && name[0] != '[');
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t newline = text.find('\n', start);
        if (newline == std::string::npos) newline = text.size();
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Reading {
    int found;
    std::string value;
    bool operator==(const Reading& other) const {
        return found == other.found && (!found || value == other.value);
    }
};

Reading read_key(const std::string& section, const std::string& key) {
    ZAVPlatformInfo store;
    Reading reading{0, std::string()};
    reading.found = store.getString(section, key, &reading.value);
    return reading;
}

// Candidate names: what stands between brackets and before '=' on the lines
// of the file, blanks and a carriage return stripped.
void collect_names(const std::string& text, std::set<std::string>& sections,
                   std::set<std::string>& keys) {
    for (std::string line : lines_of(text)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string stripped = strip_blanks(line);
        if (stripped.size() >= 2 && stripped.front() == '[' && stripped.back() == ']') {
            if (sections.size() < 8) sections.insert(stripped.substr(1, stripped.size() - 2));
        } else if (line.find('=') != std::string::npos && keys.size() < 8) {
            keys.insert(strip_blanks(line.substr(0, line.find('='))));
        }
    }
}

bool is_subsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    size_t at = 0;
    for (const std::string& line : whole)
        if (at < part.size() && part[at] == line) ++at;
    return at == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = store_path();
    FuzzedDataProvider input(data, size);
    const std::string text = input.ConsumeRandomLengthString(4096);
    nesk_fuzz::write_file(path, text.data(), text.size());

    std::set<std::string> sections{"Vantor"};
    std::set<std::string> keys{"nNESKUtilsDebugLevel"};
    collect_names(text, sections, keys);
    std::vector<std::string> section_list(sections.begin(), sections.end());
    std::vector<std::string> key_list(keys.begin(), keys.end());

    // The key to write: one the file names, or a new one.
    std::string section = input.ConsumeBool()
                              ? section_list[input.ConsumeIntegralInRange<size_t>(0, section_list.size() - 1)]
                              : input.ConsumeRandomLengthString(16);
    std::string key = input.ConsumeBool()
                          ? key_list[input.ConsumeIntegralInRange<size_t>(0, key_list.size() - 1)]
                          : input.ConsumeRandomLengthString(16);
    const std::string value = input.ConsumeRemainingBytesAsString();
    section_list.push_back(section);
    key_list.push_back(key);

    std::vector<Reading> before;
    for (const std::string& s : section_list)
        for (const std::string& k : key_list) before.push_back(read_key(s, k));

    int stored = ZAVPlatformInfo().setString(section, key, value.data(),
                                             static_cast<int>(value.size()));
    bool writable = valid_name(section, false) && valid_name(key, true) &&
                    value.find_first_of(std::string("\n\r\0", 3)) == std::string::npos;
    expect((stored != 0) == writable, "a write was refused or accepted against the rules");

    const std::string after_text = read_file(path);
    if (!stored) expect(after_text == text, "a refused write changed the file");
    std::vector<std::string> old_lines = lines_of(text);
    std::vector<std::string> new_lines = lines_of(after_text);
    if (new_lines.size() == old_lines.size()) {
        size_t changed = 0;
        for (size_t i = 0; i < old_lines.size(); ++i) changed += old_lines[i] != new_lines[i];
        expect(changed <= 1, "a write changed more than one line");
    } else {
        expect(new_lines.size() > old_lines.size() && is_subsequence(old_lines, new_lines),
               "a write lost or reordered lines of the file");
    }

    size_t i = 0;
    for (const std::string& s : section_list) {
        for (const std::string& k : key_list) {
            Reading now = read_key(s, k);
            if (stored && s == section && k == key) {
                expect(now.found && now.value == value, "the written key does not read back");
            } else {
                expect(now == before[i], "writing one key changed another key's value");
            }
            ++i;
        }
    }
    return 0;
}
