#include "forked_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "fd_util.h"
#include "test_support.h"

namespace nesk_test {

namespace {

int wait_for(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

bool write_text(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads `fd` to its end; false on a read error.
bool read_text(int fd, std::string& text) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buf, static_cast<size_t>(n));
    }
}

// Closes every descriptor above the standard streams except `keep`.
void close_inherited(const std::vector<int>& keep) {
    std::vector<int> open_fds;
    {
        nesk::unique_dir dir(opendir("/proc/self/fd"));
        if (!dir) return;
        while (struct dirent* entry = readdir(dir.get()))
            if (entry->d_name[0] != '.') open_fds.push_back(std::atoi(entry->d_name));
        const int listing = dirfd(dir.get());
        for (int& fd : open_fds)
            if (fd == listing) fd = -1;
    }
    for (int fd : open_fds)
        if (fd > 2 && std::find(keep.begin(), keep.end(), fd) == keep.end()) close(fd);
}

// Forks a child that ends with _exit(body()); its pid, or -1.
pid_t start_child(const std::function<int()>& body) {
    std::fflush(nullptr);  // buffered output must not be written twice
    pid_t pid = fork();
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    return pid;
}

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int run_in_child(const std::function<int()>& body) {
    pid_t pid = start_child(body);
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return exit_code(status);
}

BackgroundChild::BackgroundChild(const std::function<int()>& body) : pid_(start_child(body)) {
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

BackgroundChild::~BackgroundChild() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    reap_within(1000);
}

bool BackgroundChild::reap_within(int milliseconds) {
    for (int waited = 0;; waited += 10) {
        int status = 0;
        pid_t pid = waitpid(pid_, &status, WNOHANG);
        if (pid == pid_) {
            code_ = exit_code(status);
            pid_ = 0;
            return true;
        }
        if (pid < 0 && errno != EINTR) {
            pid_ = 0;
            return true;
        }
        if (waited >= milliseconds) return false;
        usleep(10000);
    }
}

bool BackgroundChild::still_running_after(int milliseconds) {
    return pid_ > 0 && !reap_within(milliseconds);
}

int BackgroundChild::wait() {
    if (pid_ > 0) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0)
            if (errno != EINTR) return -1;
        code_ = exit_code(status);
        pid_ = 0;
    }
    return code_;
}

bool enter_private_mount_namespace() {
    if (unshare(CLONE_NEWNS) != 0) return false;
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

std::string text_from_child(const std::function<std::string()>& body) {
    TempDir dir("nesk-child");
    const std::string file = dir.file("text");
    const int code = run_in_child([&] {
        write_whole_file(file, body());
        return 0;
    });
    if (code != 0) return "child failed: " + std::to_string(code);
    return read_whole_file(file);
}

bool enter_private_uts_namespace(const std::string& host_name) {
    if (unshare(CLONE_NEWUTS) != 0) return false;
    return sethostname(host_name.data(), host_name.size()) == 0;
}

ServingChild::ServingChild(const std::function<int(const Ready&)>& body) {
    int ready[2], release[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    if (pipe2(release, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error("pipe2 failed");
    }
    std::fflush(nullptr);  // buffered output must not be written twice
    pid_ = fork();
    if (pid_ == 0) {
        close_inherited({ready[1], release[0]});
        int code = 125;
        // The first byte says whether the child got ready ('R') or failed ('E').
        const Ready on_ready = [&](const std::string& text) {
            write_text(ready[1], "R" + text);
            close_fd(ready[1]);
            std::string ignored;
            read_text(release[0], ignored);
        };
        try {
            code = body(on_ready);
        } catch (const std::exception& e) {
            if (ready[1] >= 0) write_text(ready[1], std::string("E") + e.what());
        } catch (...) {
            if (ready[1] >= 0) write_text(ready[1], "Eunknown exception");
        }
        _exit(code);
    }
    close(ready[1]);
    close(release[0]);
    ready_fd_ = ready[0];
    release_fd_ = release[1];
    if (pid_ < 0) {
        close_fd(ready_fd_);
        close_fd(release_fd_);
        throw std::runtime_error("fork failed");
    }
}

ServingChild::~ServingChild() { finish(); }

std::string ServingChild::wait_ready() {
    std::string text;
    const bool read_all = ready_fd_ >= 0 && read_text(ready_fd_, text);
    close_fd(ready_fd_);
    if (read_all && !text.empty() && text[0] == 'R') return text.substr(1);
    const int code = finish();
    if (!text.empty() && text[0] == 'E')
        throw std::runtime_error("the child failed: " + text.substr(1));
    throw std::runtime_error("the child ended before it was ready: " + std::to_string(code));
}

int ServingChild::finish() {
    close_fd(ready_fd_);
    close_fd(release_fd_);
    if (pid_ <= 0) return -1;
    const int code = wait_for(pid_);
    pid_ = -1;
    return code;
}

}  // namespace nesk_test
