#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "ZAVPlatformInfo.h"

namespace nesk_test {

TempDir::TempDir(const std::string& prefix) {
    const char* tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = buf.data();
}

TempDir::~TempDir() {
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    const char* old = getenv(name.c_str());
    had_value_ = old != nullptr;
    if (old) old_value_ = old;
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_value_)
        setenv(name_.c_str(), old_value_.c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ScopedPlatform::ScopedPlatform()
    : dir_("nesk-platform"),
      config_file_(dir_.path() + "/config.ini"),
      config_env_("NESK_CONFIG_FILE", config_file_),
      log_env_("NESK_LOG_DIR", dir_.path()) {}

void ScopedPlatform::set_debug_level(unsigned long value) const {
    ZAVPlatformInfo store;
    if (!store.setNumber("Vantor", "nNESKUtilsDebugLevel", value))
        throw std::runtime_error("cannot write the debug level to " + config_file_);
}

std::vector<std::string> ScopedPlatform::log_lines(size_t from) const {
    std::vector<std::string> lines;
    std::ifstream in(log_file());
    std::string line;
    for (size_t n = 0; std::getline(in, line); ++n)
        if (n >= from) lines.push_back(line);
    return lines;
}

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_whole_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out.good()) throw std::runtime_error("cannot write " + path);
}

int count_open_fds() {
    int count = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    if (!dir) return -1;
    while (struct dirent* e = readdir(dir.get()))
        if (e->d_name[0] != '.') ++count;
    return count - 1;  // the descriptor of the listing itself
}

int apply_filter(int (*filter)(const struct dirent*), const std::string& name) {
    struct dirent entry;
    memset(&entry, 0, sizeof entry);
    strncpy(entry.d_name, name.c_str(), sizeof entry.d_name - 1);
    return filter(&entry);
}

bool is_root() { return geteuid() == 0; }

std::string built_program(const std::string& name) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return name;
    std::string path(exe, static_cast<size_t>(n));
    path.erase(path.rfind('/'));
    return path.substr(0, path.rfind('/')) + "/" + name;
}

std::vector<std::string> table_cells(const std::string& row) {
    std::vector<std::string> found;
    size_t pos = 0;
    while (pos < row.size()) {
        size_t end = row.find("  ", pos);
        if (end == std::string::npos) end = row.size();
        found.push_back(row.substr(pos, end - pos));
        pos = row.find_first_not_of(' ', end);
        if (pos == std::string::npos) break;
    }
    return found;
}

ScopedStdin::ScopedStdin(const std::string& data) {
    saved_ = fcntl(0, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const bool written = write(ends[1], data.data(), data.size()) ==
                         static_cast<ssize_t>(data.size());  // fits a pipe's buffer
    close(ends[1]);
    // With descriptor 0 closed the read end may already be 0.
    bool moved = ends[0] == 0 ? fcntl(0, F_SETFD, 0) == 0 : dup2(ends[0], 0) == 0;
    if (ends[0] != 0) close(ends[0]);
    if (!written || !moved) throw std::runtime_error("cannot replace standard input");
}

ScopedStdin::~ScopedStdin() {
    if (saved_ >= 0) {
        dup2(saved_, 0);
        close(saved_);
    } else {
        close(0);
    }
}

}  // namespace nesk_test
