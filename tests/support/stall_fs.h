// A disk that hangs or fails on demand: one file served by a small FUSE file
// system whose server the test commands, and a loop device over that file.
//
// The server is a forked child process (the test process stays
// single-threaded). It keeps the file's bytes in a nameless memory file and
// opens the file with direct I/O, so every read and write of the file, and so
// every request a loop device over it sends past the block device's own cache,
// is answered by the server: normally, after the test resumes it (stalled), or
// with EIO (failing).
//
// Closing the last descriptor of a block device whose requests are stalled
// blocks the closer until they are answered. Tests therefore never close one
// while stalled: the loop device over the file belongs to the StallableFile,
// whose destructor resumes before it lets the device go.
//
// Example, inside a NodeSandbox:
//   StallableFile disk(64 << 20);
//   LoopDevice& loop = disk.loop_device();
//   flush_buffers(loop.path());
//   disk.stall();
//   ... a child reading loop.path() now waits until disk.resume() ...
#ifndef NESK_STALL_FS_H
#define NESK_STALL_FS_H

#include <sys/types.h>

#include <memory>
#include <string>

#include "fd_util.h"
#include "real_devices.h"

namespace nesk_test {

class StallableFile {
public:
    // "" when a StallableFile can be made in this process; otherwise why not
    // (no private mount namespace, no /dev/fuse).
    static std::string unavailable_reason();

    // Mounts a FUSE file system holding one file of `bytes` zero bytes on a
    // fresh directory under /tmp (the sandbox's /tmp when one lives; the mount
    // is always made in the process's private mount namespace). Throws
    // std::runtime_error when unavailable or when the server does not start.
    explicit StallableFile(unsigned long long bytes);
    // Resumes the server, lets the loop device go, unmounts the file system
    // (lazily when still busy), kills and reaps the server and removes the
    // directory. Requests still pending then end with an error.
    ~StallableFile();
    StallableFile(const StallableFile&) = delete;
    StallableFile& operator=(const StallableFile&) = delete;

    // The file (<mount directory>/disk) and the mount directory.
    const std::string& path() const { return path_; }
    const std::string& mount_dir() const { return dir_; }
    unsigned long long size() const { return bytes_; }
    // The server's process id (0 once it is gone).
    pid_t server_pid() const { return pid_; }

    // Each returns once the server acts on it. Stalled: every read, write and
    // fsync waits until resume() (or fail(), which fails the waiting ones).
    // Failing: every read, write and fsync answers EIO. resume(): normal
    // again. Throw std::runtime_error when the server is gone.
    void stall();
    void fail();
    void resume();
    // Kills the server as a crash would: every pending and later request of
    // the file fails (the kernel aborts the connection); the dead mount stays
    // until the destructor.
    void kill_server();

    // A loop device over the file (LoopDevice's guarantees), made on the first
    // call and owned by this object.
    LoopDevice& loop_device();

private:
    void command(char code);
    void stop_server();

    unsigned long long bytes_ = 0;
    std::string dir_;
    std::string path_;
    pid_t pid_ = 0;
    nesk::unique_fd control_;  // socket to the server's control thread
    bool mounted_ = false;
    std::unique_ptr<LoopDevice> loop_;
};

}  // namespace nesk_test

#endif
