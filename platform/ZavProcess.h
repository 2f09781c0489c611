// Process runner of the host platform.
#ifndef NESK_PLATFORM_ZAVPROCESS_H
#define NESK_PLATFORM_ZAVPROCESS_H

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
};

#endif
