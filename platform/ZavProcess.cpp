// Process runner: "/bin/sh -c" started with posix_spawn, the shell waited for
// by pid. ZavProcess::system collects both output streams through poll();
// ZavProcessPipe hands standard output to its caller to read.
#include "ZavProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "internal/posix_util.h"

extern char** environ;

namespace {

using nesk_platform::retry_on_eintr;
using nesk_platform::unique_fd;

const char kShell[] = "/bin/sh";

// How long a killed child gets to be reaped before it is left to a later
// call: a process in an uninterruptible wait (a read from a device that does
// not answer) cannot die before the wait ends, and nobody may wait for it.
const int kReapGraceMs = 200;

long long monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A point in time a limit of `limit_ms` milliseconds from now; a limit of 0
// never passes.
class Deadline {
public:
    explicit Deadline(unsigned int limit_ms)
        : limited_(limit_ms != 0), end_(monotonic_ms() + limit_ms) {}
    bool limited() const { return limited_; }
    // Milliseconds left as poll(2) takes them: -1 without a limit, 0 once passed.
    int poll_timeout() const {
        if (!limited_) return -1;
        const long long left = end_ - monotonic_ms();
        return left <= 0 ? 0 : left > 1000000 ? 1000000 : static_cast<int>(left);
    }
    bool passed() const { return limited_ && monotonic_ms() >= end_; }

private:
    bool limited_;
    long long end_;
};

// Children that were killed but could not be reaped in time. Each later
// start reaps those that have ended since, so none stays a zombie for longer
// than it takes to end.
class Strays {
public:
    static void add(pid_t pid) {
        std::lock_guard<std::mutex> lock(mutex());
        pids().push_back(pid);
    }
    static void reap() {
        std::lock_guard<std::mutex> lock(mutex());
        std::vector<pid_t>& list = pids();
        for (size_t i = 0; i < list.size();) {
            const pid_t got = waitpid(list[i], nullptr, WNOHANG);
            if (got == list[i] || (got < 0 && errno == ECHILD)) {
                list[i] = list.back();
                list.pop_back();
            } else {
                ++i;
            }
        }
    }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<pid_t>& pids() {
        static std::vector<pid_t> list;
        return list;
    }
};

// Waits up to kReapGraceMs for `pid` to end: its wait status, or -1 when it
// has not ended (it is then left to Strays) or was reaped by someone else.
// The end is awaited on a pidfd where the kernel has them, so that a child
// ending at once costs no sleep.
int reap_or_leave(pid_t pid) {
    const long long give_up = monotonic_ms() + kReapGraceMs;
    unique_fd handle(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    long pause_ns = 50 * 1000;
    for (;;) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0 && errno != EINTR) return -1;
        const long long left = give_up - monotonic_ms();
        if (left <= 0) {
            Strays::add(pid);
            return -1;
        }
        if (handle) {
            pollfd ended = {handle.get(), POLLIN, 0};
            poll(&ended, 1, static_cast<int>(left));
        } else {
            struct timespec pause = {0, pause_ns};
            nanosleep(&pause, nullptr);
            pause_ns = pause_ns * 2 > 5 * 1000 * 1000 ? 5 * 1000 * 1000 : pause_ns * 2;
        }
    }
}

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
//
// A child started with a time limit leads a process group of its own, so
// that the whole command (the shell and everything it started) can be killed
// once the limit passes.
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
    // to `out_read` and `err_read`. With a limit (milliseconds, 0 for none)
    // the shell leads its own process group. False when nothing was started.
    bool start(const char* command, Stream out, Stream err, unique_fd& out_read,
               unique_fd& err_read, unsigned int limit_ms = 0);
    // Waits for the shell: its wait status, or -1 when it was not started or
    // its status was lost. Once the limit has passed: kills the process group
    // and returns -1 without waiting for what cannot die yet.
    int wait();
    // Kills the command's process group and reaps the shell if it ends
    // within a short grace; otherwise leaves it to be reaped later.
    void kill_and_leave();
    const Deadline& deadline() const { return deadline_; }

private:
    pid_t pid_ = -1;
    bool wrapped_ = false;
    bool own_group_ = false;
    Deadline deadline_{0};
    unique_fd status_read_;  // the wrapper's "$?" when SIGCHLD is ignored
};

bool ShellChild::start(const char* command, Stream out, Stream err, unique_fd& out_read,
                       unique_fd& err_read, unsigned int limit_ms) {
    if (!command || pid_ > 0) return false;
    Strays::reap();
    wrapped_ = children_are_reaped_automatically();
    own_group_ = limit_ms != 0;

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
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group_) flags |= POSIX_SPAWN_SETPGROUP;
    setup = setup && posix_spawnattr_setsigmask(attributes.get(), &empty) == 0 &&
            posix_spawnattr_setsigdefault(attributes.get(), &defaults) == 0 &&
            posix_spawnattr_setpgroup(attributes.get(), 0) == 0 &&
            posix_spawnattr_setflags(attributes.get(), flags) == 0;
    if (!setup) return false;

    char* direct_argv[] = {const_cast<char*>(kShell), const_cast<char*>("-c"),
                           const_cast<char*>("--"), const_cast<char*>(command), nullptr};
    char* wrapped_argv[] = {const_cast<char*>(kShell),
                            const_cast<char*>("-c"),
                            const_cast<char*>("--"),
                            const_cast<char*>(kReportingWrapper),
                            const_cast<char*>("sh"),
                            const_cast<char*>(command),
                            nullptr};
    // posix_spawn reports failure through its result, not errno.
    pid_t pid = -1;
    if (posix_spawn(&pid, kShell, fa, attributes.get(), wrapped_ ? wrapped_argv : direct_argv,
                    environ) != 0) {
        status_read_.reset();
        return false;
    }
    pid_ = pid;
    deadline_ = Deadline(limit_ms);
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
            pollfd entry = {status_read_.get(), POLLIN, 0};
            const int ready = poll(&entry, 1, deadline_.poll_timeout());
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                kill_and_leave();
                return -1;
            }
            ssize_t got =
                retry_on_eintr([&] { return ::read(status_read_.get(), buffer, sizeof buffer); });
            if (got <= 0) break;
            reported.append(buffer, static_cast<size_t>(got));
        }
        status_read_.reset();
    }
    int status = 0;
    pid_t result;
    if (!deadline_.limited()) {
        result = retry_on_eintr([&] { return waitpid(pid_, &status, 0); });
    } else {
        // Awaited on a pidfd (or polled where the kernel has none) up to the
        // limit, so that a shell that outlives it is killed.
        unique_fd handle(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
        for (;;) {
            result = waitpid(pid_, &status, WNOHANG);
            if (result != 0 && !(result < 0 && errno == EINTR)) break;
            if (deadline_.passed()) {
                kill_and_leave();
                return -1;
            }
            if (handle) {
                pollfd ended = {handle.get(), POLLIN, 0};
                poll(&ended, 1, deadline_.poll_timeout());
            } else {
                struct timespec pause = {0, 2 * 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
        }
    }
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

void ShellChild::kill_and_leave() {
    if (pid_ <= 0) return;
    if (own_group_) ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    status_read_.reset();
    reap_or_leave(pid_);
    pid_ = -1;
}

struct Channel {
    unique_fd fd;
    std::string* sink;
};

// How a drain ended.
enum class Drained { complete, failed, expired };

// Reads every channel until end of file, whichever has data first, so that a
// command filling one pipe never waits for us while we wait on the other.
// Stops early when poll fails for a reason other than EINTR, or when
// `deadline` passes.
Drained drain(std::vector<Channel>& channels, const Deadline& deadline) {
    std::vector<char> buffer(64 * 1024);
    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        for (const Channel& channel : channels)
            if (channel.fd) polled.push_back({channel.fd.get(), POLLIN, 0});
        if (polled.empty()) return Drained::complete;
        const int ready = poll(polled.data(), polled.size(), deadline.poll_timeout());
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Drained::failed;
        }
        if (ready == 0) return Drained::expired;
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

int ZavProcess::system(const char* command, std::string* output, std::string* error, int, bool) {
    return system_limited(command, output, error, 0, nullptr);
}

int ZavProcess::system_limited(const char* command, std::string* output, std::string* error,
                               unsigned int limit_ms, bool* expired) {
    if (output) output->clear();
    if (error) error->clear();
    if (expired) *expired = false;

    ShellChild child;
    unique_fd out_read, err_read;
    if (!child.start(command, output ? Stream::capture : Stream::discard,
                     error ? Stream::capture : Stream::discard, out_read, err_read, limit_ms))
        return -1;
    std::vector<Channel> channels;
    if (output) channels.push_back({std::move(out_read), output});
    if (error) channels.push_back({std::move(err_read), error});

    const Drained drained = drain(channels, child.deadline());
    channels.clear();
    if (drained == Drained::expired) {
        child.kill_and_leave();
        if (expired) *expired = true;
        return -1;
    }
    const int status = child.wait();
    if (status == -1 && child.deadline().passed() && expired) *expired = true;
    return drained == Drained::complete ? status_to_result(status) : -1;
}

int ZavProcess::run_in_child(const std::function<std::string()>& work, std::string* result,
                             unsigned int limit_ms, bool* expired) {
    if (expired) *expired = false;
    Strays::reap();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    const Deadline deadline(limit_ms);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // The child: out of the caller's process group (a terminal's signals
        // are the caller's to handle), the result framed by its length so
        // that the caller can tell a whole answer from a cut one.
        setpgid(0, 0);
        read_end.reset();
        int code = 0;
        std::string answer;
        try {
            answer = work();
        } catch (...) {
            code = 1;
        }
        const std::uint64_t length = answer.size();
        if (code == 0 &&
            !(nesk_platform::write_all(write_end.get(), reinterpret_cast<const char*>(&length),
                                       sizeof length) &&
              nesk_platform::write_all(write_end.get(), answer.data(), answer.size())))
            code = 1;
        _exit(code);
    }
    write_end.reset();

    std::string received;
    std::vector<Channel> channels;
    channels.push_back({std::move(read_end), &received});
    const Drained drained = drain(channels, deadline);
    channels.clear();
    if (drained == Drained::expired) {
        ::kill(pid, SIGKILL);
        reap_or_leave(pid);
        if (expired) *expired = true;
        return -1;
    }
    // End of file: the child is ending. Closing a device it held may still
    // keep it a while; it is then left to be reaped later.
    reap_or_leave(pid);
    std::uint64_t length = 0;
    if (drained != Drained::complete || received.size() < sizeof length) return -1;
    std::memcpy(&length, received.data(), sizeof length);
    if (received.size() - sizeof length != length) return -1;
    if (result) result->assign(received, sizeof length, std::string::npos);
    return 0;
}

// ---- ZavProcessPipe ----

struct ZavProcessPipe::Running {
    ShellChild shell;
    unique_fd output;  // declared after the shell: closed before it is waited for
    bool expired = false;
    bool closed = false;
};

ZavProcessPipe::ZavProcessPipe() = default;

ZavProcessPipe::~ZavProcessPipe() = default;

bool ZavProcessPipe::open(const char* command) { return open(command, 0); }

bool ZavProcessPipe::open(const char* command, unsigned int limit_ms) {
    if (running_ && !running_->closed) return false;
    auto running = std::make_unique<Running>();
    unique_fd no_error_pipe;
    if (!running->shell.start(command, Stream::capture, Stream::inherit, running->output,
                              no_error_pipe, limit_ms))
        return false;
    running_ = std::move(running);
    return true;
}

ssize_t ZavProcessPipe::read(char* buffer, size_t size) {
    if (!running_ || running_->closed) return 0;
    if (running_->shell.deadline().limited()) {
        pollfd entry = {running_->output.get(), POLLIN, 0};
        int ready;
        do {
            ready = poll(&entry, 1, running_->shell.deadline().poll_timeout());
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) {
            running_->expired = true;
            errno = ETIMEDOUT;
            return -1;
        }
    }
    return retry_on_eintr([&] { return ::read(running_->output.get(), buffer, size); });
}

int ZavProcessPipe::close() {
    if (!running_ || running_->closed) return -1;
    running_->output.reset();
    const int status = running_->shell.wait();
    if (status == -1 && running_->shell.deadline().passed()) running_->expired = true;
    running_->closed = true;
    return running_->expired ? -1 : status;
}

bool ZavProcessPipe::expired() const { return running_ && running_->expired; }
