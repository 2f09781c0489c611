// Process runner: "/bin/sh -c" started with posix_spawn, the shell waited for
// by pid. ZavProcess::system collects both output streams through poll();
// ZavProcessPipe hands standard output to its caller to read.
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
// writes "$?" to descriptor 3, a pipe read once the command is done. The
// inner shell gets descriptor 3 closed, so the command sees only 0, 1, 2.
// "$?" of a shell is 128 + n for a command killed by signal n, the same
// number ZavProcess::system reports itself.
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
    if (status == -1) return -1;
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

// The wait status matching the wrapper's "$?", which is 128 + n for a
// command killed by signal n.
int wait_status_from_shell(int code) {
    if (code > 128 && code - 128 < NSIG) return code - 128;
    return (code & 0xff) << 8;
}

// Where a stream of the shell goes: /dev/null, a new pipe whose read end the
// caller gets, or the caller's own descriptor of that number.
enum class Stream { discard, capture, inherit };

// Adds the file action that sets up descriptor `target` (1 or 2) as `how`.
bool route(posix_spawn_file_actions_t* fa, int target, Stream how, const unique_fd& write_end) {
    switch (how) {
        case Stream::capture:
            return posix_spawn_file_actions_adddup2(fa, write_end.get(), target) == 0;
        case Stream::discard:
            return posix_spawn_file_actions_addopen(fa, target, "/dev/null", O_WRONLY, 0) == 0;
        case Stream::inherit:
            break;
    }
    return true;
}

// The one spawner of the platform: a "/bin/sh -c" child, waited for on every
// way out of its owner (exceptions included), so that no zombie is left
// behind. Declare it before the pipes it outlives: they are closed first, so
// a child still writing gets EPIPE instead of blocking.
class ShellChild {
public:
    ShellChild() = default;
    ~ShellChild() {
        if (pid_ > 0) wait();
    }
    ShellChild(const ShellChild&) = delete;
    ShellChild& operator=(const ShellChild&) = delete;

    // Starts `command` with standard input from /dev/null and standard output
    // and error as `out` and `err` say; the read ends of captured streams go
    // to `out_read` and `err_read`. False when nothing was started.
    bool start(const char* command, Stream out, Stream err, unique_fd& out_read,
               unique_fd& err_read);
    // Waits for the shell: its wait status, or -1 when it was not started or
    // its status was lost.
    int wait();

private:
    pid_t pid_ = -1;
    bool wrapped_ = false;
    unique_fd status_read_;  // the wrapper's "$?" when SIGCHLD is ignored
};

bool ShellChild::start(const char* command, Stream out, Stream err, unique_fd& out_read,
                       unique_fd& err_read) {
    if (!command || pid_ > 0) return false;
    wrapped_ = children_are_reaped_automatically();

    unique_fd out_write, err_write, status_write;
    if (out == Stream::capture && !make_pipe(out_read, out_write)) return false;
    if (err == Stream::capture && !make_pipe(err_read, err_write)) return false;
    if (wrapped_ && !make_pipe(status_read_, status_write)) return false;

    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) return false;
    posix_spawn_file_actions_t* fa = actions.get();
    bool setup = posix_spawn_file_actions_addopen(fa, 0, "/dev/null", O_RDONLY, 0) == 0;
    setup = setup && route(fa, 1, out, out_write) && route(fa, 2, err, err_write);
    if (wrapped_) setup = setup && posix_spawn_file_actions_adddup2(fa, status_write.get(), 3) == 0;
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Also descriptors that other code opened without close-on-exec stay
    // behind; older C libraries rely on close-on-exec alone.
    setup = setup && posix_spawn_file_actions_addclosefrom_np(fa, wrapped_ ? 4 : 3) == 0;
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
    if (!setup) return false;

    char* direct_argv[] = {const_cast<char*>(kShell), const_cast<char*>("-c"),
                           const_cast<char*>("--"), const_cast<char*>(command), nullptr};
    char* wrapped_argv[] = {const_cast<char*>(kShell), const_cast<char*>("-c"),
                            const_cast<char*>("--"), const_cast<char*>(kReportingWrapper),
                            const_cast<char*>("sh"), const_cast<char*>(command), nullptr};
    // posix_spawn reports failure through its result, not errno.
    pid_t pid = -1;
    if (posix_spawn(&pid, kShell, fa, attributes.get(), wrapped_ ? wrapped_argv : direct_argv,
                    environ) != 0) {
        status_read_.reset();
        return false;
    }
    pid_ = pid;
    // Only the child may hold the write ends (closed on return here), or end
    // of file never comes.
    return true;
}

int ShellChild::wait() {
    if (pid_ <= 0) return -1;
    // The wrapper writes "$?" just before it ends, so end of file on the pipe
    // comes once the command and the wrapper are done.
    std::string reported;
    if (wrapped_) {
        char buffer[64];
        for (;;) {
            ssize_t got =
                retry_on_eintr([&] { return ::read(status_read_.get(), buffer, sizeof buffer); });
            if (got <= 0) break;
            reported.append(buffer, static_cast<size_t>(got));
        }
        status_read_.reset();
    }
    int status = 0;
    const pid_t result = retry_on_eintr([&] { return waitpid(pid_, &status, 0); });
    const bool reaped = result == pid_;
    pid_ = -1;
    if (wrapped_) {
        const int code = parse_reported_status(reported);
        if (code >= 0) return wait_status_from_shell(code);
        // The wrapper itself was killed before reporting.
        return reaped && WIFSIGNALED(status) ? status : -1;
    }
    return reaped ? status : -1;
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

    ShellChild child;
    unique_fd out_read, err_read;
    if (!child.start(command, output ? Stream::capture : Stream::discard,
                     error ? Stream::capture : Stream::discard, out_read, err_read))
        return -1;
    std::vector<Channel> channels;
    if (output) channels.push_back({std::move(out_read), output});
    if (error) channels.push_back({std::move(err_read), error});

    const bool complete = drain(channels);
    channels.clear();
    const int status = child.wait();
    return complete ? status_to_result(status) : -1;
}

// ---- ZavProcessPipe ----

struct ZavProcessPipe::Running {
    ShellChild shell;
    unique_fd output;  // declared after the shell: closed before it is waited for
};

ZavProcessPipe::ZavProcessPipe() = default;

ZavProcessPipe::~ZavProcessPipe() = default;

bool ZavProcessPipe::open(const char* command) {
    if (running_) return false;
    auto running = std::make_unique<Running>();
    unique_fd no_error_pipe;
    if (!running->shell.start(command, Stream::capture, Stream::inherit, running->output,
                              no_error_pipe))
        return false;
    running_ = std::move(running);
    return true;
}

ssize_t ZavProcessPipe::read(char* buffer, size_t size) {
    if (!running_) return 0;
    return retry_on_eintr([&] { return ::read(running_->output.get(), buffer, size); });
}

int ZavProcessPipe::close() {
    if (!running_) return -1;
    running_->output.reset();
    const int status = running_->shell.wait();
    running_.reset();
    return status;
}
