#define FUSE_USE_VERSION 35

#include "stall_fs.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "node_sandbox.h"

namespace nesk_test {

namespace {

using nesk::unique_fd;

// Commands of the control socket, each answered with k_done once in force.
constexpr char k_stall = 's';
constexpr char k_fail = 'f';
constexpr char k_resume = 'r';
constexpr char k_done = 'k';
// The server's first message: mounted, or not (followed by why).
constexpr char k_ready = 'R';
constexpr char k_broken = 'E';

constexpr fuse_ino_t k_file_ino = 2;
constexpr char k_file_name[] = "disk";
// The file never changes size or owner: the kernel may keep its attributes.
constexpr double k_attr_timeout = 3600.0;

// ---- the server (runs in the forked child) ----

enum class Mode { normal, stalled, failing };

struct Server {
    int content = -1;  // nameless memory file holding the bytes
    unsigned long long bytes = 0;
    std::mutex mutex;
    std::condition_variable changed;
    Mode mode = Mode::normal;

    // Waits while stalled; then 0 to serve the request or EIO to fail it.
    int gate() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return mode != Mode::stalled; });
        return mode == Mode::failing ? EIO : 0;
    }
    void set(Mode next) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            mode = next;
        }
        changed.notify_all();
    }
};

Server& server_of(fuse_req_t req) { return *static_cast<Server*>(fuse_req_userdata(req)); }

bool attributes(const Server& server, fuse_ino_t ino, struct stat* st) {
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    if (ino == FUSE_ROOT_ID) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
    } else if (ino == k_file_ino) {
        st->st_mode = S_IFREG | 0600;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(server.bytes);
        st->st_blocks = static_cast<blkcnt_t>((server.bytes + 511) / 512);
    } else {
        return false;
    }
    return true;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    struct fuse_entry_param entry;
    memset(&entry, 0, sizeof entry);
    if (parent != FUSE_ROOT_ID || strcmp(name, k_file_name) != 0 ||
        !attributes(server_of(req), k_file_ino, &entry.attr)) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    entry.ino = k_file_ino;
    entry.attr_timeout = k_attr_timeout;
    entry.entry_timeout = k_attr_timeout;
    fuse_reply_entry(req, &entry);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    struct stat st;
    if (!attributes(server_of(req), ino, &st))
        fuse_reply_err(req, ENOENT);
    else
        fuse_reply_attr(req, &st, k_attr_timeout);
}

void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    if (ino != k_file_ino) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    // Direct I/O: the kernel keeps no page cache of the file, so every read
    // and write is a request to this server.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

// Calls `step(done)` (a pread or pwrite of what is left after `done` bytes)
// until `length` bytes are moved. 0, or the errno of the failure.
template <typename Step>
int move_all(size_t length, Step step) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = step(done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, struct fuse_file_info*) {
    Server& server = server_of(req);
    if (int error = server.gate()) {
        fuse_reply_err(req, error);
        return;
    }
    const unsigned long long start = static_cast<unsigned long long>(off);
    const size_t length =
        start >= server.bytes
            ? 0
            : static_cast<size_t>(std::min<unsigned long long>(size, server.bytes - start));
    std::vector<char> buffer(length);
    if (int error = move_all(length, [&](size_t done) {
            return ::pread(server.content, buffer.data() + done, length - done,
                           off + static_cast<off_t>(done));
        }))
        fuse_reply_err(req, error);
    else
        fuse_reply_buf(req, buffer.data(), length);
}

void op_write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t off,
              struct fuse_file_info*) {
    Server& server = server_of(req);
    if (int error = server.gate()) {
        fuse_reply_err(req, error);
        return;
    }
    // The file has the size of a disk: nothing is written past its end.
    const unsigned long long start = static_cast<unsigned long long>(off);
    if (start > server.bytes || size > server.bytes - start) {
        fuse_reply_err(req, ENOSPC);
        return;
    }
    if (int error = move_all(size, [&](size_t done) {
            return ::pwrite(server.content, data + done, size - done,
                            off + static_cast<off_t>(done));
        }))
        fuse_reply_err(req, error);
    else
        fuse_reply_write(req, size);
}

void op_fsync(fuse_req_t req, fuse_ino_t, int, struct fuse_file_info*) {
    fuse_reply_err(req, server_of(req).gate());
}

void op_flush(fuse_req_t req, fuse_ino_t, struct fuse_file_info*) { fuse_reply_err(req, 0); }

void send_text(int fd, const std::string& text) {
    (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// Applies the commands of the control socket until the test process closes
// it (or dies); then the whole server ends, which aborts the connection.
void control_loop(Server& server, int control) {
    for (;;) {
        char code = 0;
        ssize_t n = ::recv(control, &code, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1) _exit(0);
        if (code == k_stall)
            server.set(Mode::stalled);
        else if (code == k_fail)
            server.set(Mode::failing);
        else if (code == k_resume)
            server.set(Mode::normal);
        else
            _exit(2);
        send_text(control, std::string(1, k_done));
    }
}

// The forked server's body: mounts `dir`, reports, serves until killed.
int serve(int control, unsigned long long bytes, const std::string& dir) {
    Server server;
    server.bytes = bytes;
    server.content = ::memfd_create("nesk-stall", MFD_CLOEXEC);
    if (server.content < 0 || ::ftruncate(server.content, static_cast<off_t>(bytes)) != 0) {
        send_text(control, std::string(1, k_broken) + "memfd: " + strerror(errno));
        return 1;
    }

    struct fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.fsync = op_fsync;
    ops.flush = op_flush;

    char program[] = "nesk-stall";
    char option[] = "-o";
    char options[] = "fsname=nesk-stall,subtype=nesk-stall";
    char* argv[] = {program, option, options, nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(3, argv);
    struct fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &server);
    if (!session) {
        send_text(control, std::string(1, k_broken) + "fuse_session_new failed");
        return 1;
    }
    if (fuse_session_mount(session, dir.c_str()) != 0) {
        send_text(control, std::string(1, k_broken) + "fuse_session_mount " + dir + " failed");
        return 1;
    }
    send_text(control, std::string(1, k_ready));
    std::thread(control_loop, std::ref(server), control).detach();

    // Several workers: requests that wait while stalled do not hold up the
    // others (a stat of the file, say).
    struct fuse_loop_config config;
    memset(&config, 0, sizeof config);
    config.clone_fd = 0;
    config.max_idle_threads = 16;
    fuse_session_loop_mt(session, &config);
    // Unmounted: nothing more to serve.
    return 0;
}

[[noreturn]] void fail_errno(const std::string& what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

}  // namespace

// ---- the test's side ----

std::string StallableFile::unavailable_reason() {
    std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) return why;
    unique_fd fuse(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!fuse) return std::string("needs /dev/fuse (FUSE): ") + strerror(errno);
    return "";
}

StallableFile::StallableFile(unsigned long long bytes) : bytes_(bytes) {
    if (std::string why = unavailable_reason(); !why.empty())
        throw std::runtime_error("StallableFile: " + why);
    char tmpl[] = "/tmp/nesk-stall-XXXXXX";
    if (!::mkdtemp(tmpl)) fail_errno("mkdtemp");
    dir_ = tmpl;
    path_ = dir_ + "/" + k_file_name;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        ::rmdir(dir_.c_str());
        fail_errno("socketpair");
    }
    control_.reset(pair[0]);
    unique_fd server_end(pair[1]);

    const pid_t parent = ::getpid();
    std::fflush(nullptr);  // buffered output must not be written twice
    pid_ = ::fork();
    if (pid_ < 0) {
        pid_ = 0;
        ::rmdir(dir_.c_str());
        fail_errno("fork");
    }
    if (pid_ == 0) {
        // The server never outlives the test process, and holds no descriptor
        // of it but the standard ones and its end of the socket.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) _exit(1);
        if (::dup2(server_end.get(), 3) != 3) _exit(1);
        ::close_range(4, ~0U, 0);
        int code = 1;
        try {
            code = serve(3, bytes, dir_);
        } catch (...) {
        }
        _exit(code);
    }
    server_end.reset();

    std::string first(256, '\0');
    ssize_t n;
    do {
        n = ::recv(control_.get(), &first[0], first.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n >= 1 && first[0] == k_ready) {
        mounted_ = true;
        return;
    }
    const std::string why = n > 1 ? first.substr(1, static_cast<size_t>(n) - 1)
                                  : std::string("the server ended before mounting");
    stop_server();
    ::umount2(dir_.c_str(), MNT_DETACH);
    ::rmdir(dir_.c_str());
    throw std::runtime_error("StallableFile: " + why);
}

StallableFile::~StallableFile() {
    // Stalled requests are answered first, so that closing the loop device
    // (which waits for its requests) cannot block.
    if (pid_ > 0) {
        try {
            resume();
        } catch (const std::exception&) {
        }
    }
    loop_.reset();
    // Still busy (a loop device some other process holds): detached now,
    // released with its last user; the server's end then fails what is left.
    if (mounted_ && ::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
    stop_server();
    ::rmdir(dir_.c_str());
}

void StallableFile::stop_server() {
    control_.reset();
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = 0;
}

void StallableFile::command(char code) {
    if (!control_) throw std::runtime_error("StallableFile: the server is gone");
    if (::send(control_.get(), &code, 1, MSG_NOSIGNAL) != 1)
        fail_errno("StallableFile: command to the server");
    char answer = 0;
    ssize_t n;
    do {
        n = ::recv(control_.get(), &answer, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n != 1 || answer != k_done) throw std::runtime_error("StallableFile: the server is gone");
}

void StallableFile::stall() { command(k_stall); }
void StallableFile::fail() { command(k_fail); }
void StallableFile::resume() { command(k_resume); }
void StallableFile::kill_server() { stop_server(); }

LoopDevice& StallableFile::loop_device() {
    if (!loop_) loop_ = std::make_unique<LoopDevice>(path_);
    return *loop_;
}

}  // namespace nesk_test
