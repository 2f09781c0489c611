// Mount-table parser of the host platform.
#ifndef NESK_PLATFORM_ZAVMNTPARSER_H
#define NESK_PLATFORM_ZAVMNTPARSER_H

#include <list>
#include <string>

#include "nesk_export.h"

// One mounted file system, as one line of a mount table describes it.
class NESK_EXPORT ZavMntInfo {
public:
    ZavMntInfo() = default;
    ZavMntInfo(std::string mount_point, std::string backing_device, std::string fs_type,
               int dump_frequency, int pass_number, std::list<std::string> options);

    std::string GetMountPoint() const;
    std::string GetBackingDevice() const;
    std::string GetFileSystemType() const;
    int GetDumpFrequency() const;
    int GetPassNumber() const;
    // Appends the entry's options to `options`, one per element, in table order;
    // what the list already held stays in front. An entry without options, and
    // the empty pieces between doubled commas, add no element.
    void GetMountOptions(std::list<std::string>& options) const;

private:
    std::string mount_point_;
    std::string backing_device_;
    std::string fs_type_;
    int dump_frequency_ = 0;
    int pass_number_ = 0;
    std::list<std::string> options_;
};

class NESK_EXPORT ZavMntParser {
public:
    explicit ZavMntParser(const std::string& path);

    // Appends one entry per line of the table, in table order, decoding the
    // octal escapes (\040 for a blank and so on) in every field; comment and
    // blank lines are skipped. Returns 0, or -1 when the table cannot be opened
    // (the list is then unchanged). Lines longer than 64 KiB are cut there.
    int ParseMountPointInfo(std::list<ZavMntInfo>& entries);

    const std::string& GetPath() const { return path_; }

private:
    std::string path_;
};

#endif
