// One command's whole standard output as a single text (internal).
#ifndef NESK_COMMAND_OUTPUT_H
#define NESK_COMMAND_OUTPUT_H

#include <string>

// Runs `command` through the platform process runner. 0 with `output` set to
// everything the command printed, trimmed at both ends (inner line feeds
// kept); otherwise the runner's non-zero result, `output` unchanged.
__attribute__((visibility("hidden"))) int read_command_output(const char* command,
                                                              std::string& output);

#endif
