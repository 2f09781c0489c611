// Debug-log writer of the host platform.
#ifndef NESK_PLATFORM_EVDEBUG_H
#define NESK_PLATFORM_EVDEBUG_H

#include <cstdarg>
#include <cstdint>
#include <string>

#include "nesk_export.h"

// Per-log state owned by the writer's user; EvDebug keeps a pointer to it.
struct EvDebugFileInstance {
    int32_t fd = -1;           // the writer's open log descriptor (for reading
                               // only: the writer owns it), -1 while none is open
    uint32_t enabled = 1;      // 0 silences the instance
    uint32_t with_pid = 1;     // 0 leaves the process id out of each line
    uint64_t max_size = 0;     // rotation threshold in bytes, 0 for none
    int32_t max_versions = 0;  // rotated files kept besides the live one
    uint32_t module_id = 0;    // set by initialize, written into no line
    std::string path;          // log file path, empty until first use
};

// Writes one line per entry to "$NESK_LOG_DIR/NESKUtils.log" (default directory
// /var/log/nesk, created when missing):
//   2024-05-01 12:34:56.123456 [4711] nesk_blkdevmgr::get_blkdev: k=1 n=2 message
// that is local time with microseconds, "[pid]", "function: " when a function
// is given, "k=<k> n=<n> " for the non-zero ones, and the formatted message with
// its trailing line feeds removed and inner line feeds and carriage returns
// turned into blanks, so that one entry stays one line. The file is opened on
// the first message (NESK_LOG_DIR is read then), not before. Each line reaches
// the file in one write on a descriptor opened for appending, so lines from
// several processes never interleave. Before each write the file's size is
// checked: once it has reached the configured size it is rotated to ".1" ...
// ".N" (the oldest dropped) under an advisory lock on the log, so that one
// process rotates and the others, finding their descriptor no longer names
// the live file, reopen it. A log that cannot be opened or written makes no
// call fail; the open is retried with the next message. A log path that is
// not a regular file (a FIFO, a device, a socket, a directory) gets no line:
// it is opened without waiting and closed again unwritten.
class EvDebug {
public:
    NESK_EXPORT explicit EvDebug(EvDebugFileInstance* instance);
    // Closes the log descriptor. It does not touch the instance, which may
    // already be gone (a derived class's member is destroyed before its base).
    NESK_EXPORT ~EvDebug();
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    // Binds the writer to `instance`. `module_id` is kept in the instance; the
    // `long long`, `bool` and `name` arguments are accepted for the platform's
    // interface and ignored (a non-empty name selects "<name>.log" instead of
    // the default file name).
    NESK_EXPORT void initialize(EvDebugFileInstance* instance, unsigned int module_id,
                                long long reserved, bool reserved_flag, const std::string& name);
    // Rotation threshold in MiB; 0 disables rotation.
    NESK_EXPORT void setLogFileSize(unsigned long long mebibytes);
    // Number of rotated files kept (0 to 1000; with 0 a full log is removed).
    NESK_EXPORT void setMaxVersion(int versions);

    // Formats `format` with `arguments` as vprintf does and writes one line.
    // `function` may be null. The other arguments are the platform's event
    // coordinates: `k` and `n` are written as "k=<k>" and "n=<n>" when non-zero.
    NESK_EXPORT void handleMsgEventDebug_NEW(int reserved, const char* function, unsigned int k,
                                             int reserved2, long long n, const char* reserved3,
                                             const char* format, va_list arguments);

private:
    bool open_log();
    void close_log();
    void rotate_if_due();

    EvDebugFileInstance* instance_ = nullptr;
    std::string name_;
    int fd_ = -1;  // owned here, mirrored into instance_->fd
};

#endif
