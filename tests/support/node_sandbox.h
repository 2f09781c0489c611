// A simulated storage node for tests and benchmarks: the library runs unchanged
// against the fixed paths it uses in production (/sys, /dev, /proc/devices,
// /etc/mtab, commands on PATH), which a NodeSandbox replaces inside a private
// mount namespace of the test process.
//
// The first sandbox moves the whole process into its own mount namespace
// (unshare(CLONE_NEWNS), every mount made private), so no mount made here can
// reach the host, even when the test crashes. That needs root and a process
// that is still single-threaded (true for gtest and Google Benchmark mains).
//
// While a NodeSandbox lives:
// - /sys is an empty tmpfs laid out like the kernel's sysfs: device directories
//   under /sys/devices/..., and /sys/bus/scsi/devices, /sys/block and
//   /sys/class/block entries as relative symbolic links to them;
// - /dev is a tmpfs holding null, zero, full, random, urandom, tty, fd,
//   stdin/stdout/stderr, loop-control, fuse and loop0..loop63, plus the nodes of
//   the disks added;
// - /tmp is a private tmpfs (scratch directories of the code under test stay
//   inside the namespace); the directories named by NESK_LOG_DIR and
//   NESK_CONFIG_FILE, when they lie under /tmp, are carried over so that a
//   ScopedPlatform made before the sandbox keeps working;
// - /proc/devices shows a generated file (default: a RHEL node's list), and
//   /proc/swaps one that lists no active swap area;
// - /etc/mtab is the namespace's real mount table until set_mtab() is called;
//   then /etc is an overlay whose mtab is a plain file with the given text;
// - PATH starts with the sandbox's stub directory;
// - once add_udev_entry() is called, /run is a private tmpfs holding the udev
//   database, and /dev/disk the links udev would have made.
// Destruction restores PATH and unmounts everything in reverse order.
//
// Example:
//   if (auto why = NodeSandbox::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
//   NodeSandbox node;
//   ScopedPlatform platform;  // after the sandbox: lives in its /tmp
//   node.add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_serial("ABCD1234"))
//       .add_scsi_host(5, HostKind::fc)
//       .add_scsi_disk(ScsiDisk("5:0:0:1", "sdb"))
//       .add_nvme(NvmeNamespace("nvme0n1").with_size(1000))
//       .stub_command("pvscan", {"  PV /dev/sdc   VG vg0\n", "", 0});
//   ... run the library ...
//   EXPECT_EQ(node.command_log("pvscan"), std::vector<std::string>{"pvscan -s"});
#ifndef NESK_NODE_SANDBOX_H
#define NESK_NODE_SANDBOX_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

class nesk_blkdevmgr;

namespace nesk_test {

struct DevNum {
    unsigned int major = 0;
    unsigned int minor = 0;
};

// Kind of SCSI host adapter: where its directory lives, its driver's
// proc_name and which transport class (/sys/class/sas_host, fc_host,
// iscsi_host) lists it. lsblk tells the transport from these: ata is an AHCI
// port (sata), usb a USB mass-storage interface (usb-storage, under a USB
// device's directory).
enum class HostKind { ata, sas, fc, iscsi, usb };

// One partition of a disk or NVMe namespace: <disk block dir>/<name>/ with
// dev, size, start and partition files, linked from /sys/class/block, and a
// node /dev/<name> with the disk's major and minor + number.
struct Partition {
    Partition(std::string name, unsigned int number, unsigned long long start_sectors,
              unsigned long long size_sectors)
        : name(std::move(name)), number(number), start(start_sectors), size(size_sectors) {}
    std::string name;
    unsigned int number;
    unsigned long long start;
    unsigned long long size;
};

// Raw bytes of a VPD page 0x80 holding `serial`: 00 80 00 <length> <serial>.
std::string vpd_pg80_page(const std::string& serial);
// One designation descriptor of a VPD page 0x83: <code set> <association << 4
// | designator type> 00 <length> <designator>. Code set 1 is binary, 2 ASCII;
// association 0 names the logical unit, 1 the target port; type 1 is T10
// vendor, 2 EUI-64, 3 NAA.
std::string vpd_designator(unsigned int code_set, unsigned int association, unsigned int type,
                           const std::string& designator);
// Raw bytes of a VPD page 0x83 holding `descriptors`: 00 83 <length, 2 bytes>.
std::string vpd_pg83_page(const std::vector<std::string>& descriptors);

// The queue attributes and read-only flag of a disk's block directory:
// queue/rotational, queue/logical_block_size, queue/physical_block_size, ro.
struct BlockQueue {
    bool rotational = true;
    bool read_only = false;
    unsigned int logical_sector_size = 512;
    unsigned int physical_sector_size = 512;
};

// Setters of BlockQueue shared by the disk descriptions below.
template <typename Disk>
struct BlockQueueSetters : BlockQueue {
    Disk& with_rotational(bool v) { rotational = v; return self(); }
    Disk& with_read_only() { read_only = true; return self(); }
    Disk& with_sector_sizes(unsigned int logical, unsigned int physical) {
        logical_sector_size = logical;
        physical_sector_size = physical;
        return self();
    }

private:
    Disk& self() { return static_cast<Disk&>(*this); }
};

// A SCSI device with one block device. Every optional file is left out when
// unset. Defaults model a rotating SATA disk of 1 GiB, 512-byte sectors,
// without VPD pages 0x80 and 0x83 or wwid.
struct ScsiDisk : BlockQueueSetters<ScsiDisk> {
    ScsiDisk(std::string address, std::string name);
    // A CD/DVD drive: type 5, removable 1, no VPD page, major 11.
    static ScsiDisk optical(std::string address, std::string name);

    std::string address;  // H:C:T:L; any other text is placed under the host directory
    std::string name;     // kernel name, e.g. sda
    std::optional<std::string> vendor = std::string("ATA     ");
    std::optional<std::string> model = std::string("VIRTUAL-DISK    ");
    std::optional<std::string> rev = std::string("1.0 ");
    std::string type = "0";
    std::optional<unsigned long long> size_sectors = 2097152ULL;
    std::optional<std::string> removable = std::string("0");
    std::optional<std::string> vpd_pg80;  // raw page bytes, written as they are
    std::optional<std::string> vpd_pg83;  // raw page bytes, written as they are
    std::optional<std::string> wwid;      // the kernel's name for it, e.g. "naa.5000c500a1b2c3d4"
    std::optional<DevNum> devnum;         // default: 8:16*k for the k-th disk added
    bool device_node = true;              // mknod /dev/<name>
    std::vector<std::string> extra_block_names;  // more entries in block/
    std::vector<Partition> partitions;

    ScsiDisk& with_vendor(std::string v) { vendor = std::move(v); return *this; }
    ScsiDisk& with_model(std::string v) { model = std::move(v); return *this; }
    ScsiDisk& with_size(unsigned long long v) { size_sectors = v; return *this; }
    ScsiDisk& with_removable(std::string v) { removable = std::move(v); return *this; }
    ScsiDisk& with_vpd_pg80(std::string raw) { vpd_pg80 = std::move(raw); return *this; }
    ScsiDisk& with_serial(const std::string& s) { vpd_pg80 = vpd_pg80_page(s); return *this; }
    ScsiDisk& with_vpd_pg83(std::string raw) { vpd_pg83 = std::move(raw); return *this; }
    ScsiDisk& with_wwid(std::string v) { wwid = std::move(v); return *this; }
    ScsiDisk& with_devnum(DevNum d) { devnum = d; return *this; }
    ScsiDisk& without_node() { device_node = false; return *this; }
    ScsiDisk& with_partition(Partition p) { partitions.push_back(std::move(p)); return *this; }
};

// An NVMe namespace (nvme<C>n<N>) under its controller nvme<C>, whose
// directory carries model and serial; the namespace's "device" link points at
// the controller. Not rotational by default.
struct NvmeNamespace : BlockQueueSetters<NvmeNamespace> {
    explicit NvmeNamespace(std::string name);
    std::string name;
    std::optional<unsigned long long> size_sectors = 2097152ULL;
    std::optional<DevNum> devnum;  // default: 259:k
    bool device_node = true;
    std::string model = "VIRTUAL NVME DISK";
    std::string serial = "S4EVNF0M000001";
    std::optional<std::string> wwid;  // the namespace's, e.g. "eui.0025385b71b0d3c1"
    std::vector<Partition> partitions;

    NvmeNamespace& with_size(unsigned long long v) { size_sectors = v; return *this; }
    NvmeNamespace& without_size() { size_sectors.reset(); return *this; }
    NvmeNamespace& with_devnum(DevNum d) { devnum = d; return *this; }
    NvmeNamespace& with_partition(Partition p) { partitions.push_back(std::move(p)); return *this; }
    NvmeNamespace& with_wwid(std::string v) { wwid = std::move(v); return *this; }
};

// What udev recorded for a block device: the links it made, relative to /dev
// ("disk/by-id/wwn-0x5000c500a1b2c3d4"), and its properties ("ID_WWN", ...).
struct UdevEntry {
    std::vector<std::string> links;
    std::vector<std::pair<std::string, std::string>> properties;
};

// What a stub command writes and returns.
struct StubResult {
    std::string out;
    std::string err;
    int status = 0;
};

class NodeSandbox {
public:
    // "" when sandboxes can be made in this process; otherwise why not, e.g.
    // "needs root (private mount namespace)". The first call moves the process
    // into its private mount namespace.
    static std::string unavailable_reason();
    // major:minor of an existing block node such as /dev/loop3; throws when
    // `path` is not one.
    static DevNum device_number(const std::string& path);
    // The /proc/devices text installed by default.
    static std::string default_proc_devices();

    // Throws std::runtime_error when unavailable or when another sandbox lives.
    NodeSandbox();
    ~NodeSandbox();
    NodeSandbox(const NodeSandbox&) = delete;
    NodeSandbox& operator=(const NodeSandbox&) = delete;

    // ---- sysfs and /dev ----
    // Hosts are made on demand (as HostKind::ata) by the devices placed on them.
    NodeSandbox& add_scsi_host(unsigned int host, HostKind kind = HostKind::ata);
    NodeSandbox& add_scsi_disk(const ScsiDisk& disk);
    // A SCSI device without a block device (type 13, with an enclosure/ dir).
    NodeSandbox& add_enclosure(const std::string& address,
                               const std::string& vendor = "HPE     ",
                               const std::string& model = "Smart Adapter   ");
    NodeSandbox& add_nvme(const NvmeNamespace& ns);
    // A block device under /sys/devices/virtual/block: dm-<N>, loop<N>,
    // zram<N>, md<N> get their driver's major and minor N by default.
    NodeSandbox& add_virtual_block(const std::string& name,
                                   std::optional<unsigned long long> size_sectors = 0ULL,
                                   std::optional<DevNum> devnum = std::nullopt);
    // A symbolic link `path` -> `target` where the target does not exist.
    NodeSandbox& add_dangling_link(const std::string& path, const std::string& target);
    // A block node /dev/<name> (replacing one already there).
    NodeSandbox& add_device_node(const std::string& name, DevNum devnum);
    // Makes `entry`'s links to /dev/<name> and writes the udev database record
    // of block device `name` (added before) the way udev writes it,
    // /run/udev/data/b<major>:<minor>. The first call mounts a private tmpfs
    // on /run and sets SYSTEMD_DEVICE_VERIFY_SYSFS=0 so that libudev (and so
    // lsblk) reads these records for the sandbox's tmpfs sysfs.
    NodeSandbox& add_udev_entry(const std::string& name, const UdevEntry& entry);
    // Copies a captured sysfs root (holding devices/, block/, bus/, class/...)
    // into /sys, symbolic links kept as they are.
    NodeSandbox& load_sysfs_tree(const std::string& dir);

    // Raw edits for odd cases; `path` must lie under /sys, /dev or /tmp (or
    // /etc once set_mtab has been called). Parents are created.
    NodeSandbox& write_file(const std::string& path, const std::string& content);
    NodeSandbox& make_dir(const std::string& path);
    NodeSandbox& make_link(const std::string& path, const std::string& target);
    NodeSandbox& remove(const std::string& path);  // recursively, links not followed

    // Device directory of a SCSI device added before ("" when unknown).
    std::string scsi_device_dir(const std::string& address) const;

    // ---- /proc/devices, /proc/swaps and /etc/mtab ----
    NodeSandbox& set_proc_devices(const std::string& content);
    // /proc/swaps: the heading line alone (no active swap) until set.
    static std::string proc_swaps_heading();
    NodeSandbox& set_proc_swaps(const std::string& content);
    NodeSandbox& set_mtab(const std::string& content);
    // Makes /etc an overlay (once) whose files write_file and remove may then
    // change without reaching the host's /etc, e.g. /etc/hosts or release files.
    NodeSandbox& overlay_etc();

    // ---- stub commands ----
    // `name` answers every call with `result` (unless a rule below matches).
    NodeSandbox& stub_command(const std::string& name, const StubResult& result);
    // `name` answers calls whose arguments, joined by blanks, equal `args`.
    NodeSandbox& stub_command(const std::string& name, const std::string& args,
                              const StubResult& result);
    // Every call of stub `name` so far: its name and arguments joined by blanks.
    std::vector<std::string> command_log(const std::string& name) const;
    // `name` runs the shell script `body` once its call is logged as above
    // ("$@" holds its arguments), e.g. to run the system's own command and then
    // act on the caller. The stub directory is the first entry of PATH, so a
    // script that wraps the real command finds it with PATH="${PATH#*:}".
    NodeSandbox& stub_script(const std::string& name, const std::string& body);
    // Takes stub `name` away: the system's own command answers again.
    NodeSandbox& remove_stub(const std::string& name);
    // Path of the system's own `name` on PATH, stubs left out ("" when none).
    std::string system_command(const std::string& name) const;

    // Private directory of the sandbox (inside its /tmp).
    const std::string& work_dir() const { return work_dir_; }

    // ---- users, programs, the shell and the network ----
    // Moves the whole process into a private network namespace whose loopback
    // is up, so servers started by a test listen on 127.0.0.1 unseen by the
    // host. "" on success (also on later calls), otherwise why not. Like the
    // mount namespace, there is no way back.
    static std::string enter_private_network();
    // For a forked child standing for one node of several: moves the calling
    // process into a new network namespace whose loopback is up, linked to the
    // network namespace of process `peer` (the test that plays the nodes'
    // controller) by a veth pair: eth0 here with linked_address(link), and
    // "nesk-link<link>" in the peer's namespace with 127.1.<link>.1, in the
    // subnet 127.1.<link>.0/30. Both namespaces route the loopback range off
    // the loopback interface (route_localnet); no packet leaves the two
    // namespaces, and the pair goes away with this one. `link` (1 to 254)
    // tells the links of one peer apart. "" on success, otherwise why not.
    static std::string enter_linked_network(pid_t peer, unsigned int link);
    // This end's address of link `link`: "127.1.<link>.2".
    static std::string linked_address(unsigned int link);
    // Makes the existing directory `dir` (e.g. /root, /opt, /usr/sbin)
    // writable through an overlay whose changes stay in the sandbox; the
    // raw edits above then accept paths under it. Mounts below `dir` are
    // mounted again on the overlay. Overlaying a directory twice does nothing.
    NodeSandbox& overlay(const std::string& dir);
    // Writes `script` as an executable at `path` (rules of write_file),
    // replacing it in one step.
    NodeSandbox& write_program(const std::string& path, const std::string& script);
    // Adds `name` to passwd, group and shadow of the /etc overlay, with group
    // id `uid` and a locked password ("*": reached through su from root).
    NodeSandbox& add_user(const std::string& name, unsigned int uid, const std::string& home,
                          const std::string& shell = "/bin/sh");
    // Gives `user` (already in the shadow file) `password`, as a SHA-512 crypt
    // hash in the /etc overlay's shadow file.
    NodeSandbox& set_password(const std::string& user, const std::string& password);
    // From now on every "/bin/sh -c" in the namespace, whoever runs it, logs
    // its command line before running it; shell_log() gives them in order.
    NodeSandbox& record_shell();
    std::vector<std::string> shell_log() const;
    // Pseudo-terminals (a private devpts on /dev/pts, /dev/ptmx), for
    // programs such as sshpass that drive another through one.
    NodeSandbox& add_pseudo_terminals();

private:
    struct Host {
        std::string dir;
        HostKind kind;
    };
    struct StubRule {
        std::optional<std::string> args;
        StubResult result;
    };
    // At most one sandbox at a time, and only in a private namespace.
    class Claim {
    public:
        Claim();
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
    };
    class MountStack {
    public:
        MountStack() = default;
        ~MountStack();
        MountStack(const MountStack&) = delete;
        MountStack& operator=(const MountStack&) = delete;
        void mount(const std::string& source, const std::string& target, const char* type,
                   unsigned long flags, const std::string& options);

    private:
        std::vector<std::string> targets_;
    };

    const Host& host(unsigned int number);
    std::string place_scsi_device(const std::string& address);
    void add_block_dir(const std::string& dir, const std::string& name, DevNum devnum,
                       std::optional<unsigned long long> size,
                       const std::optional<std::string>& removable, bool node,
                       const std::vector<Partition>& partitions, const BlockQueue& queue);
    NodeSandbox& add_stub_rule(const std::string& name, const StubRule& rule);
    void write_stub(const std::string& name);
    std::string stub_prologue(const std::string& name) const;
    std::string checked(const std::string& path) const;
    void unbind_etc_file(const std::string& path);

    Claim claim_;
    MountStack mounts_;  // unmounts after the members below, also after a failed constructor
    std::optional<ScopedEnv> path_;  // PATH with the stub directory first
    std::optional<ScopedEnv> udev_sysfs_;  // set once the udev database is in place
    std::string work_dir_;
    std::string cat_;
    unsigned int next_sd_ = 0;
    unsigned int next_nvme_minor_ = 0;
    std::map<unsigned int, Host> hosts_;
    std::map<std::string, std::string> scsi_dirs_;
    std::map<std::string, std::vector<StubRule>> stubs_;
    std::vector<std::string> overlays_;
    bool recording_shell_ = false;
};

// Fixture: skips when no sandbox can be made; otherwise gives each test a
// fresh NodeSandbox and, inside it, a ScopedPlatform.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Lays out a fixture's node once the sandbox and platform exist (never
    // when the test is skipped).
    virtual void SetUpNode() {}
    NodeSandbox& sandbox() { return *sandbox_; }
    ScopedPlatform& platform() { return *platform_; }

private:
    std::unique_ptr<NodeSandbox> sandbox_;
    std::unique_ptr<ScopedPlatform> platform_;
};

// True when some line of `lines` contains `text`.
bool has_line_containing(const std::vector<std::string>& lines, const std::string& text);
// Number of lines of `lines` that contain `text`.
int count_lines_containing(const std::vector<std::string>& lines, const std::string& text);
// Index of the first line of `lines` that contains `text` (lines.size() when none).
size_t first_line_with(const std::vector<std::string>& lines, const std::string& text);
// Device names of `manager`'s records, in the map's order.
std::vector<std::string> keys(const nesk_blkdevmgr& manager);

// Every mount point of this mount namespace (/proc/self/mountinfo), decoded.
std::vector<std::string> mount_points();

}  // namespace nesk_test

#endif
