// Process runner: "/bin/sh -c" started with posix_spawn, both output streams
// collected through poll(), the shell waited for by pid.
#include "ZavProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "internal/posix_util.h"

extern char** environ;

namespace {

using nesk_platform::retry_on_eintr;
using nesk_platform::unique_fd;

const char kShell[] = "/bin/sh";

// When SIGCHLD is ignored the kernel reaps our child by itself and waitpid
// ends in ECHILD, the status lost. Then the command runs under a second shell
// that does wait for it (its SIGCHLD is reset to the default below) and
// writes "$?" to descriptor 3, a pipe we read like the two output streams.
// The inner shell gets descriptor 3 closed, so the command sees only 0, 1, 2.
// "$?" of a shell is 128 + n for a command killed by signal n, the same
// number this runner reports itself.
const char kReportingWrapper[] = "/bin/sh -c -- \"$1\" 3>&-; echo $? >&3";

class SpawnFileActions {
public:
    SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    ~SpawnAttributes() {
        if (ok_) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return ok_; }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

// Waits for the child on every way out of system(), exceptions included, so
// that no zombie is left behind. Declared before the pipes it outlives: they
// are closed first, so a child still writing gets EPIPE instead of blocking.
class ChildReaper {
public:
    ChildReaper() = default;
    ~ChildReaper() {
        if (pid_ > 0) wait();
    }
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    pid_t* pid_slot() { return &pid_; }
    // True with the wait status when the child was reaped here; false when it
    // could not be (ECHILD: it was reaped automatically).
    bool wait(int* status = nullptr) {
        int local = 0;
        pid_t result = retry_on_eintr([&] { return waitpid(pid_, &local, 0); });
        pid_ = -1;
        if (result < 0) return false;
        if (status) *status = local;
        return true;
    }

private:
    pid_t pid_ = -1;
};

// Moves `fd` above `lowest_free` - 1 when it is below, keeping close-on-exec,
// so that redirections onto 0..3 in the child never overwrite one another and
// a dup2 onto a target always clears close-on-exec.
bool move_above(unique_fd& fd, int lowest_free) {
    if (fd.get() >= lowest_free) return true;
    int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, lowest_free);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

bool make_pipe(unique_fd& read_end, unique_fd& write_end) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return move_above(read_end, 4) && move_above(write_end, 4);
}

bool children_are_reaped_automatically() {
    struct sigaction action;
    if (sigaction(SIGCHLD, nullptr, &action) != 0) return false;
    if (action.sa_flags & SA_NOCLDWAIT) return true;
    return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_IGN;
}

int status_to_result(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Parses the wrapper's "$?" line; -1 when it holds no number.
int parse_reported_status(const std::string& text) {
    int value = 0;
    bool digits = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (value > 1000) return -1;
            value = value * 10 + (c - '0');
            digits = true;
        } else if (c != '\n') {
            return -1;
        }
    }
    return digits ? value : -1;
}

struct Channel {
    unique_fd fd;
    std::string* sink;
};

// Reads every channel until end of file, whichever has data first, so that a
// command filling one pipe never waits for us while we wait on the other.
// False when poll fails for a reason other than EINTR.
bool drain(std::vector<Channel>& channels) {
    std::vector<char> buffer(64 * 1024);
    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        for (const Channel& channel : channels)
            if (channel.fd) polled.push_back({channel.fd.get(), POLLIN, 0});
        if (polled.empty()) return true;
        if (poll(polled.data(), polled.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (const pollfd& entry : polled) {
            if (entry.revents == 0) continue;
            for (Channel& channel : channels) {
                if (channel.fd.get() != entry.fd) continue;
                ssize_t got = read(channel.fd.get(), buffer.data(), buffer.size());
                if (got > 0)
                    channel.sink->append(buffer.data(), static_cast<size_t>(got));
                else if (got == 0 || (errno != EINTR && errno != EAGAIN))
                    channel.fd.reset();
                break;
            }
        }
    }
}

}  // namespace

int ZavProcess::system(const char* command, std::string* output, std::string* error, int,
                       bool) {
    if (output) output->clear();
    if (error) error->clear();
    if (!command) return -1;
    const bool wrapped = children_are_reaped_automatically();

    ChildReaper child;
    std::string captured_status;
    std::vector<Channel> channels;
    unique_fd out_write, err_write, status_write;
    if (output) {
        channels.push_back({unique_fd(), output});
        if (!make_pipe(channels.back().fd, out_write)) return -1;
    }
    if (error) {
        channels.push_back({unique_fd(), error});
        if (!make_pipe(channels.back().fd, err_write)) return -1;
    }
    if (wrapped) {
        channels.push_back({unique_fd(), &captured_status});
        if (!make_pipe(channels.back().fd, status_write)) return -1;
    }

    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) return -1;
    posix_spawn_file_actions_t* fa = actions.get();
    bool setup = posix_spawn_file_actions_addopen(fa, 0, "/dev/null", O_RDONLY, 0) == 0;
    setup = setup && (out_write ? posix_spawn_file_actions_adddup2(fa, out_write.get(), 1)
                                : posix_spawn_file_actions_addopen(fa, 1, "/dev/null",
                                                                   O_WRONLY, 0)) == 0;
    setup = setup && (err_write ? posix_spawn_file_actions_adddup2(fa, err_write.get(), 2)
                                : posix_spawn_file_actions_addopen(fa, 2, "/dev/null",
                                                                   O_WRONLY, 0)) == 0;
    if (wrapped) setup = setup && posix_spawn_file_actions_adddup2(fa, status_write.get(), 3) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Also descriptors that other code opened without close-on-exec stay
    // behind; older C libraries rely on close-on-exec alone.
    setup = setup && posix_spawn_file_actions_addclosefrom_np(fa, wrapped ? 4 : 3) == 0;
#endif

    // The shell starts with an empty signal mask and with SIGPIPE and SIGCHLD
    // at their defaults, whatever the caller ignores: pipelines need SIGPIPE
    // and a shell must be able to wait for its own children.
    sigset_t empty, defaults;
    sigemptyset(&empty);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    setup = setup && posix_spawnattr_setsigmask(attributes.get(), &empty) == 0 &&
            posix_spawnattr_setsigdefault(attributes.get(), &defaults) == 0 &&
            posix_spawnattr_setflags(attributes.get(),
                                     POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    if (!setup) return -1;

    char* direct_argv[] = {const_cast<char*>(kShell), const_cast<char*>("-c"),
                           const_cast<char*>("--"), const_cast<char*>(command), nullptr};
    char* wrapped_argv[] = {const_cast<char*>(kShell), const_cast<char*>("-c"),
                            const_cast<char*>("--"), const_cast<char*>(kReportingWrapper),
                            const_cast<char*>("sh"), const_cast<char*>(command), nullptr};
    // posix_spawn reports failure through its result, not errno.
    if (posix_spawn(child.pid_slot(), kShell, fa, attributes.get(),
                    wrapped ? wrapped_argv : direct_argv, environ) != 0) {
        *child.pid_slot() = -1;
        return -1;
    }
    // Only the child may hold the write ends, or end of file never comes.
    out_write.reset();
    err_write.reset();
    status_write.reset();

    bool complete = drain(channels);
    channels.clear();
    int status = 0;
    bool reaped = child.wait(&status);
    if (!complete) return -1;
    if (wrapped) {
        int reported = parse_reported_status(captured_status);
        if (reported >= 0) return reported;
        // The wrapper itself died before reporting.
        return reaped ? (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1) : -1;
    }
    return reaped ? status_to_result(status) : -1;
}
