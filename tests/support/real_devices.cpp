#include "real_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "fd_util.h"

extern char** environ;

namespace nesk_test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

using nesk::unique_fd;

class spawn_actions {
public:
    spawn_actions() { posix_spawn_file_actions_init(&actions_); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions_); }
    spawn_actions(const spawn_actions&) = delete;
    spawn_actions& operator=(const spawn_actions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text = "0x";
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

// A block node at `path` for `devnum`, made when missing.
void ensure_node(const std::string& path, DevNum devnum) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
        st.st_rdev == makedev(devnum.major, devnum.minor))
        return;
    // A sandbox's /dev has only the first loop nodes (the host's devtmpfs has
    // them all).
    ::unlink(path.c_str());
    if (::mknod(path.c_str(), S_IFBLK | 0660, makedev(devnum.major, devnum.minor)) != 0)
        fail("mknod " + path);
}

// Appends what is left to read from `fd` to `*text` (reads it away when null).
void drain(int fd, std::string* text) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (text) text->append(buffer, static_cast<size_t>(n));
    }
}

// Runs `argv` with standard output into `*out` and standard error into the
// descriptor `err_fd` (-1: the same pipe as standard output).
int spawn_and_wait(const std::vector<std::string>& argv, std::string* out, int err_fd) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    unique_fd read_end(pipe_fds[0]);
    unique_fd write_end(pipe_fds[1]);

    spawn_actions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), 1);
    posix_spawn_file_actions_adddup2(actions.get(), err_fd >= 0 ? err_fd : write_end.get(), 2);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ) != 0) return -1;
    ::close(write_end.release());

    std::string text;
    drain(read_end.get(), &text);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (out) *out += text;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

int run_program(const std::vector<std::string>& argv, std::string* output) {
    return spawn_and_wait(argv, output, -1);
}

int run_program(const std::vector<std::string>& argv, std::string* out, std::string* err) {
    unique_fd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (file.get() < 0) return -1;
    int code = spawn_and_wait(argv, out, file.get());
    if (::lseek(file.get(), 0, SEEK_SET) != 0) return -1;
    drain(file.get(), err);
    return code;
}

void run_checked(const std::vector<std::string>& argv) {
    std::string output;
    int code = run_program(argv, &output);
    if (code != 0) {
        std::string line;
        for (const std::string& a : argv) line += (line.empty() ? "" : " ") + a;
        throw std::runtime_error(line + " exited " + std::to_string(code) + ": " + output);
    }
}

// ---- loop devices ----

namespace {

// Loop devices of this process are added under numbers of their own, far
// above the ones the system and losetup hand out, and removed again when the
// device goes away, so that the kernel keeps no instance of them either.
constexpr int k_first_private_loop = 1000;
constexpr int k_private_loop_range = 4000;

}  // namespace

LoopDevice::LoopDevice(unsigned long long bytes, bool read_only) : bytes_(bytes) {
    unique_fd backing(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (backing.get() < 0) fail("O_TMPFILE in /tmp");
    if (::ftruncate(backing.get(), static_cast<off_t>(bytes)) != 0) fail("ftruncate");
    attach(backing.get(), read_only);
}

LoopDevice::LoopDevice(const std::string& backing_file) {
    unique_fd backing(::open(backing_file.c_str(), O_RDWR | O_CLOEXEC));
    if (backing.get() < 0) fail("open " + backing_file);
    struct stat st;
    if (::fstat(backing.get(), &st) != 0) fail("stat " + backing_file);
    if (!S_ISREG(st.st_mode)) throw std::runtime_error(backing_file + " is not a regular file");
    bytes_ = static_cast<unsigned long long>(st.st_size);
    attach(backing.get(), false);
}

void LoopDevice::attach(int backing, bool read_only) {
    unique_fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (control.get() < 0) fail("open /dev/loop-control");
    static int next = k_first_private_loop + (::getpid() % 40) * 100;
    for (int tried = 0; tried < k_private_loop_range; ++tried) {
        const int number = next;
        next = next + 1 < k_first_private_loop + k_private_loop_range ? next + 1
                                                                      : k_first_private_loop;
        if (::ioctl(control.get(), LOOP_CTL_ADD, number) < 0) {
            if (errno == EEXIST) continue;  // another process's
            fail("LOOP_CTL_ADD");
        }
        const std::string node = "/dev/loop" + std::to_string(number);
        ensure_node(node, DevNum{7, static_cast<unsigned int>(number)});
        unique_fd device(::open(node.c_str(), O_RDWR | O_CLOEXEC));
        if (device.get() < 0) fail("open " + node);
        struct loop_config config;
        memset(&config, 0, sizeof config);
        config.fd = static_cast<__u32>(backing);
        // Autoclear: detached once the last user is gone. Partscan: the
        // detach also drops every partition, those added by parted included.
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | LO_FLAGS_PARTSCAN;
        if (read_only) config.info.lo_flags |= LO_FLAGS_READ_ONLY;
        if (::ioctl(device.get(), LOOP_CONFIGURE, &config) != 0) {
            // Taken by someone else's "losetup -f" meanwhile: it is theirs now.
            if (errno == EBUSY) continue;
            fail("LOOP_CONFIGURE " + node);
        }
        number_ = static_cast<unsigned int>(number);
        devnum_ = DevNum{7, number_};
        fd_ = device.release();
        return;
    }
    throw std::runtime_error("no loop device number left");
}

namespace {

// Loop instances of this process that were still in use when their
// LoopDevice went (a mount, or a process that outlived it, holds them). Every
// later LoopDevice tries them again, and the end of the process waits for them
// a little longer, so that the kernel keeps none.
class PendingLoopRemovals {
public:
    ~PendingLoopRemovals() { retry(1000); }
    void add(unsigned int number) { numbers_.push_back(number); }
    // Removes what it can, trying again for up to `milliseconds` while some
    // instance is still busy.
    void retry(int milliseconds) {
        unique_fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
        if (!control) return;
        for (int waited = 0;; waited += 5) {
            std::vector<unsigned int> busy;
            for (unsigned int number : numbers_)
                if (::ioctl(control.get(), LOOP_CTL_REMOVE, static_cast<int>(number)) != 0 &&
                    errno == EBUSY)
                    busy.push_back(number);
            numbers_.swap(busy);
            if (numbers_.empty() || waited >= milliseconds) return;
            ::usleep(5000);
        }
    }

private:
    std::vector<unsigned int> numbers_;
};

PendingLoopRemovals& pending_loop_removals() {
    static PendingLoopRemovals pending;
    return pending;
}

}  // namespace

LoopDevice::~LoopDevice() {
    if (fd_ < 0) return;
    // The last close detaches the device (autoclear); then the instance goes.
    // A device still mounted is detached by its last unmount.
    ::close(fd_);
    pending_loop_removals().add(number_);
    pending_loop_removals().retry(100);
}

std::string LoopDevice::path() const {
    const std::string node = "/dev/loop" + std::to_string(number_);
    ensure_node(node, devnum_);
    return node;
}

DevNum LoopDevice::make_one_partition() {
    run_checked(
        {"parted", "-s", path(), "mklabel", "msdos", "mkpart", "primary", "xfs", "1MiB", "100%"});
    return partition_devnum(1);
}

std::string LoopDevice::partition_path(unsigned int number) const {
    return path() + "p" + std::to_string(number);
}

DevNum LoopDevice::partition_devnum(unsigned int number) const {
    const std::string name = "loop" + std::to_string(number_);
    const std::string dev_file =
        "/sys/block/" + name + "/" + name + "p" + std::to_string(number) + "/dev";
    std::ifstream in(dev_file);
    unsigned int major_number = 0, minor_number = 0;
    char colon = 0;
    if (!(in >> major_number >> colon >> minor_number) || colon != ':')
        throw std::runtime_error("the kernel shows no partition in " + dev_file);
    return DevNum{major_number, minor_number};
}

void flush_buffers(const std::string& device) {
    unique_fd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("open " + device);
    if (::ioctl(fd.get(), BLKFLSBUF, 0) != 0) fail("BLKFLSBUF " + device);
}

void make_xfs(const std::string& device) { run_checked({"mkfs.xfs", "-q", "-f", device}); }

// ---- mounts and attributes ----

ScopedMount::ScopedMount(const std::string& device, const std::string& fs_type) {
    char tmpl[] = "/tmp/nesk-mount-XXXXXX";
    if (!::mkdtemp(tmpl)) fail("mkdtemp");
    dir_ = tmpl;
    if (::mount(device.c_str(), dir_.c_str(), fs_type.c_str(), 0, nullptr) != 0) {
        int error = errno;
        ::rmdir(dir_.c_str());
        errno = error;
        fail("mount " + device);
    }
}

ScopedMount::ScopedMount(const std::string& source, const std::string& dir,
                         const std::string& fs_type, unsigned long flags)
    : dir_(dir), remove_dir_(false) {
    if (::mount(source.c_str(), dir_.c_str(), fs_type.c_str(), flags, nullptr) != 0)
        fail("mount " + source + " on " + dir);
}

ScopedMount::~ScopedMount() {
    if (::umount2(dir_.c_str(), 0) != 0) ::umount2(dir_.c_str(), MNT_DETACH);
    if (remove_dir_) ::rmdir(dir_.c_str());
}

void set_root_attributes(const std::string& device, const Attributes& attributes) {
    ScopedMount mounted(device, "xfs");
    for (const auto& attribute : attributes) {
        // Without -v the value is empty; otherwise hex keeps every byte as it is.
        if (attribute.second.empty())
            run_checked({"setfattr", "-n", attribute.first, mounted.dir()});
        else
            run_checked(
                {"setfattr", "-n", attribute.first, "-v", hex(attribute.second), mounted.dir()});
    }
}

Attributes valid_stamps(const std::string& device) {
    return {{"trusted.vrnkstamp", "tessera@vrnk"},
            {"trusted.mntstamp", "/tessera/data/brick1"},
            {"trusted.blkdevstamp", device}};
}

std::vector<std::string> probe_directories() {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/tmp"), ::closedir);
    if (!dir) return names;
    while (struct dirent* entry = ::readdir(dir.get()))
        if (strncmp(entry->d_name, "hamnt", 5) == 0) names.push_back(entry->d_name);
    return names;
}

// ---- LVM ----

namespace {

const char k_lvm_conf[] =
    "devices {\n"
    "  dir = \"/dev\"\n"
    "  scan = [ \"/dev\" ]\n"
    "  obtain_device_list_from_udev = 0\n"
    "  external_device_info_source = \"none\"\n"
    "  hints = \"none\"\n"
    "  use_devicesfile = 0\n"
    "  global_filter = [ \"a|^/dev/sd[a-z]+[0-9]*$|\", \"r|.*|\" ]\n"
    "  sysfs_scan = 0\n"
    "  md_component_detection = 0\n"
    "  multipath_component_detection = 0\n"
    "  fw_raid_component_detection = 0\n"
    "}\n"
    "backup {\n"
    "  backup = 0\n"
    "  archive = 0\n"
    "}\n"
    "activation {\n"
    "  udev_rules = 0\n"
    "  udev_sync = 0\n"
    "  monitoring = 0\n"
    "}\n";

}  // namespace

SandboxLvm::SandboxLvm()
    : dir_("nesk-lvm"),
      system_dir_("LVM_SYSTEM_DIR", dir_.path()),
      quiet_("LVM_SUPPRESS_FD_WARNINGS", "1") {
    if (!NodeSandbox::unavailable_reason().empty())
        throw std::runtime_error("SandboxLvm needs a private mount namespace");
    write_whole_file(dir_.file("lvm.conf"), k_lvm_conf);
    // LVM keeps its locks and run state under /run: a private one here.
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) fail("mount tmpfs on /run");
    run_mounted_ = true;
}

SandboxLvm::~SandboxLvm() {
    if (run_mounted_) ::umount2("/run", MNT_DETACH);
}

SandboxLvm::Broken::Broken() : dir_("nesk-lvm-broken"), env_("LVM_SYSTEM_DIR", dir_.path()) {
    write_whole_file(dir_.file("lvm.conf"), "devices {\n  filter = [ \"a|.*|\"\n");
}

}  // namespace nesk_test
