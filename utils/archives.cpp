// Gzip-compressed tar archives in /tmp, made and unpacked by the system's tar
// through the platform process runner. The command lines are plain
// concatenations: callers quote arguments that need it.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "nesk_utils.h"
#include "run_command.h"

namespace {

// Base name of the archive of a source without any "/".
const char k_default_base_name[] = "zavcompress_defaut";

// A private directory made beside `target` (same file system, so a rename
// moves the finished archive into place in one step) and the path under which
// tar writes there. Whatever is left of the partial archive is removed with
// the directory when the object goes away.
class partial_archive {
public:
    explicit partial_archive(const std::string& target) {
        const std::string dir = nesk_utils::dirname(target);
        const std::string name = nesk_utils::get_basename(target);
        std::string dir_template = (dir == "/" ? "" : dir) + "/." + name + ".XXXXXX";
        if (::mkdtemp(&dir_template[0]) == nullptr) return;
        dir_ = dir_template;
        path_ = dir_ + "/" + name;
    }
    ~partial_archive() {
        if (dir_.empty()) return;
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    partial_archive(const partial_archive&) = delete;
    partial_archive& operator=(const partial_archive&) = delete;

    bool made() const { return !dir_.empty(); }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

}  // namespace

int nesk_utils::compress(std::string source, std::string& archive) {
    std::string base_name = archive;
    if (base_name.empty()) {
        // A source ending in "/" gives an empty base name: "/tmp/.tar.gz".
        const size_t slash = source.rfind('/');
        base_name = slash == std::string::npos ? k_default_base_name : source.substr(slash + 1);
    }
    const std::string file_name = base_name + ".tar.gz";
    // tar runs in /tmp: a relative base name, like a relative source, is
    // taken relative to it; an absolute one stays where it points.
    const std::string target = file_name[0] == '/' ? file_name : "/tmp/" + file_name;

    // The archive appears under its name only once tar has succeeded; a
    // failure leaves an older archive of that name as it was.
    partial_archive partial(target);
    if (!partial.made()) return 1;
    if (run_quietly("cd /tmp && tar -czf " + partial.path() + " " + source) != 0) return 1;
    if (::rename(partial.path().c_str(), target.c_str()) != 0) return 1;
    archive = target;
    return 0;
}

int nesk_utils::uncompress(std::string archive, std::string& dir) {
    // When the cd fails, tar does not run and the status is the shell's.
    return run_quietly("cd " + dir + "&&tar  -xzf  " + archive);
}
