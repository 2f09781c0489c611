#include "node_sandbox.h"

#include <crypt.h>
#include <dirent.h>
#include <limits.h>
#include <net/if.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "fd_util.h"
#include "nesk_blkdev.h"
#include "real_devices.h"

namespace nesk_test {

std::vector<std::string> mount_points() {
    std::vector<std::string> points;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        if (!(fields >> id >> parent >> devno >> root >> point)) continue;
        std::string decoded;
        for (std::size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                decoded += point[i];
            }
        }
        points.push_back(decoded);
    }
    return points;
}

namespace {

const char* const kWorkDir = "/tmp/nesk-sandbox";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + strerror(errno));
}

using nesk::unique_fd;

std::string parent_of(const std::string& path) {
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::string::size_type pos = 0;
    while (pos <= path.size()) {
        std::string::size_type next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) parts.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    return parts;
}

void mkdir_p(const std::string& path, mode_t mode = 0755) {
    std::string sofar;
    for (const std::string& part : components(path)) {
        sofar += "/" + part;
        if (::mkdir(sofar.c_str(), mode) != 0 && errno != EEXIST) fail("mkdir " + sofar);
    }
}

void write_all(const std::string& path, const std::string& content, mode_t mode = 0644) {
    mkdir_p(parent_of(path));
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (fd.get() < 0) fail("open " + path);
    std::string::size_type done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("write " + path);
        done += static_cast<std::string::size_type>(n);
    }
}

std::string read_all(const std::string& path) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail("open " + path);
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("read " + path);
        if (n == 0) break;
        data.append(buf, static_cast<std::string::size_type>(n));
    }
    return data;
}

// Relative link text that reaches `target` from a link placed at `link`, as
// the kernel writes its sysfs links ("../../devices/...").
std::string relative_target(const std::string& link, const std::string& target) {
    std::vector<std::string> from = components(parent_of(link));
    std::vector<std::string> to = components(target);
    std::size_t common = 0;
    // Like the kernel, climb at least to the target's parent: a link to an
    // ancestor reads "../../../0:0:0:0", not "../..".
    while (common < from.size() && common + 1 < to.size() && from[common] == to[common]) ++common;
    std::string rel;
    for (std::size_t i = common; i < from.size(); ++i) rel += "../";
    for (std::size_t i = common; i < to.size(); ++i) rel += to[i] + (i + 1 < to.size() ? "/" : "");
    if (!rel.empty() && rel.back() == '/') rel.pop_back();
    return rel.empty() ? "." : rel;
}

void make_symlink(const std::string& link, const std::string& text) {
    mkdir_p(parent_of(link));
    if (::unlink(link.c_str()) != 0 && errno != ENOENT) fail("unlink " + link);
    if (::symlink(text.c_str(), link.c_str()) != 0) fail("symlink " + link);
}

void link_to(const std::string& link, const std::string& target) {
    make_symlink(link, relative_target(link, target));
}

void make_node(const std::string& path, mode_t type, DevNum d, mode_t mode) {
    mkdir_p(parent_of(path));
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) fail("unlink " + path);
    if (::mknod(path.c_str(), type | mode, makedev(d.major, d.minor)) != 0) fail("mknod " + path);
    if (::chmod(path.c_str(), mode) != 0) fail("chmod " + path);
}

// Names in directory `path` but "." and "..", read completely before the
// caller changes the directory.
std::vector<std::string> entries_of(const std::string& path) {
    std::vector<std::string> names;
    nesk::unique_dir dir(::opendir(path.c_str()));
    if (!dir) fail("opendir " + path);
    while (struct dirent* e = ::readdir(dir.get())) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    return names;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        fail("lstat " + path);
    }
    if (S_ISDIR(st.st_mode)) {
        for (const std::string& n : entries_of(path)) remove_tree(path + "/" + n);
        if (::rmdir(path.c_str()) != 0) fail("rmdir " + path);
    } else if (::unlink(path.c_str()) != 0) {
        fail("unlink " + path);
    }
}

void copy_tree(const std::string& from, const std::string& to) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) fail("lstat " + from);
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
        ssize_t n = ::readlink(from.c_str(), buf.data(), buf.size() - 1);
        if (n < 0) fail("readlink " + from);
        make_symlink(to, std::string(buf.data(), static_cast<std::size_t>(n)));
    } else if (S_ISDIR(st.st_mode)) {
        mkdir_p(to);
        for (const std::string& n : entries_of(from)) copy_tree(from + "/" + n, to + "/" + n);
    } else if (S_ISREG(st.st_mode)) {
        write_all(to, read_all(from), st.st_mode & 07777);
    }
}

std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string devnum_text(DevNum d) {
    return std::to_string(d.major) + ":" + std::to_string(d.minor);
}

// The uevent file and subsystem link by which libudev knows a block device
// (and finds its udev database record): number, name, type and class.
void add_uevent(const std::string& dir, const std::string& name, DevNum d, const char* type) {
    write_all(dir + "/uevent", "MAJOR=" + std::to_string(d.major) + "\nMINOR=" +
                                   std::to_string(d.minor) + "\nDEVNAME=" + name +
                                   "\nDEVTYPE=" + type + "\n");
    link_to(dir + "/subsystem", "/sys/class/block");
}

// Mount points below `prefix` in this namespace.
std::vector<std::string> mounts_below(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& point : mount_points())
        if (point.compare(0, prefix.size(), prefix) == 0 && point.size() > prefix.size())
            found.push_back(point);
    return found;
}

bool sandbox_alive = false;

}  // namespace

std::string vpd_pg80_page(const std::string& serial) {
    std::string page("\x00\x80\x00", 3);
    page += static_cast<char>(static_cast<unsigned char>(serial.size() & 0xff));
    return page + serial;
}

std::string vpd_designator(unsigned int code_set, unsigned int association, unsigned int type,
                           const std::string& designator) {
    std::string d;
    d += static_cast<char>(code_set & 0x0f);
    d += static_cast<char>(((association & 0x3) << 4) | (type & 0x0f));
    d += '\0';
    d += static_cast<char>(designator.size() & 0xff);
    return d + designator;
}

std::string vpd_pg83_page(const std::vector<std::string>& descriptors) {
    std::string body;
    for (const std::string& d : descriptors) body += d;
    std::string page("\x00\x83", 2);
    page += static_cast<char>((body.size() >> 8) & 0xff);
    page += static_cast<char>(body.size() & 0xff);
    return page + body;
}

ScsiDisk::ScsiDisk(std::string address, std::string name)
    : address(std::move(address)), name(std::move(name)) {}

ScsiDisk ScsiDisk::optical(std::string address, std::string name) {
    ScsiDisk disk(std::move(address), std::move(name));
    disk.vendor = "HL-DT-ST";
    disk.model = "DVD+-RW GHB0N   ";
    disk.rev = "A1C0";
    disk.type = "5";
    disk.size_sectors = 2097151ULL;
    disk.removable = "1";
    disk.devnum = DevNum{11, 0};
    return disk;
}

NvmeNamespace::NvmeNamespace(std::string name) : name(std::move(name)) { rotational = false; }

// ---- the namespace ----

std::string NodeSandbox::unavailable_reason() {
    static const std::string reason = []() -> std::string {
        const std::string why = "needs root (private mount namespace)";
        if (geteuid() != 0) return why;
        if (::unshare(CLONE_NEWNS) != 0) return why + ": unshare: " + strerror(errno);
        // Until every mount is private, a mount made here could propagate back
        // to the host: refuse to make any.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return why + ": making mounts private: " + strerror(errno);
        return std::string();
    }();
    return reason;
}

DevNum NodeSandbox::device_number(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) fail("stat " + path);
    if (!S_ISBLK(st.st_mode)) throw std::runtime_error(path + " is not a block device");
    return DevNum{major(st.st_rdev), minor(st.st_rdev)};
}

std::string NodeSandbox::default_proc_devices() {
    return "Character devices:\n  1 mem\n  4 /dev/vc/0\n  4 tty\n  4 ttyS\n  5 /dev/tty\n"
           "  5 /dev/console\n  5 /dev/ptmx\n  7 vcs\n 10 misc\n 13 input\n 21 sg\n 29 fb\n"
           "128 ptm\n136 pts\n162 raw\n180 usb\n188 ttyUSB\n189 usb_device\n202 cpu/msr\n"
           "203 cpu/cpuid\n226 drm\n241 ipmidev\n242 nvme-generic\n243 nvme\n244 bsg\n"
           "245 watchdog\n246 ptp\n247 pps\n248 cec\n249 rtc\n250 dax\n251 dimmctl\n252 ndctl\n"
           "253 tpm\n254 gpiochip\n"
           "\n"
           "Block devices:\n  7 loop\n  8 sd\n  9 md\n 11 sr\n 65 sd\n 66 sd\n 67 sd\n 68 sd\n"
           " 69 sd\n 70 sd\n 71 sd\n128 sd\n129 sd\n130 sd\n131 sd\n132 sd\n133 sd\n134 sd\n"
           "135 sd\n252 zram\n253 device-mapper\n254 mdp\n259 blkext\n";
}

NodeSandbox::MountStack::~MountStack() {
    for (auto it = targets_.rbegin(); it != targets_.rend(); ++it)
        ::umount2(it->c_str(), MNT_DETACH);
}

void NodeSandbox::MountStack::mount(const std::string& source, const std::string& target,
                                    const char* type, unsigned long flags,
                                    const std::string& options) {
    if (::mount(source.c_str(), target.c_str(), type, flags,
                options.empty() ? nullptr : options.c_str()) != 0)
        fail("mount " + target);
    targets_.push_back(target);
}

NodeSandbox::Claim::Claim() {
    std::string why = unavailable_reason();
    if (!why.empty()) throw std::runtime_error(why);
    if (sandbox_alive) throw std::runtime_error("another NodeSandbox is alive");
    sandbox_alive = true;
}

NodeSandbox::Claim::~Claim() { sandbox_alive = false; }

NodeSandbox::NodeSandbox() : work_dir_(kWorkDir) {
    cat_ = ::access("/bin/cat", X_OK) == 0 ? "/bin/cat" : "/usr/bin/cat";

    // The log and configuration directories of a ScopedPlatform made before
    // the sandbox, and the tree the running program was built in (its tools
    // and libraries) when it lies under /tmp: keep them reachable under their
    // names.
    std::vector<std::string> wanted;
    for (const char* var : {"NESK_LOG_DIR", "NESK_CONFIG_FILE"}) {
        const char* value = getenv(var);
        if (!value || strncmp(value, "/tmp/", 5) != 0) continue;
        wanted.push_back(std::string(var) == "NESK_CONFIG_FILE" ? parent_of(value) : value);
    }
    char exe[4096];
    ssize_t exe_length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (exe_length > 5 && strncmp(exe, "/tmp/", 5) == 0) {
        std::string path(exe, static_cast<size_t>(exe_length));
        wanted.push_back(path.substr(0, path.find('/', 5)));
    }
    std::vector<std::pair<std::string, unique_fd>> keep;
    for (const std::string& dir : wanted) {
        if (dir == "/tmp") continue;
        bool seen = false;
        for (const auto& k : keep) seen = seen || k.first == dir;
        if (seen) continue;
        int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) keep.emplace_back(dir, unique_fd(fd));
    }

    mounts_.mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777");
    for (const auto& k : keep) {
        mkdir_p(k.first, 0700);
        mounts_.mount("/proc/self/fd/" + std::to_string(k.second.get()), k.first, nullptr, MS_BIND,
                      "");
    }
    for (const char* sub : {"bin", "calls", "stubs", "files"}) mkdir_p(work_dir_ + "/" + sub);

    mounts_.mount("tmpfs", "/sys", "tmpfs", 0, "mode=0755");
    for (const char* dir :
         {"/sys/devices/virtual/block", "/sys/bus/scsi/devices", "/sys/block", "/sys/class/block",
          "/sys/class/scsi_host", "/sys/class/scsi_device", "/sys/class/nvme", "/sys/dev/block"})
        mkdir_p(dir);

    mounts_.mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755");
    struct CharNode {
        const char* name;
        DevNum devnum;
        mode_t mode;
    };
    for (const CharNode& c : {CharNode{"null", {1, 3}, 0666}, CharNode{"zero", {1, 5}, 0666},
                              CharNode{"full", {1, 7}, 0666}, CharNode{"random", {1, 8}, 0666},
                              CharNode{"urandom", {1, 9}, 0666}, CharNode{"tty", {5, 0}, 0666},
                              CharNode{"loop-control", {10, 237}, 0660},
                              CharNode{"fuse", {10, 229}, 0666}})
        make_node(std::string("/dev/") + c.name, S_IFCHR, c.devnum, c.mode);
    for (unsigned int i = 0; i < 64; ++i)
        make_node("/dev/loop" + std::to_string(i), S_IFBLK, DevNum{7, i}, 0660);
    make_symlink("/dev/fd", "/proc/self/fd");
    make_symlink("/dev/stdin", "/proc/self/fd/0");
    make_symlink("/dev/stdout", "/proc/self/fd/1");
    make_symlink("/dev/stderr", "/proc/self/fd/2");
    mkdir_p("/dev/pts");
    mkdir_p("/dev/mapper");
    mkdir_p("/dev/shm", 01777);
    if (::chmod("/dev/shm", 01777) != 0) fail("chmod /dev/shm");

    const std::string devices = work_dir_ + "/files/proc_devices";
    write_all(devices, default_proc_devices(), 0444);
    mounts_.mount(devices, "/proc/devices", nullptr, MS_BIND, "");
    const std::string swaps = work_dir_ + "/files/proc_swaps";
    write_all(swaps, proc_swaps_heading(), 0444);
    mounts_.mount(swaps, "/proc/swaps", nullptr, MS_BIND, "");

    const char* old_path = getenv("PATH");
    path_.emplace("PATH", work_dir_ + "/bin:" +
                              (old_path ? old_path : "/usr/local/sbin:/usr/local/bin:/usr/sbin:"
                                                     "/usr/bin:/sbin:/bin"));
}

NodeSandbox::~NodeSandbox() = default;

std::string NodeSandbox::checked(const std::string& path) const {
    static const char* const roots[] = {"/sys/", "/dev/", "/tmp/"};
    bool inside = false;
    for (const char* root : roots) inside = inside || path.compare(0, strlen(root), root) == 0;
    for (const std::string& dir : overlays_)
        inside = inside || path.compare(0, dir.size() + 1, dir + "/") == 0;
    for (const std::string& part : components(path)) inside = inside && part != "..";
    if (!inside)
        throw std::invalid_argument("path outside the sandbox's own mounts: " + path);
    return path;
}

// ---- SCSI ----

const NodeSandbox::Host& NodeSandbox::host(unsigned int number) {
    auto it = hosts_.find(number);
    if (it == hosts_.end()) {
        add_scsi_host(number, HostKind::ata);
        it = hosts_.find(number);
    }
    return it->second;
}

NodeSandbox& NodeSandbox::add_scsi_host(unsigned int number, HostKind kind) {
    const std::string n = std::to_string(number);
    auto it = hosts_.find(number);
    if (it == hosts_.end()) {
        std::string dir;
        std::string proc_name;
        switch (kind) {
        case HostKind::ata:
            dir = "/sys/devices/pci0000:00/0000:00:1f.2/ata" + std::to_string(number + 1) + "/host" + n;
            proc_name = "ahci";
            break;
        case HostKind::sas:
            dir = "/sys/devices/pci0000:00/0000:00:01.0/0000:02:00.0/host" + n;
            proc_name = "mpt3sas";
            break;
        case HostKind::fc:
            dir = "/sys/devices/pci0000:00/0000:00:03.0/0000:05:00.0/host" + n;
            proc_name = "lpfc";
            break;
        case HostKind::iscsi:
            dir = "/sys/devices/platform/host" + n;
            proc_name = "iscsi_tcp";
            break;
        case HostKind::usb:
            dir = "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-" + std::to_string(number + 1) +
                  "/2-" + std::to_string(number + 1) + ":1.0/host" + n;
            proc_name = "usb-storage";
            break;
        }
        mkdir_p(dir);
        write_all(dir + "/scsi_host/host" + n + "/proc_name", proc_name + "\n");
        write_all(dir + "/scsi_host/host" + n + "/unique_id", n + "\n");
        link_to("/sys/class/scsi_host/host" + n, dir + "/scsi_host/host" + n);
        link_to("/sys/bus/scsi/devices/host" + n, dir);
        it = hosts_.emplace(number, Host{dir, kind}).first;
    }
    const std::string& dir = it->second.dir;
    if (kind == HostKind::fc) {
        const std::string fc = dir + "/fc_host/host" + n;
        write_all(fc + "/port_name", "0x10000090fa8b1c2d\n");
        write_all(fc + "/node_name", "0x20000090fa8b1c2d\n");
        write_all(fc + "/port_state", "Online\n");
        write_all(fc + "/port_type", "NPort (fabric)\n");
        write_all(fc + "/symbolic_name",
                  "Emulex LPe32002-M2 FV12.8.340.8 DV12.8.0.5 HN:node1 OS:Linux\n");
        link_to("/sys/class/fc_host/host" + n, fc);
    } else if (kind == HostKind::iscsi) {
        const std::string is = dir + "/iscsi_host/host" + n;
        write_all(is + "/initiatorname", "iqn.1994-05.com.redhat:6f1d1c2a3b4\n");
        write_all(is + "/ipaddress", "10.0.0.17\n");
        link_to("/sys/class/iscsi_host/host" + n, is);
    } else if (kind == HostKind::sas) {
        const std::string sas = dir + "/sas_host/host" + n;
        mkdir_p(sas);
        link_to("/sys/class/sas_host/host" + n, sas);
    }
    it->second.kind = kind;
    return *this;
}

// Creates the device directory of `address` under its host (and target, for a
// four-part address) and links it from /sys/bus/scsi/devices.
std::string NodeSandbox::place_scsi_device(const std::string& address) {
    if (address.empty() || address.find('/') != std::string::npos)
        throw std::invalid_argument("bad SCSI address: " + address);
    std::vector<std::string> parts;
    std::string::size_type pos = 0;
    for (;;) {
        std::string::size_type next = address.find(':', pos);
        parts.push_back(address.substr(pos, next == std::string::npos ? next : next - pos));
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    const unsigned int number = static_cast<unsigned int>(strtoul(address.c_str(), nullptr, 10));
    bool numeric = parts.size() == 4;
    for (const std::string& p : parts)
        numeric = numeric && !p.empty() &&
                  std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; });
    std::string parent = host(number).dir;
    if (numeric) {
        const std::string target = "target" + parts[0] + ":" + parts[1] + ":" + parts[2];
        parent += "/" + target;
        mkdir_p(parent);
        link_to("/sys/bus/scsi/devices/" + target, parent);
    }
    const std::string dir = parent + "/" + address;
    mkdir_p(dir);
    write_all(dir + "/state", "running\n");
    link_to("/sys/bus/scsi/devices/" + address, dir);
    mkdir_p(dir + "/scsi_device/" + address);
    link_to("/sys/class/scsi_device/" + address, dir + "/scsi_device/" + address);
    scsi_dirs_[address] = dir;
    return dir;
}

void NodeSandbox::add_block_dir(const std::string& parent, const std::string& name, DevNum devnum,
                                std::optional<unsigned long long> size,
                                const std::optional<std::string>& removable, bool node,
                                const std::vector<Partition>& partitions,
                                const BlockQueue& queue) {
    if (name.empty() || name.find('/') != std::string::npos)
        throw std::invalid_argument("bad block device name: " + name);
    const std::string dir = parent + "/" + name;
    mkdir_p(dir);
    write_all(dir + "/dev", devnum_text(devnum) + "\n");
    if (size) write_all(dir + "/size", std::to_string(*size) + "\n");
    if (removable) write_all(dir + "/removable", *removable + "\n");
    write_all(dir + "/ro", queue.read_only ? "1\n" : "0\n");
    write_all(dir + "/queue/rotational", queue.rotational ? "1\n" : "0\n");
    write_all(dir + "/queue/logical_block_size", std::to_string(queue.logical_sector_size) + "\n");
    write_all(dir + "/queue/physical_block_size",
              std::to_string(queue.physical_sector_size) + "\n");
    add_uevent(dir, name, devnum, "disk");
    mkdir_p(dir + "/holders");
    mkdir_p(dir + "/slaves");
    link_to("/sys/block/" + name, dir);
    link_to("/sys/class/block/" + name, dir);
    link_to("/sys/dev/block/" + devnum_text(devnum), dir);
    if (node) make_node("/dev/" + name, S_IFBLK, devnum, 0660);
    for (const Partition& p : partitions) {
        DevNum pd = devnum.major == 259 ? DevNum{259, next_nvme_minor_++}
                                        : DevNum{devnum.major, devnum.minor + p.number};
        const std::string pdir = dir + "/" + p.name;
        write_all(pdir + "/dev", devnum_text(pd) + "\n");
        write_all(pdir + "/size", std::to_string(p.size) + "\n");
        write_all(pdir + "/start", std::to_string(p.start) + "\n");
        write_all(pdir + "/partition", std::to_string(p.number) + "\n");
        write_all(pdir + "/ro", queue.read_only ? "1\n" : "0\n");
        add_uevent(pdir, p.name, pd, "partition");
        link_to("/sys/class/block/" + p.name, pdir);
        link_to("/sys/dev/block/" + devnum_text(pd), pdir);
        if (node) make_node("/dev/" + p.name, S_IFBLK, pd, 0660);
    }
}

NodeSandbox& NodeSandbox::add_scsi_disk(const ScsiDisk& disk) {
    const std::string dir = place_scsi_device(disk.address);
    if (disk.vendor) write_all(dir + "/vendor", *disk.vendor + "\n");
    if (disk.model) write_all(dir + "/model", *disk.model + "\n");
    if (disk.rev) write_all(dir + "/rev", *disk.rev + "\n");
    write_all(dir + "/type", disk.type + "\n");
    if (disk.vpd_pg80) write_all(dir + "/vpd_pg80", *disk.vpd_pg80, 0444);
    if (disk.vpd_pg83) write_all(dir + "/vpd_pg83", *disk.vpd_pg83, 0444);
    if (disk.wwid) write_all(dir + "/wwid", *disk.wwid + "\n", 0444);
    const DevNum devnum = disk.devnum ? *disk.devnum : DevNum{8, 16 * next_sd_};
    ++next_sd_;
    add_block_dir(dir + "/block", disk.name, devnum, disk.size_sectors, disk.removable,
                  disk.device_node, disk.partitions, disk);
    // The kernel's block directory reaches its SCSI device as device -> ../../../H:C:T:L.
    link_to(dir + "/block/" + disk.name + "/device", dir);
    for (const std::string& extra : disk.extra_block_names)
        write_all(dir + "/block/" + extra + "/dev", "8:" + std::to_string(16 * next_sd_++) + "\n");
    return *this;
}

NodeSandbox& NodeSandbox::add_enclosure(const std::string& address, const std::string& vendor,
                                        const std::string& model) {
    const std::string dir = place_scsi_device(address);
    write_all(dir + "/vendor", vendor + "\n");
    write_all(dir + "/model", model + "\n");
    write_all(dir + "/rev", "1.98\n");
    write_all(dir + "/type", "13\n");
    mkdir_p(dir + "/enclosure/" + address);
    link_to("/sys/class/enclosure/" + address, dir + "/enclosure/" + address);
    return *this;
}

std::string NodeSandbox::scsi_device_dir(const std::string& address) const {
    auto it = scsi_dirs_.find(address);
    return it == scsi_dirs_.end() ? std::string() : it->second;
}

// ---- NVMe and virtual block devices ----

NodeSandbox& NodeSandbox::add_nvme(const NvmeNamespace& ns) {
    // nvme<C>n<N>
    const std::string& name = ns.name;
    std::string::size_type digits = 4;
    while (digits < name.size() && isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
    if (name.compare(0, 4, "nvme") != 0 || digits == 4 || digits + 1 >= name.size() ||
        name[digits] != 'n')
        throw std::invalid_argument("NVMe namespace names look like nvme0n1: " + name);
    const std::string controller = name.substr(0, digits);
    const unsigned long index = strtoul(controller.c_str() + 4, nullptr, 10);
    char bus[16];
    snprintf(bus, sizeof bus, "%02lx", (0x3d + index) & 0xff);
    const std::string cdir = "/sys/devices/pci0000:00/0000:00:1d.0/0000:" + std::string(bus) +
                             ":00.0/nvme/" + controller;
    struct stat st;
    if (::stat(cdir.c_str(), &st) != 0) {
        write_all(cdir + "/model", ns.model + "\n");
        write_all(cdir + "/serial", ns.serial + "\n");
        write_all(cdir + "/firmware_rev", "1.0\n");
        write_all(cdir + "/transport", "pcie\n");
        write_all(cdir + "/cntlid", std::to_string(index + 1) + "\n");
        link_to("/sys/class/nvme/" + controller, cdir);
    }
    const DevNum devnum = ns.devnum ? *ns.devnum : DevNum{259, next_nvme_minor_++};
    add_block_dir(cdir, name, devnum, ns.size_sectors, std::string("0"), ns.device_node,
                  ns.partitions, ns);
    link_to(cdir + "/" + name + "/device", cdir);
    if (ns.wwid) write_all(cdir + "/" + name + "/wwid", *ns.wwid + "\n", 0444);
    return *this;
}

NodeSandbox& NodeSandbox::add_virtual_block(const std::string& name,
                                            std::optional<unsigned long long> size_sectors,
                                            std::optional<DevNum> devnum) {
    struct Driver {
        const char* prefix;
        unsigned int major;
    };
    std::string::size_type digits = name.find_first_of("0123456789");
    const unsigned int minor = digits == std::string::npos
                                   ? 0
                                   : static_cast<unsigned int>(strtoul(name.c_str() + digits, nullptr, 10));
    if (!devnum) {
        for (const Driver& d : {Driver{"dm-", 253}, Driver{"loop", 7}, Driver{"zram", 252},
                                Driver{"md", 9}, Driver{"nbd", 43}, Driver{"ram", 1}})
            if (!devnum && name.compare(0, strlen(d.prefix), d.prefix) == 0)
                devnum = DevNum{d.major, minor};
        if (!devnum) throw std::invalid_argument("no default device number for " + name);
    }
    const std::string parent = "/sys/devices/virtual/block";
    struct stat st;
    const bool node = ::lstat(("/dev/" + name).c_str(), &st) != 0;
    add_block_dir(parent, name, *devnum, size_sectors, std::string("0"), node, {},
                  BlockQueue{false, false, 512, 512});
    const std::string dir = parent + "/" + name;
    if (name.compare(0, 3, "dm-") == 0) {
        write_all(dir + "/dm/name", "vg_sys-lv_" + std::to_string(minor) + "\n");
        write_all(dir + "/dm/uuid", "LVM-" + std::string(32, 'x') + "\n");
    } else if (name.compare(0, 2, "md") == 0) {
        write_all(dir + "/md/level", "raid1\n");
        write_all(dir + "/md/array_state", "clean\n");
    }
    return *this;
}

NodeSandbox& NodeSandbox::add_dangling_link(const std::string& path, const std::string& target) {
    make_symlink(checked(path), target);
    return *this;
}

NodeSandbox& NodeSandbox::add_device_node(const std::string& name, DevNum devnum) {
    make_node(checked("/dev/" + name), S_IFBLK, devnum, 0660);
    return *this;
}

NodeSandbox& NodeSandbox::add_udev_entry(const std::string& name, const UdevEntry& entry) {
    if (name.empty() || name.find('/') != std::string::npos)
        throw std::invalid_argument("bad block device name: " + name);
    std::string devnum = read_all("/sys/class/block/" + name + "/dev");
    devnum.erase(devnum.find_last_not_of('\n') + 1);
    if (!udev_sysfs_) {
        mounts_.mount("tmpfs", "/run", "tmpfs", 0, "mode=0755");
        mkdir_p("/run/udev/data");
        udev_sysfs_.emplace("SYSTEMD_DEVICE_VERIFY_SYSFS", "0");
    }
    // The record as udev writes it: links, when it was set up, properties
    // and tags, then the format version.
    std::string record;
    for (const std::string& link : entry.links) {
        link_to(checked("/dev/" + link), "/dev/" + name);
        record += "S:" + link + "\n";
    }
    record += "I:1000000\n";
    for (const auto& property : entry.properties)
        record += "E:" + property.first + "=" + property.second + "\n";
    write_all("/run/udev/data/b" + devnum, record + "G:systemd\nQ:systemd\nV:1\n");
    return *this;
}

NodeSandbox& NodeSandbox::load_sysfs_tree(const std::string& dir) {
    copy_tree(dir, "/sys");
    return *this;
}

NodeSandbox& NodeSandbox::write_file(const std::string& path, const std::string& content) {
    unbind_etc_file(checked(path));
    write_all(path, content);
    return *this;
}

NodeSandbox& NodeSandbox::make_dir(const std::string& path) {
    mkdir_p(checked(path));
    return *this;
}

NodeSandbox& NodeSandbox::make_link(const std::string& path, const std::string& target) {
    make_symlink(checked(path), target);
    return *this;
}

NodeSandbox& NodeSandbox::remove(const std::string& path) {
    unbind_etc_file(checked(path));
    remove_tree(path);
    return *this;
}

// A file of /etc that is a mount point of its own (in a container /etc/hosts
// and /etc/resolv.conf are bound from outside, and the overlay binds them
// again) is taken off in this namespace first, so that a change reaches the
// overlay's copy and never the file outside.
void NodeSandbox::unbind_etc_file(const std::string& path) {
    if (path.compare(0, 5, "/etc/") != 0) return;
    for (const std::string& point : mount_points()) {
        if (point != path) continue;
        if (::umount2(path.c_str(), MNT_DETACH) == 0) continue;
        if (errno == EINVAL) break;  // the mounts left lie under the overlay
        fail("umount " + path);
    }
}

// ---- /proc/devices and /etc/mtab ----

NodeSandbox& NodeSandbox::set_proc_devices(const std::string& content) {
    // Rewritten in place: the bind mount holds this inode.
    write_all(work_dir_ + "/files/proc_devices", content, 0444);
    return *this;
}

std::string NodeSandbox::proc_swaps_heading() {
    return "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";
}

NodeSandbox& NodeSandbox::set_proc_swaps(const std::string& content) {
    write_all(work_dir_ + "/files/proc_swaps", content, 0444);
    return *this;
}

NodeSandbox& NodeSandbox::set_mtab(const std::string& content) {
    // /etc/mtab is a link into /proc, which cannot be replaced by binding a
    // file onto it; an overlay of /etc can hold a plain file instead.
    overlay("/etc");
    struct stat st;
    if (::lstat("/etc/mtab", &st) == 0 && S_ISLNK(st.st_mode) && ::unlink("/etc/mtab") != 0)
        fail("unlink /etc/mtab");
    write_all("/etc/mtab", content);
    return *this;
}

NodeSandbox& NodeSandbox::overlay_etc() { return overlay("/etc"); }

// ---- stub commands ----

namespace {

void check_stub_name(const std::string& name) {
    if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                               "0123456789._+-") != std::string::npos)
        throw std::invalid_argument("bad stub command name: " + name);
}

}  // namespace

NodeSandbox& NodeSandbox::stub_command(const std::string& name, const StubResult& result) {
    return add_stub_rule(name, StubRule{std::nullopt, result});
}

NodeSandbox& NodeSandbox::stub_command(const std::string& name, const std::string& args,
                                       const StubResult& result) {
    return add_stub_rule(name, StubRule{args, result});
}

// The new rule replaces one for the same arguments (or the other fallback).
NodeSandbox& NodeSandbox::add_stub_rule(const std::string& name, const StubRule& rule) {
    std::vector<StubRule>& rules = stubs_[name];
    rules.erase(std::remove_if(rules.begin(), rules.end(),
                               [&](const StubRule& r) { return r.args == rule.args; }),
                rules.end());
    rules.push_back(rule);
    write_stub(name);
    return *this;
}

void NodeSandbox::write_stub(const std::string& name) {
    check_stub_name(name);
    const std::vector<StubRule>& rules = stubs_[name];
    std::string script = stub_prologue(name);
    auto answer = [&](std::size_t i, const StubResult& r) {
        const std::string base = work_dir_ + "/stubs/" + name + "." + std::to_string(i);
        write_all(base + ".out", r.out);
        write_all(base + ".err", r.err);
        return cat_ + " " + shell_quote(base + ".out") + "; " + cat_ + " " +
               shell_quote(base + ".err") + " >&2; exit " + std::to_string(r.status & 0xff) + "\n";
    };
    const StubResult* fallback = nullptr;
    std::size_t fallback_index = 0;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (!rules[i].args) {
            fallback = &rules[i].result;
            fallback_index = i;
            continue;
        }
        script += "if [ \"$args\" = " + shell_quote(*rules[i].args) + " ]; then\n  " +
                  answer(i, rules[i].result) + "fi\n";
    }
    if (fallback)
        script += answer(fallback_index, *fallback);
    else
        script += "printf '%s: no scripted answer for [%s]\\n' " + shell_quote(name) +
                  " \"$args\" >&2\nexit 127\n";
    write_program(work_dir_ + "/bin/" + name, script);
}

std::string NodeSandbox::stub_prologue(const std::string& name) const {
    const std::string log = work_dir_ + "/calls/" + name + ".log";
    return "#!/bin/sh\n"
           "IFS=' '\n"
           "args=\"$*\"\n"
           "line=" + shell_quote(name) + "\n"
           "[ $# -eq 0 ] || line=\"$line $args\"\n"
           "printf '%s\\n' \"$line\" >> " + shell_quote(log) + "\n";
}

NodeSandbox& NodeSandbox::stub_script(const std::string& name, const std::string& body) {
    check_stub_name(name);
    stubs_.erase(name);
    write_program(work_dir_ + "/bin/" + name, stub_prologue(name) + body);
    return *this;
}

NodeSandbox& NodeSandbox::remove_stub(const std::string& name) {
    stubs_.erase(name);
    if (::unlink((work_dir_ + "/bin/" + name).c_str()) != 0 && errno != ENOENT)
        fail("unlink stub " + name);
    return *this;
}

std::string NodeSandbox::system_command(const std::string& name) const {
    const char* path = ::getenv("PATH");
    std::string dirs = path ? path : "";
    const std::string stubs = work_dir_ + "/bin";
    for (std::string::size_type start = 0; start <= dirs.size();) {
        std::string::size_type end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && dir != stubs && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

std::vector<std::string> NodeSandbox::command_log(const std::string& name) const {
    std::vector<std::string> lines;
    std::ifstream in(work_dir_ + "/calls/" + name + ".log");
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// ---- users, programs, the shell and the network ----

namespace {

// Moves the calling process into a new network namespace and brings its
// loopback up: "" on success, otherwise `why` and what failed.
std::string new_network_namespace(const std::string& why) {
    if (geteuid() != 0) return why;
    if (::unshare(CLONE_NEWNET) != 0) return why + ": unshare: " + strerror(errno);
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (sock.get() < 0 || ::ioctl(sock.get(), SIOCGIFFLAGS, &request) != 0)
        return why + ": reading the loopback flags: " + strerror(errno);
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(sock.get(), SIOCSIFFLAGS, &request) != 0)
        return why + ": bringing the loopback up: " + strerror(errno);
    return std::string();
}

// Gives interface `link` of the current network namespace `address`/30 and
// brings it up; addresses of the loopback range are routed off the loopback
// interface in this namespace (route_localnet). "" or what failed.
std::string configure_link(const std::string& link, const std::string& address) {
    const std::string sysctl = "/proc/sys/net/ipv4/conf/all/route_localnet";
    try {
        write_all(sysctl, "1\n");
    } catch (const std::exception& e) {
        return e.what();
    }
    std::string output;
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{"ip", "address", "add", address + "/30", "dev", link},
          std::vector<std::string>{"ip", "link", "set", link, "up"}})
        if (run_program(argv, &output) != 0) return "ip failed: " + output;
    return std::string();
}

}  // namespace

std::string NodeSandbox::enter_private_network() {
    static const std::string reason =
        new_network_namespace("needs root (private network namespace)");
    return reason;
}

std::string NodeSandbox::linked_address(unsigned int link) {
    return "127.1." + std::to_string(link) + ".2";
}

std::string NodeSandbox::enter_linked_network(pid_t peer, unsigned int link) {
    const std::string why = "cannot link a network namespace to process " + std::to_string(peer);
    if (link < 1 || link > 254) throw std::invalid_argument("link must be 1 to 254");
    unique_fd own_space(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    unique_fd peer_space(
        ::open(("/proc/" + std::to_string(peer) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC));
    if (own_space.get() < 0 || peer_space.get() < 0) return why + ": " + strerror(errno);
    std::string failed = new_network_namespace(why);
    if (!failed.empty()) return failed;
    own_space.reset(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    const std::string peer_link = "nesk-link" + std::to_string(link);
    std::string output;
    if (run_program({"ip", "link", "add", "eth0", "type", "veth", "peer", "name", peer_link,
                     "netns", std::to_string(peer)},
                    &output) != 0)
        return why + ": ip failed: " + output;
    failed = configure_link("eth0", linked_address(link));
    if (!failed.empty()) return why + ": " + failed;
    // The peer's end is set up from inside the peer's namespace.
    if (::setns(peer_space.get(), CLONE_NEWNET) != 0) return why + ": setns: " + strerror(errno);
    failed = configure_link(peer_link, "127.1." + std::to_string(link) + ".1");
    if (::setns(own_space.get(), CLONE_NEWNET) != 0)
        throw std::runtime_error("cannot return to the linked network namespace");
    return failed.empty() ? failed : why + ": " + failed;
}

NodeSandbox& NodeSandbox::overlay(const std::string& dir) {
    if (dir.empty() || dir[0] != '/' || dir.back() == '/' || dir == "/tmp" ||
        dir.find("/..") != std::string::npos)
        throw std::invalid_argument("cannot overlay " + dir);
    if (std::find(overlays_.begin(), overlays_.end(), dir) != overlays_.end()) return *this;
    // Mounts below `dir` (files bound onto /etc, say) would be hidden by the
    // overlay: hold them open and bind them again on top.
    std::vector<std::pair<std::string, unique_fd>> submounts;
    for (const std::string& point : mounts_below(dir + "/")) {
        int fd = ::open(point.c_str(), O_PATH | O_CLOEXEC);
        if (fd >= 0) submounts.emplace_back(point, unique_fd(fd));
    }
    std::string name = dir.substr(1);
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string upper = work_dir_ + "/" + name + "-upper";
    const std::string work = work_dir_ + "/" + name + "-work";
    mkdir_p(upper);
    mkdir_p(work);
    mounts_.mount("overlay", dir, "overlay", 0,
                  "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work);
    overlays_.push_back(dir);
    for (const auto& sub : submounts)
        mounts_.mount("/proc/self/fd/" + std::to_string(sub.second.get()), sub.first, nullptr,
                      MS_BIND, "");
    return *this;
}

NodeSandbox& NodeSandbox::write_program(const std::string& path, const std::string& script) {
    checked(path);
    // Written under a new name and renamed, so a running program never sees
    // half a script.
    write_all(path + ".new", script, 0755);
    if (::rename((path + ".new").c_str(), path.c_str()) != 0) fail("rename " + path);
    return *this;
}

NodeSandbox& NodeSandbox::add_user(const std::string& name, unsigned int uid,
                                   const std::string& home, const std::string& shell) {
    overlay("/etc");
    const std::string id = std::to_string(uid);
    const std::pair<const char*, std::string> entries[] = {
        {"/etc/passwd", name + ":x:" + id + ":" + id + "::" + home + ":" + shell + "\n"},
        {"/etc/group", name + ":x:" + id + ":\n"},
        {"/etc/shadow", name + ":*:19000:0:99999:7:::\n"}};
    for (const auto& entry : entries) {
        std::string text = read_all(entry.first);
        if (!text.empty() && text.back() != '\n') text += '\n';
        struct stat st;
        if (::stat(entry.first, &st) != 0) fail(std::string("stat ") + entry.first);
        write_all(entry.first, text + entry.second, st.st_mode & 07777);
    }
    return *this;
}

NodeSandbox& NodeSandbox::set_password(const std::string& user, const std::string& password) {
    overlay("/etc");
    struct crypt_data data;
    memset(&data, 0, sizeof data);
    const char* hash = ::crypt_r(password.c_str(), "$6$neskSandbox$", &data);
    if (!hash || hash[0] == '*') fail("crypt");
    std::istringstream lines(read_all("/etc/shadow"));
    std::string text, line;
    bool found = false;
    while (std::getline(lines, line)) {
        const std::string::size_type colon = line.find(':');
        if (colon != std::string::npos && line.compare(0, colon, user) == 0) {
            const std::string::size_type end = line.find(':', colon + 1);
            line = user + ":" + hash + (end == std::string::npos ? ":" : line.substr(end));
            found = true;
        }
        text += line + "\n";
    }
    if (!found) throw std::invalid_argument("no shadow entry for " + user);
    struct stat st;
    if (::stat("/etc/shadow", &st) != 0) fail("stat /etc/shadow");
    write_all("/etc/shadow", text, st.st_mode & 07777);
    return *this;
}

NodeSandbox& NodeSandbox::record_shell() {
    if (recording_shell_) return *this;
    // The shell itself is copied aside, and a script run by that copy takes
    // its place: it logs what "-c" (after an optional "--") was given and
    // hands everything on. The log is writable for every user, since su runs
    // its shell as the target user.
    char real[PATH_MAX];
    if (!::realpath("/bin/sh", real)) fail("realpath /bin/sh");
    const std::string copy = work_dir_ + "/files/sh.real";
    const std::string log = work_dir_ + "/calls/shell.log";
    write_all(copy, read_all(real), 0755);
    write_all(log, "", 0666);
    if (::chmod(log.c_str(), 0666) != 0) fail("chmod " + log);
    const std::string recorder = work_dir_ + "/files/sh.recorder";
    write_all(recorder,
              "#!" + copy + "\n"
              "if [ \"$1\" = -c ]; then\n"
              "  if [ \"$2\" = -- ]; then line=$3; else line=$2; fi\n"
              "  { printf '%s\\n' \"$line\" >> " + shell_quote(log) + "; } 2>/dev/null\n"
              "fi\n"
              "exec " + shell_quote(copy) + " \"$@\"\n",
              0755);
    mounts_.mount(recorder, real, nullptr, MS_BIND, "");
    recording_shell_ = true;
    return *this;
}

std::vector<std::string> NodeSandbox::shell_log() const { return command_log("shell"); }

NodeSandbox& NodeSandbox::add_pseudo_terminals() {
    struct stat st;
    if (::lstat("/dev/ptmx", &st) == 0) return *this;
    mounts_.mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                  "newinstance,ptmxmode=0666,mode=0620");
    make_symlink("/dev/ptmx", "pts/ptmx");
    return *this;
}

// ---- fixture ----

void SandboxTest::SetUp() {
    const std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    sandbox_ = std::make_unique<NodeSandbox>();
    platform_ = std::make_unique<ScopedPlatform>();
    SetUpNode();
}

void SandboxTest::TearDown() {
    platform_.reset();
    sandbox_.reset();
}

bool has_line_containing(const std::vector<std::string>& lines, const std::string& text) {
    return count_lines_containing(lines, text) > 0;
}

int count_lines_containing(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

size_t first_line_with(const std::vector<std::string>& lines, const std::string& text) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return i;
    return lines.size();
}

std::vector<std::string> keys(const nesk_blkdevmgr& manager) {
    std::vector<std::string> names;
    for (const auto& entry : manager.blkdev_map) names.push_back(entry.first);
    return names;
}

}  // namespace nesk_test
