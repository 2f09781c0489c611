// Real block devices and real tools for tests and benchmarks that run inside a
// private mount namespace (see node_sandbox.h): loop devices over nameless
// sparse files, XFS file systems with extended attributes, mounts undone on
// every path, and LVM confined to the sandbox's nodes.
//
// Nothing here outlives the process: a loop device's backing file has no name
// (O_TMPFILE) and the device is configured to detach itself, dropping its
// partitions, when its last user closes it (LO_FLAGS_AUTOCLEAR with
// LO_FLAGS_PARTSCAN), so a crash leaves no attached loop device behind.
#ifndef NESK_REAL_DEVICES_H
#define NESK_REAL_DEVICES_H

#include <string>
#include <utility>
#include <vector>

#include "node_sandbox.h"
#include "test_support.h"

namespace nesk_test {

// Runs `argv` (looked up on PATH) and waits. Returns the exit code, 128 + signal
// when killed, or -1 when it could not be started. Standard output and error
// are appended to `*output` when given, discarded otherwise.
int run_program(const std::vector<std::string>& argv, std::string* output = nullptr);
// As above with standard output into `*out` and standard error into `*err`.
int run_program(const std::vector<std::string>& argv, std::string* out, std::string* err);
// As run_program, but throws std::runtime_error (with the output) unless the
// program exits 0.
void run_checked(const std::vector<std::string>& argv);

// A loop device over a sparse nameless file of `bytes` bytes made in /tmp (the
// sandbox's /tmp when one lives). Detached by the kernel once this object and
// every mount of it are gone. With `read_only` the kernel flags the device
// read-only, as "losetup -r" has it.
class LoopDevice {
public:
    explicit LoopDevice(unsigned long long bytes, bool read_only = false);
    // A loop device over the existing regular file `backing_file` (opened
    // read-write; its size is the device's), with the same guarantees. Throws
    // std::runtime_error when the file cannot be opened or attached.
    explicit LoopDevice(const std::string& backing_file);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    // /dev/loop<N>; the node is made in the current /dev when it is missing.
    std::string path() const;
    DevNum devnum() const { return devnum_; }
    unsigned long long sectors() const { return bytes_ / 512; }

    // Writes an msdos partition table with one partition from 1 MiB to the end
    // (parted, which also tells the kernel) and returns the partition's device
    // number. Needs the kernel's own /sys: call it before a NodeSandbox exists.
    DevNum make_one_partition();
    // /dev/loop<N>p<number>, as the kernel names the device's partitions.
    std::string partition_path(unsigned int number) const;
    // Device number the kernel gave partition `number` (after parted wrote the
    // table). Needs the kernel's own /sys, as above.
    DevNum partition_devnum(unsigned int number) const;

private:
    void attach(int backing, bool read_only);

    int fd_ = -1;
    unsigned int number_ = 0;
    DevNum devnum_;
    unsigned long long bytes_ = 0;
};

// Writes back and drops the kernel's cached blocks of `device` (BLKFLSBUF),
// so that its next reads reach the device's backing store. Writing back blocks
// while the store stalls would wait, so call it before stalling. The device
// must stay open elsewhere (a LoopDevice does): this closes its descriptor.
// Throws std::runtime_error on failure.
void flush_buffers(const std::string& device);

// mkfs.xfs on `device` (at least 300 MiB).
void make_xfs(const std::string& device);

// Mounts `device` on a fresh directory under /tmp with mount(2); unmounts it
// (and removes the directory) when destroyed, whatever happened meanwhile.
class ScopedMount {
public:
    ScopedMount(const std::string& device, const std::string& fs_type);
    // Mounts `source` on the existing directory `dir` with mount(2) `flags`
    // (MS_BIND for a bind mount); the directory stays when unmounted.
    ScopedMount(const std::string& source, const std::string& dir, const std::string& fs_type,
                unsigned long flags);
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    bool remove_dir_ = true;
};

// Extended attributes (name, exact value bytes) set with setfattr on the root
// of the XFS file system on `device`.
using Attributes = std::vector<std::pair<std::string, std::string>>;
void set_root_attributes(const std::string& device, const Attributes& attributes);
// The stamp set the appliance writes on a disk it owns.
Attributes valid_stamps(const std::string& device);

// Names in /tmp that begin with "hamnt".
std::vector<std::string> probe_directories();

// The system's LVM tools confined to the sandbox: a configuration (found
// through LVM_SYSTEM_DIR) that looks only at /dev/sd* nodes and keeps no
// hints, backups, archives or devices file, and a private tmpfs on /run for
// its locks. Needs a live NodeSandbox.
class SandboxLvm {
public:
    SandboxLvm();
    ~SandboxLvm();
    SandboxLvm(const SandboxLvm&) = delete;
    SandboxLvm& operator=(const SandboxLvm&) = delete;
    void pvcreate(const std::string& device) { run_checked({"pvcreate", "-q", device}); }
    // Points LVM at a configuration it cannot parse, so that every LVM command
    // fails until the object goes away.
    class Broken {
    public:
        Broken();

    private:
        TempDir dir_;
        ScopedEnv env_;
    };

private:
    TempDir dir_;
    ScopedEnv system_dir_;
    ScopedEnv quiet_;
    bool run_mounted_ = false;
};

}  // namespace nesk_test

#endif
