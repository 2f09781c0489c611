// Running a command line whose output nobody reads (internal).
#ifndef NESK_RUN_QUIETLY_H
#define NESK_RUN_QUIETLY_H

#include <string>

#include "ZavProcess.h"

// Runs `command` through the platform process runner and returns its result
// (0 on success, the exit status otherwise); both output streams are dropped.
inline int run_quietly(const std::string& command) {
    std::string output;
    std::string errors;
    return ZavProcess::system(command.c_str(), &output, &errors, 0, false);
}

#endif
