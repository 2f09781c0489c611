// Listing, testing and creating directories.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstring>

#include "fd_util.h"
#include "nesk_utils.h"

void nesk_utils::read_directory(std::string dir, std::list<std::string>& entries) {
    if (dir.empty()) return;
    nesk::unique_dir stream(opendir(dir.c_str()));  // glibc opens it close-on-exec
    if (!stream) return;
    while (struct dirent* entry = readdir(stream.get())) entries.emplace_back(entry->d_name);
}

bool nesk_utils::is_dir_empty(std::string dir) {
    // As read_directory would list it, stopping at the first real entry.
    if (dir.empty()) return true;
    nesk::unique_dir stream(opendir(dir.c_str()));
    if (!stream) return true;
    while (struct dirent* entry = readdir(stream.get()))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) return false;
    return true;
}

int nesk_utils::mkdir_r(std::string path, unsigned int mode) {
    std::list<std::string> components;
    char slash[] = "/";
    tokenize(&path[0], slash, components);

    // Every prefix is taken from the root, whether or not `path` starts there.
    std::string prefix;
    for (const std::string& component : components) {
        prefix += "/";
        prefix += component;
        struct stat st;
        if (::stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return -1;
            continue;
        }
        if (errno != ENOENT) return -1;
        if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) != 0) return -1;
    }
    return 0;
}
