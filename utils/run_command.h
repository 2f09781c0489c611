// Small internal wrappers over the platform process runner for commands whose
// output is read whole or not at all (internal).
#ifndef NESK_RUN_COMMAND_H
#define NESK_RUN_COMMAND_H

#include <string>

#include "ZavProcess.h"

// Runs `command` through the platform process runner. 0 with `output` set to
// everything the command printed, trimmed at both ends (inner line feeds
// kept); otherwise the runner's non-zero result, `output` unchanged.
__attribute__((visibility("hidden"))) int read_command_output(const char* command,
                                                              std::string& output);

// Runs `command` through the platform process runner and returns its result
// (0 on success, the exit status otherwise); both output streams go to
// /dev/null.
inline int run_quietly(const std::string& command) {
    return ZavProcess::system(command.c_str(), nullptr, nullptr, 0, false);
}

#endif
