#include "forked_child.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "test_support.h"

namespace nesk_test {

namespace {

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

}  // namespace nesk_test
