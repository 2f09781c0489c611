// The mount-table parser on a table file. The first input byte chooses:
// - even: the rest is the table as it stands. Oracle: the parse succeeds,
//   gives at most one entry per line, and no option that is empty or holds a
//   comma;
// - odd: the rest describes entries, written as the kernel writes a table
//   (blank, tab, line feed and backslash as octal escapes). Oracle: every
//   field reads back as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include "ZavMntParser.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

const nesk_fuzz::ScratchDir& scratch() {
    static nesk_fuzz::ScratchDir dir;
    return dir;
}

struct Entry {
    std::string device, mount_point, type;
    std::list<std::string> options;
    int dump = 0, pass = 0;
};

std::string escape(const std::string& field) {
    std::string out;
    for (char c : field) {
        switch (c) {
            case ' ': out += "\\040"; break;
            case '\t': out += "\\011"; break;
            case '\n': out += "\\012"; break;
            case '\\': out += "\\134"; break;
            default: out += c;
        }
    }
    return out;
}

// A field the kernel could write: not empty, no NUL; a device name starting
// with '#' would turn its line into a comment.
std::string field(FuzzedDataProvider& input, bool device) {
    std::string text = input.ConsumeRandomLengthString(40);
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    if (device && !text.empty() && text[0] == '#') text[0] = '/';
    return text.empty() ? "x" : text;
}

std::list<ZavMntInfo> parse(const std::string& table) {
    const std::string path = scratch().path() + "/mtab";
    nesk_fuzz::write_file(path, table.data(), table.size());
    std::list<ZavMntInfo> entries;
    expect(ZavMntParser(path).ParseMountPointInfo(entries) == 0, "a readable table must parse");
    return entries;
}

void check_raw(const std::string& table) {
    std::list<ZavMntInfo> entries = parse(table);
    size_t lines = static_cast<size_t>(std::count(table.begin(), table.end(), '\n')) + 1;
    expect(entries.size() <= lines, "more entries than lines");
    for (const ZavMntInfo& entry : entries) {
        std::list<std::string> options{"kept"};
        entry.GetMountOptions(options);
        expect(options.front() == "kept", "GetMountOptions dropped what the list held");
        options.pop_front();
        for (const std::string& option : options)
            expect(!option.empty() && option.find(',') == std::string::npos,
                   "an option is empty or holds a comma");
    }
}

void check_round_trip(FuzzedDataProvider& input) {
    std::vector<Entry> written(input.ConsumeIntegralInRange<size_t>(0, 8));
    std::string table;
    for (Entry& entry : written) {
        entry.device = field(input, true);
        entry.mount_point = field(input, false);
        entry.type = field(input, false);
        std::string options;
        for (size_t n = input.ConsumeIntegralInRange<size_t>(1, 4); n > 0; --n) {
            std::string option = field(input, false);
            std::replace(option.begin(), option.end(), ',', '.');
            entry.options.push_back(option);
            options += (options.empty() ? "" : ",") + escape(option);
        }
        entry.dump = input.ConsumeIntegralInRange<int>(0, 9);
        entry.pass = input.ConsumeIntegralInRange<int>(0, 9);
        table += escape(entry.device) + " " + escape(entry.mount_point) + " " +
                 escape(entry.type) + " " + options + " " + std::to_string(entry.dump) + " " +
                 std::to_string(entry.pass) + "\n";
    }
    std::list<ZavMntInfo> entries = parse(table);
    expect(entries.size() == written.size(), "not one entry per table line");
    auto read = entries.begin();
    for (const Entry& entry : written) {
        std::list<std::string> options;
        read->GetMountOptions(options);
        expect(read->GetBackingDevice() == entry.device, "device does not read back");
        expect(read->GetMountPoint() == entry.mount_point, "mount point does not read back");
        expect(read->GetFileSystemType() == entry.type, "type does not read back");
        expect(options == entry.options, "options do not read back");
        expect(read->GetDumpFrequency() == entry.dump && read->GetPassNumber() == entry.pass,
               "dump frequency or pass number does not read back");
        ++read;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] % 2 == 0) {
        check_raw(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    } else {
        FuzzedDataProvider input(data + 1, size - 1);
        check_round_trip(input);
    }
    return 0;
}
