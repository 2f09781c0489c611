// A handle on one kernel object's sysfs directory, through which all of its
// attributes are read. Text attributes go through nesk::line_reader: an
// open, one read and a close each.
#ifndef NESK_SYSFS_H
#define NESK_SYSFS_H

#include <list>
#include <string>

namespace nesk {

// Every byte of the file at `path`, at most `limit` of them; "" when it cannot
// be opened or read. For binary attributes, where a line feed is data.
std::string read_bytes(const std::string& path, size_t limit);

// One kernel object's sysfs directory, such as /sys/block/sdb or
// /sys/bus/scsi/devices/2:0:0:0. Attribute names are relative to it and may
// reach through links ("device/vpd_pg80").
class sysfs_dev {
public:
    explicit sysfs_dev(std::string dir) : dir_(std::move(dir)) {}

    // The whole disk `kernel_name` (sdb, nvme0n1, md0) under `block_dir`, the
    // kernel's block directory.
    static sysfs_dev block(const std::string& block_dir, const std::string& kernel_name) {
        return sysfs_dev(block_dir + "/" + kernel_name);
    }

    // The whole disk whose device node is `device_path` (/dev/sdb gives
    // /sys/block/sdb).
    static sysfs_dev disk(const std::string& device_path);

    const std::string& dir() const { return dir_; }
    // The path of attribute `name`; the directory itself for "".
    std::string path(const std::string& name) const {
        return name.empty() ? dir_ : dir_ + "/" + name;
    }

    // The attribute's first line, trimmed as nesk_utils::trim does; "" when it
    // cannot be read.
    std::string read(const std::string& name) const;
    // The attribute's raw bytes, at most `limit`; "" when it cannot be read.
    std::string read_bytes(const std::string& name, size_t limit) const {
        return nesk::read_bytes(path(name), limit);
    }
    // True when `name` is a directory (links followed); "" asks about the
    // object's own directory.
    bool is_dir(const std::string& name) const;
    // The text of symbolic link `name` ("../../../2:0:0:0"); "" asks about
    // the object's own path. "" when it is not a link or cannot be read.
    std::string link(const std::string& name) const;
    // True when `name` is a regular file (links followed).
    bool is_file(const std::string& name) const;
    // The names in directory `name` that do not begin with ".", in directory
    // order; false (and `names` empty) when it cannot be listed.
    bool list(const std::string& name, std::list<std::string>& names) const;

private:
    std::string dir_;
};

}  // namespace nesk

#endif
