#include "forked_child.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "test_support.h"

namespace nesk_test {

int run_in_child(const std::function<int()>& body) {
    std::fflush(nullptr);  // buffered output must not be written twice
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
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
