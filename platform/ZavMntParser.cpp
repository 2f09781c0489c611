// Mount-table parser on the C library's mntent reader, which also decodes the
// octal escapes (\040 and so on) the kernel writes for blanks and backslashes.
#include "ZavMntParser.h"

#include <mntent.h>
#include <stdio.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

struct MntentCloser {
    void operator()(FILE* table) const { endmntent(table); }
};

// Options in table order; an empty option text gives none, and the empty
// pieces of doubled commas are dropped.
std::list<std::string> split_options(const char* text) {
    std::list<std::string> options;
    std::string option;
    for (const char* c = text ? text : ""; ; ++c) {
        if (*c == ',' || *c == '\0') {
            if (!option.empty()) options.push_back(std::move(option));
            option.clear();
            if (*c == '\0') break;
        } else {
            option += *c;
        }
    }
    return options;
}

// A mount line can be long (overlay layer lists); the reader drops what does
// not fit into its buffer, so give it room.
const size_t kLineBuffer = 64 * 1024;

}  // namespace

ZavMntInfo::ZavMntInfo(std::string mount_point, std::string backing_device, std::string fs_type,
                       int dump_frequency, int pass_number, std::list<std::string> options)
    : mount_point_(std::move(mount_point)),
      backing_device_(std::move(backing_device)),
      fs_type_(std::move(fs_type)),
      dump_frequency_(dump_frequency),
      pass_number_(pass_number),
      options_(std::move(options)) {}

std::string ZavMntInfo::GetMountPoint() const { return mount_point_; }
std::string ZavMntInfo::GetBackingDevice() const { return backing_device_; }
std::string ZavMntInfo::GetFileSystemType() const { return fs_type_; }
int ZavMntInfo::GetDumpFrequency() const { return dump_frequency_; }
int ZavMntInfo::GetPassNumber() const { return pass_number_; }

void ZavMntInfo::GetMountOptions(std::list<std::string>& options) const {
    options.insert(options.end(), options_.begin(), options_.end());
}

ZavMntParser::ZavMntParser(const std::string& path) : path_(path) {}

int ZavMntParser::ParseMountPointInfo(std::list<ZavMntInfo>& entries) {
    std::unique_ptr<FILE, MntentCloser> table(setmntent(path_.c_str(), "re"));
    if (!table) return -1;
    std::vector<char> buffer(kLineBuffer);
    std::list<ZavMntInfo> parsed;
    struct mntent entry;
    while (getmntent_r(table.get(), &entry, buffer.data(), static_cast<int>(buffer.size()))) {
        parsed.emplace_back(entry.mnt_dir, entry.mnt_fsname, entry.mnt_type, entry.mnt_freq,
                            entry.mnt_passno, split_options(entry.mnt_opts));
    }
    entries.splice(entries.end(), parsed);
    return 0;
}
