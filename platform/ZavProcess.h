// Process runner of the host platform.
#ifndef NESK_PLATFORM_ZAVPROCESS_H
#define NESK_PLATFORM_ZAVPROCESS_H

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "nesk_export.h"

class NESK_EXPORT ZavProcess {
public:
    // Runs `command` through "/bin/sh -c" with standard input from /dev/null and
    // blocks until it has ended. Both output streams are collected completely and
    // concurrently: on return `*output` holds everything the command wrote to its
    // standard output and `*error` everything it wrote to standard error (either
    // pointer may be null to send that stream to /dev/null; whatever the
    // strings held before is replaced). The call returns once both streams are closed, so a
    // background process that keeps one open keeps the call waiting.
    // Returns 0 on exit status 0, the exit status when the command exited
    // non-zero, 128 + signal number when a signal ended the shell, and -1 when
    // the shell could not be started (null command, no descriptors or
    // processes left), its output could not be collected, or its status was
    // lost (another thread of the caller reaped it).
    // The child gets descriptors 0, 1 and 2 only, an empty signal mask and
    // SIGPIPE and SIGCHLD at their defaults. When the caller ignores SIGCHLD
    // (SIG_IGN or SA_NOCLDWAIT), the kernel reaps the shell by itself and its
    // status cannot be waited for; the command then runs under a second shell
    // that waits for it and passes its status back through a pipe, so the
    // results stay the same. `flags` and `detach` are reserved by the platform:
    // the library passes 0 and false, and other values are treated the same way.
    static int system(const char* command, std::string* output, std::string* error,
                      int flags = 0, bool detach = false);

    // As system(), with a time limit of `limit_ms` milliseconds (0: none).
    // With a limit the shell leads a process group of its own; once the
    // limit passes, the whole group is killed (SIGKILL) and the call returns
    // -1 with `*expired` set (when `expired` is not null), without waiting
    // for a process that cannot die yet (one in an uninterruptible wait on a
    // device that does not answer): such a process is reaped by a later call
    // once it has ended. `*expired` is false on every other return.
    static int system_limited(const char* command, std::string* output, std::string* error,
                              unsigned int limit_ms, bool* expired);

    // Runs `work` in a child process forked from the caller, for a read that
    // may hang in the kernel: the caller stops waiting when the limit passes,
    // whatever the child is stuck in. Returns 0 with `*result` set to the
    // bytes `work` returned; -1 when the child could not be started, threw,
    // or ended without handing back its whole answer; -1 with `*expired` set
    // when `limit_ms` (0: none) passed first, the child then killed and left
    // to be reaped later. The child leaves the caller's process group and
    // ends with _exit: `work` must do only what is safe after fork (open,
    // read, close; no locks another thread of the caller may hold).
    static int run_in_child(const std::function<std::string()>& work, std::string* result,
                            unsigned int limit_ms, bool* expired);
};

// A command whose standard output is read while it runs, for callers that
// take the output as it comes (the counterpart of popen(3) in read mode). The
// command is started by the same spawner as ZavProcess::system, and its shell
// gets the same setup: "/bin/sh -c", standard input from /dev/null,
// descriptors 0, 1 and 2 only, an empty signal mask, SIGPIPE and SIGCHLD at
// their defaults, its status kept when the caller ignores SIGCHLD. Its
// standard output is a pipe read with read(); its standard error is the
// caller's own.
//
// One command at a time per object; an object is used by one thread at a
// time. A command still running when the object goes away is handled as by
// close().
class NESK_EXPORT ZavProcessPipe {
public:
    ZavProcessPipe();
    ~ZavProcessPipe();
    ZavProcessPipe(const ZavProcessPipe&) = delete;
    ZavProcessPipe& operator=(const ZavProcessPipe&) = delete;

    // Starts `command`. False when it could not be started (null command, a
    // command of this object still open, no descriptors or processes left);
    // nothing runs then.
    bool open(const char* command);
    // As open(command), with a limit of `limit_ms` milliseconds (0: none):
    // the shell leads a process group of its own; a read() still waiting
    // when the limit passes fails with ETIMEDOUT, and close() (also one
    // called after the limit) then kills the group and returns -1 without
    // waiting for what cannot die yet.
    bool open(const char* command, unsigned int limit_ms);
    // Reads up to `size` bytes of the command's standard output into
    // `buffer`, waiting until there are some or the output has ended; a read
    // interrupted by a signal is resumed. Returns the number of bytes read, 0
    // at the end of the output (or when no command is open), and -1 with
    // errno set when reading fails.
    ssize_t read(char* buffer, size_t size);
    // Closes the pipe (a command still writing gets SIGPIPE) and waits for the
    // shell to end. Returns its wait status as waitpid(2) gives it: exit code
    // * 256 after a normal end, the signal number (with the core-dump flag)
    // when a signal ended it. -1 when no command is open or its status was
    // lost (another thread of the caller reaped it).
    // When the caller ignores SIGCHLD, the status is the number the reporting
    // shell hands back ("$?"), turned into a wait status: a shell reports a
    // command killed by signal n as 128 + n, so 129 to 192 read as a kill by
    // that signal (without core-dump flag) and every other number as an exit
    // code.
    int close();
    // True when the last command's limit passed before it ended.
    bool expired() const;

private:
    struct Running;
    std::unique_ptr<Running> running_;
};

#endif
