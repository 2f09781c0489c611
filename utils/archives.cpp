// Gzip-compressed tar archives in /tmp, made and unpacked by the system's tar
// through the platform process runner. The command lines are plain
// concatenations: callers quote arguments that need it.
#include <string>

#include "nesk_utils.h"
#include "run_command.h"

namespace {

// Base name of the archive of a source without any "/".
const char k_default_base_name[] = "zavcompress_defaut";

}  // namespace

int nesk_utils::compress(std::string source, std::string& archive) {
    std::string base_name = archive;
    if (base_name.empty()) {
        // A source ending in "/" gives an empty base name: "/tmp/.tar.gz".
        const size_t slash = source.rfind('/');
        base_name = slash == std::string::npos ? k_default_base_name : source.substr(slash + 1);
    }
    const std::string file_name = base_name + ".tar.gz";
    // tar runs in /tmp: a relative source is taken relative to it too.
    if (run_quietly("cd /tmp && tar -czf " + file_name + " " + source) != 0) return 1;
    archive = "/tmp/" + file_name;
    return 0;
}

int nesk_utils::uncompress(std::string archive, std::string& dir) {
    // When the cd fails, tar does not run and the status is the shell's.
    return run_quietly("cd " + dir + "&&tar  -xzf  " + archive);
}
