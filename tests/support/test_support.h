// Small helpers shared by the tests.
#ifndef NESK_TEST_SUPPORT_H
#define NESK_TEST_SUPPORT_H

#include <dirent.h>

#include <string>
#include <vector>

namespace nesk_test {

// A fresh directory under $TMPDIR (default /tmp), removed with its contents
// when the object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "nesk-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// Sets an environment variable for the object's lifetime and restores the
// previous state afterwards.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_value_ = false;
    std::string old_value_;
};

// Points the configuration store and the debug log at files inside a scratch
// directory for the object's lifetime.
class ScopedPlatform {
public:
    ScopedPlatform();
    const std::string& config_file() const { return config_file_; }
    const std::string& log_dir() const { return dir_.path(); }
    std::string log_file() const { return dir_.path() + "/NESKUtils.log"; }
    // Writes "nNESKUtilsDebugLevel" of section "Vantor" into the store.
    void set_debug_level(unsigned long value) const;
    // Lines of the log file so far (without line feeds), the first `from` left out.
    std::vector<std::string> log_lines(size_t from = 0) const;

private:
    TempDir dir_;
    std::string config_file_;
    ScopedEnv config_env_;
    ScopedEnv log_env_;
};

// Whole content of a file ("" when it cannot be read).
std::string read_whole_file(const std::string& path);
// Writes `data` to `path`, replacing it; aborts the test on failure.
void write_whole_file(const std::string& path, const std::string& data);
// Number of descriptors open in this process.
int count_open_fds();
// What a scandir filter answers for a directory entry called `name`.
int apply_filter(int (*filter)(const struct dirent*), const std::string& name);
// True when running as root (effective uid 0).
bool is_root();
// A program built in the build tree, which holds the tests' directory:
// <build>/<name>.
std::string built_program(const std::string& name);
// The cells of a row of a table whose columns are separated by two blanks or
// more, as nesk-disks and the fleet playbook write them.
std::vector<std::string> table_cells(const std::string& row);

// Replaces this process's standard input, for the object's lifetime, by a
// pipe that holds `data` and then ends: a child that inherits descriptor 0
// instead of getting its own reads `data`. Aborts the test on failure.
class ScopedStdin {
public:
    explicit ScopedStdin(const std::string& data);
    ~ScopedStdin();
    ScopedStdin(const ScopedStdin&) = delete;
    ScopedStdin& operator=(const ScopedStdin&) = delete;

private:
    int saved_ = -1;  // the previous descriptor 0, -1 when it was closed
};

}  // namespace nesk_test

#endif
