// Small internal wrappers over the platform process runner for commands whose
// output is read whole or not at all (internal).
#ifndef NESK_RUN_COMMAND_H
#define NESK_RUN_COMMAND_H

#include <list>
#include <string>

#include "ZavProcess.h"

// Runs `command` through the platform process runner. 0 with `output` set to
// everything the command printed, trimmed at both ends (inner line feeds
// kept); otherwise the runner's non-zero result, `output` unchanged.
__attribute__((visibility("hidden"))) int read_command_output(const char* command,
                                                              std::string& output);

// nesk_utils::popen with a time limit of `limit_ms` milliseconds (0: none):
// once it passes, the command's process group is killed and the result is -1
// with `*expired` set and `lines` unchanged.
__attribute__((visibility("hidden"))) int popen_limited(const std::string& command,
                                                        std::list<std::string>& lines,
                                                        int delay, unsigned int limit_ms,
                                                        bool* expired);

// Runs `command` through the platform process runner and returns its result
// (0 on success, the exit status otherwise); both output streams go to
// /dev/null.
inline int run_quietly(const std::string& command) {
    return ZavProcess::system(command.c_str(), nullptr, nullptr, 0, false);
}

#endif
