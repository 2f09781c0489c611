// nesk-disks end to end: the built tool run on a simulated node; its manual
// page and completion.
#include <limits.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "demo_node.h"
#include "nesk_version.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using nlohmann::json;
using Lines = std::vector<std::string>;

// The tool is built next to the tests directory: <build>/nesk-disks.
std::string tool_path() { return built_program("nesk-disks"); }

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the tool with `args`, and with `environment` ("NAME=value") added to
// this process's.
ToolRun run_tool(const std::vector<std::string>& args,
                 const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv{"env"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(tool_path());
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.code = run_program(argv, &run.out, &run.err);
    return run;
}

Lines lines_of(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// Table cells are separated by two blanks or more.
Lines cells(const std::string& row) { return table_cells(row); }

// A document as the tool writes it: every key has its documented type.
json parse_document(const std::string& text) {
    json doc = json::parse(text);
    EXPECT_TRUE(doc.at("format").is_number_unsigned());
    EXPECT_TRUE(doc.at("version").is_string());
    for (const char* key : {"complete", "all", "strict", "nvme"})
        EXPECT_TRUE(doc.at(key).is_boolean()) << key;
    EXPECT_TRUE(doc.at("min_size_bytes").is_number_unsigned());
    EXPECT_EQ(doc.at("complete").get<bool>(), doc.at("incomplete").empty());
    for (const json& kind : doc.at("incomplete")) EXPECT_TRUE(kind.is_string());
    for (const json& disk : doc.at("disks")) {
        const bool skipped = disk.at("state") == "skipped";
        EXPECT_TRUE(disk.at("device").is_string());
        for (const char* key : {"size_bytes", "blocks", "block_size"})
            EXPECT_TRUE(skipped ? disk.at(key).is_null() : disk.at(key).is_number_unsigned()) << key;
        for (const char* key : {"vendor", "model", "serial"})
            EXPECT_TRUE(skipped ? disk.at(key).is_null() : disk.at(key).is_string()) << key;
        for (const char* key : {"reasons", "cautions"})
            for (const json& item : disk.at(key)) EXPECT_TRUE(item.is_string()) << key;
        EXPECT_EQ(disk.at("state") == "new", disk.at("reasons").empty());
        const json& identity = disk.at("identity");
        if (identity.is_null()) continue;
        EXPECT_EQ(identity.size(), 10u);
        for (const char* key : {"wwn", "model", "serial", "transport", "hctl"})
            EXPECT_TRUE(identity.at(key).is_string()) << key;
        EXPECT_TRUE(identity.at("by_id").is_array());
        for (const json& link : identity.at("by_id")) EXPECT_TRUE(link.is_string());
        for (const char* key : {"rotational", "read_only"})
            EXPECT_TRUE(identity.at(key).is_boolean()) << key;
        for (const char* key : {"logical_sector_size", "physical_sector_size"})
            EXPECT_TRUE(identity.at(key).is_number_unsigned()) << key;
    }
    return doc;
}

std::vector<std::string> devices_of(const json& doc) {
    std::vector<std::string> devices;
    for (const json& disk : doc.at("disks")) devices.push_back(disk.at("device"));
    return devices;
}

std::string joined(const json& strings) {
    std::string text;
    for (const json& s : strings) text += (text.empty() ? "" : ",") + s.get<std::string>();
    return text.empty() ? "-" : text;
}

// ---- on the demo node: real loop devices, XFS, LVM and a mounted partition ----

class NeskDisksOnDemoNode : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        disks_ = std::make_unique<DemoDisks>();
        sandbox_ = std::make_unique<NodeSandbox>();
        platform_ = std::make_unique<ScopedPlatform>();
        node_ = std::make_unique<DemoNode>(*sandbox_, *disks_);
    }
    static void TearDownTestSuite() {
        node_.reset();
        platform_.reset();
        sandbox_.reset();
        disks_.reset();
    }
    void SetUp() override {
        const std::string why = NodeSandbox::unavailable_reason();
        if (!why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(node_) << "the demo node could not be built";
    }

    static inline std::unique_ptr<DemoDisks> disks_;
    static inline std::unique_ptr<NodeSandbox> sandbox_;
    static inline std::unique_ptr<ScopedPlatform> platform_;
    static inline std::unique_ptr<DemoNode> node_;
};

TEST_F(NeskDisksOnDemoNode, TableOfNewDisksSmallestFirst) {
    ToolRun run = run_tool({});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    Lines rows = lines_of(run.out);
    ASSERT_EQ(rows.size(), 5u) << run.out;
    EXPECT_EQ(cells(rows[0]),
              (Lines{"DEVICE", "SIZE", "BYTES", "VENDOR", "MODEL", "SERIAL", "WWN", "CAUTIONS"}));
    // An NVMe namespace's model and serial are its controller's.
    EXPECT_EQ(cells(rows[1]), (Lines{"/dev/nvme0n1", "512M", "536870912", "-", "VIRTUAL NVME DISK",
                                     "S4EVNF0M000001", "eui.0025385b71b0d3c1", "-"}));
    EXPECT_EQ(cells(rows[2]),
              (Lines{"/dev/sdj", "768M", "805306368", "ATA", "INTEL SSDSC2KB48", "BTYF02710001",
                     "0x55cd2e414d0e0f01", "signature:ext4"}));
    EXPECT_EQ(cells(rows[3]), (Lines{"/dev/sdi", "1G", "1073741824", "ATA", "MZ7KM960HMJP0D3",
                                     "S3F3NX0K200002", "0x5002538c40b1c002", "-"}));
    EXPECT_EQ(cells(rows[4])[0], "/dev/sdh");

    // The library's selection, narrowed by the options; --strict drops the
    // disk with a file system on it.
    const struct {
        Lines args;
        Lines devices;
    } cases[] = {
        {{"--strict"}, {"/dev/nvme0n1", "/dev/sdi", "/dev/sdh"}},
        {{"--no-nvme", "-m", "1073741824"}, {"/dev/sdi", "/dev/sdh"}},  // the minimum is enough
        {{"--no-nvme", "--min-size=768M"}, {"/dev/sdj", "/dev/sdi", "/dev/sdh"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        ToolRun narrowed = run_tool(c.args);
        EXPECT_EQ(narrowed.code, 0) << narrowed.err;
        Lines devices;
        for (const std::string& row : lines_of(narrowed.out)) devices.push_back(cells(row)[0]);
        devices.erase(devices.begin());
        EXPECT_EQ(devices, c.devices);
    }
}

TEST_F(NeskDisksOnDemoNode, EveryDiskWithItsReasonsAndCautionsProbedOnce) {
    const size_t before = platform_->log_lines().size();
    ToolRun run = run_tool({"--all", "--min-size", "1G"});
    EXPECT_EQ(run.code, 0) << run.err;
    Lines rows = lines_of(run.out);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(cells(rows[0]), (Lines{"DEVICE", "SIZE", "BYTES", "VENDOR", "MODEL", "SERIAL", "WWN",
                                     "STATE", "REASONS", "CAUTIONS"}));
    Lines order;
    std::map<std::string, Lines> by_device;
    for (size_t i = 1; i < rows.size(); ++i) {
        Lines row = cells(rows[i]);
        order.push_back(row[0]);
        by_device[row[0]] = Lines(row.end() - 3, row.end());
    }
    // State, reasons and cautions of each disk, in path order. The sysfs-only
    // disks have nodes that reach no disk: nothing is known of what they hold.
    const std::map<std::string, Lines> expected = {
        {"/dev/nvme0n1", {"not-new", "too-small", "-"}},
        {"/dev/sda", {"not-new", "stamped,too-small", "signature:xfs"}},
        {"/dev/sdb", {"not-new", "lvm-pv,too-small", "signature:LVM2_member"}},
        {"/dev/sdc", {"not-new", "mounted,too-small", "partition-table:dos"}},
        {"/dev/sdd", {"not-new", "raid-member", "unreadable"}},
        {"/dev/sde", {"not-new", "raid-member", "unreadable"}},
        {"/dev/sdf", {"skipped", "removable", "unreadable"}},
        {"/dev/sdg", {"skipped", "san", "unreadable"}},
        {"/dev/sdh", {"new", "-", "-"}},
        {"/dev/sdi", {"new", "-", "-"}},
        {"/dev/sdj", {"not-new", "too-small", "signature:ext4"}},
    };
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(by_device, expected) << run.out;
    // Of a skipped disk only sysfs knows more.
    EXPECT_EQ(cells(rows[7]), (Lines{"/dev/sdf", "-", "-", "-", "Ultra Fit", "-", "-", "skipped",
                                     "removable", "unreadable"}));

    // Each disk not in use is read once; only the one with an XFS superblock
    // is mounted, a disk in use never.
    const Lines log = platform_->log_lines(before);
    EXPECT_EQ(count_lines_containing(log, "holds no XFS file system"), 4);
    EXPECT_EQ(count_lines_containing(log, "unmount command [umount  /tmp/hamnt"), 1);
    EXPECT_EQ(count_lines_containing(log, "has valid vornik extended attributes"), 1);
    EXPECT_EQ(count_lines_containing(log, "is currently active"), 0);
    for (const std::string& point : mount_points()) EXPECT_EQ(point.find("/tmp/hamnt"), point.npos);
}

// The same report as metrics: accepted by promtool, one info series per disk
// with the JSON document's state and reasons, and the count of new disks.
TEST_F(NeskDisksOnDemoNode, MetricsTellWhatTheDocumentTells) {
    ToolRun metrics = run_tool({"--all", "--metrics"});
    ASSERT_EQ(metrics.code, 0) << metrics.err;
    ToolRun document = run_tool({"--all", "--json"});
    ASSERT_EQ(document.code, 0) << document.err;
    std::string new_count;
    std::set<std::string> series;
    for (const std::string& line : lines_of(metrics.out)) {
        if (line.rfind("nesk_disks_new_disks ", 0) == 0) new_count = line.substr(21);
        if (line.rfind("nesk_disks_disk_info{", 0) == 0) series.insert(line);
    }
    std::set<std::string> expected;
    int news = 0;
    const json doc = parse_document(document.out);
    for (const json& disk : doc.at("disks")) {
        news += disk.at("state") == "new";
        std::string reasons = joined(disk.at("reasons"));
        if (reasons == "-") reasons.clear();
        for (const std::string& line : series)
            if (line.find("device=\"" + disk.at("device").get<std::string>() + "\"") != line.npos &&
                line.find("state=\"" + disk.at("state").get<std::string>() + "\"") != line.npos &&
                line.find("reasons=\"" + reasons + "\"") != line.npos)
                expected.insert(line);
    }
    EXPECT_EQ(expected, series);  // each series matches one disk of the document
    EXPECT_EQ(series.size(), doc.at("disks").size());
    EXPECT_EQ(new_count, std::to_string(news));

    if (run_program({"sh", "-c", "command -v promtool"}) != 0) GTEST_SKIP() << "no promtool here";
    ScopedStdin input(metrics.out);
    std::string out, err;
    EXPECT_EQ(run_program({"promtool", "check", "metrics"}, &out, &err), 0) << out << err;
    EXPECT_EQ(out + err, "");
}

TEST_F(NeskDisksOnDemoNode, JsonDocumentAgreesWithTheMainRoad) {
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict ? "--strict" : "");
        Lines args{"-aj"};
        if (strict) args.push_back("--strict");
        ToolRun all = run_tool(args);
        EXPECT_EQ(all.code, 0) << all.err;
        json doc = parse_document(all.out);
        EXPECT_EQ(doc.at("format"), 1);
        EXPECT_EQ(doc.at("all"), true);
        EXPECT_EQ(doc.at("strict"), strict);
        EXPECT_EQ(doc.at("complete"), true);
        std::map<std::string, std::string> reasons;
        std::vector<std::string> new_ones;
        for (const json& disk : doc.at("disks")) {
            reasons[disk.at("device")] = joined(disk.at("reasons"));
            if (disk.at("state") == "new") new_ones.push_back(disk.at("device"));
        }
        EXPECT_EQ(reasons.at("/dev/sdb"), strict ? "lvm-pv,caution" : "lvm-pv");
        EXPECT_EQ(reasons.at("/dev/sdj"), strict ? "caution" : "-");
        EXPECT_EQ(reasons.at("/dev/sdg"), "san");
        const json& first = doc.at("disks").front();
        EXPECT_EQ(first.at("device"), "/dev/nvme0n1");  // path order
        EXPECT_EQ(first.at("size_bytes"), 536870912u);
        EXPECT_EQ(first.at("blocks"), 1048576u);
        EXPECT_EQ(first.at("block_size"), 512u);
        EXPECT_EQ(first.at("cautions"), json::array());

        // The disks --all calls new are the ones the main road lists.
        ToolRun main_road = run_tool(strict ? Lines{"--json", "--strict"} : Lines{"--json"});
        EXPECT_EQ(main_road.code, 0) << main_road.err;
        const std::vector<std::string> chosen = devices_of(parse_document(main_road.out));
        EXPECT_EQ(chosen, strict ? (std::vector<std::string>{"/dev/nvme0n1", "/dev/sdi", "/dev/sdh"})
                                 : (std::vector<std::string>{"/dev/nvme0n1", "/dev/sdj",
                                                             "/dev/sdi", "/dev/sdh"}));
        std::sort(new_ones.begin(), new_ones.end());
        std::vector<std::string> sorted = chosen;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(new_ones, sorted);
    }
}

// What a shell reads: a raw field holds no blank (libsmartcols writes one as
// \x20, which printf %b decodes), and a line of pairs is evaluated as it is.
TEST_F(NeskDisksOnDemoNode, RawAndPairsReadBackByAShellLoop) {
    std::string out;
    ASSERT_EQ(run_program({"bash", "-c",
                           "\"$0\" -r -o DEVICE,MODEL,SIZE,WWN | while read -r d m s w; do "
                           "printf '%s|%b|%s|%s\\n' \"$d\" \"$m\" \"$s\" \"$w\"; done",
                           tool_path()},
                          &out),
              0);
    EXPECT_EQ(lines_of(out), (Lines{"DEVICE|MODEL|SIZE|WWN",
                                    "/dev/nvme0n1|VIRTUAL NVME DISK|512M|eui.0025385b71b0d3c1",
                                    "/dev/sdj|INTEL SSDSC2KB48|768M|0x55cd2e414d0e0f01",
                                    "/dev/sdi|MZ7KM960HMJP0D3|1G|0x5002538c40b1c002",
                                    "/dev/sdh|MZ7KM960HMJP0D3|2G|0x5002538c40b1c001"}));

    out.clear();
    ASSERT_EQ(run_program({"bash", "-c",
                           "\"$0\" -P -a -o DEVICE,SIZE,REASONS,MODEL,TRAN,LOG-SEC,ROTA,RO "
                           "/dev/sdg /dev/sda /dev/nvme0n1 | while read -r line; do eval \"$line\"; "
                           "echo \"$DEVICE|$SIZE|$REASONS|$MODEL|$TRAN|$LOG_SEC|$ROTA|$RO\"; done",
                           tool_path()},
                          &out),
              0);
    EXPECT_EQ(lines_of(out), (Lines{"/dev/nvme0n1|512M||VIRTUAL NVME DISK|nvme|512|0|0",
                                    "/dev/sda|300M|stamped|SAMSUNG MZ7LH480|sata|512|1|0",
                                    "/dev/sdg||san|VV|fc|512|1|0"}));
}

// -o picks the columns (in any case), +LIST adds to the default ones, -n
// drops the heading and -b gives SIZE in bytes.
TEST_F(NeskDisksOnDemoNode, ColumnsHeadingsAndBytes) {
    ToolRun run = run_tool({"-nb", "-o", "device,Size"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "/dev/nvme0n1   536870912\n"
                       "/dev/sdj       805306368\n"
                       "/dev/sdi      1073741824\n"
                       "/dev/sdh      2147483648\n");
    run = run_tool({"--no-nvme", "-o", "+TRAN,HCTL", "--output=+BY-ID", "-m", "2G"});
    EXPECT_EQ(run.code, 0) << run.err;
    const Lines rows = lines_of(run.out);
    ASSERT_EQ(rows.size(), 2u) << run.out;
    EXPECT_EQ(cells(rows[0]), (Lines{"DEVICE", "SIZE", "BYTES", "VENDOR", "MODEL", "SERIAL", "WWN",
                                     "CAUTIONS", "TRAN", "HCTL", "BY-ID"}));
    EXPECT_EQ(cells(rows[1]), (Lines{"/dev/sdh", "2G", "2147483648", "ATA", "MZ7KM960HMJP0D3",
                                     "S3F3NX0K200001", "0x5002538c40b1c001", "-", "sata",
                                     "3:0:0:0", "-"}));
}

// DEVICE arguments, by path or by a /dev/disk/by-id link, restrict the
// report; one that names no disk of the node is named, with status 2.
TEST_F(NeskDisksOnDemoNode, DeviceArgumentsRestrictTheReport) {
    const std::string link = "/dev/disk/by-id/wwn-0x5002538c40b1c001";
    sandbox_->make_link(link, "../../sdh");
    ToolRun run = run_tool({"--all", "--json", link, "/dev/sda"});
    EXPECT_EQ(run.code, 0) << run.err;
    const json doc = parse_document(run.out);
    EXPECT_EQ(devices_of(doc), (std::vector<std::string>{"/dev/sda", "/dev/sdh"}));
    const json& sdh = doc.at("disks").at(1).at("identity");
    EXPECT_EQ(sdh.at("by_id"), json::array({link}));
    EXPECT_EQ(sdh.at("wwn"), "0x5002538c40b1c001");
    EXPECT_EQ(sdh.at("transport"), "sata");
    EXPECT_EQ(sdh.at("hctl"), "3:0:0:0");
    EXPECT_EQ(sdh.at("rotational"), true);
    EXPECT_EQ(sdh.at("read_only"), false);
    EXPECT_EQ(sdh.at("logical_sector_size"), 512u);
    sandbox_->remove(link);

    run = run_tool({"/dev/sdz", "/dev/sdh", "/dev/sdc1"});
    EXPECT_EQ(run.code, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "nesk-disks: /dev/sdc1: no such disk on this node (see --all)\n"
              "nesk-disks: /dev/sdz: no such disk on this node (see --all)\n");
}

TEST_F(NeskDisksOnDemoNode, IncompleteSaysWhichEnumerationFailed) {
    const struct {
        const char* kind;
        const char* said;
    } cases[] = {{"lvm", "could not enumerate lvm (LVM physical volumes)"},
                 {"raid", "could not enumerate raid (software-RAID members)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        // A real pvscan that cannot read its configuration; an array whose
        // members cannot be listed.
        std::unique_ptr<SandboxLvm::Broken> lvm;
        if (std::string(c.kind) == "lvm")
            lvm = std::make_unique<SandboxLvm::Broken>();
        else
            sandbox_->stub_command("mdadm", "--detail /dev/md0",
                                   {"", "mdadm: cannot open /dev/md0\n", 1});
        for (const Lines& args : {Lines{}, Lines{"--json"}, Lines{"-aj"}}) {
            ToolRun run = run_tool(args);
            EXPECT_EQ(run.code, 3);
            EXPECT_NE(run.err.find(std::string("nesk-disks: incomplete: ") + c.said),
                      std::string::npos)
                << run.err;
            EXPECT_FALSE(run.out.empty());  // the report is still printed
            if (args.empty()) continue;
            json doc = parse_document(run.out);
            EXPECT_EQ(doc.at("complete"), false);
            EXPECT_EQ(doc.at("incomplete"), json::array({c.kind}));
        }
        sandbox_->stub_command("mdadm", "--detail /dev/md0", {DemoNode::md0_detail(), "", 0});
    }
    EXPECT_EQ(run_tool({}).code, 0);
}

// Unmounts the probe mounts a run left, so that the node stays as the other
// tests expect it; returns how many there were.
int unmount_probe_mounts() {
    int left = 0;
    for (const std::string& point : mount_points())
        if (point.compare(0, 10, "/tmp/hamnt") == 0 && ::umount2(point.c_str(), MNT_DETACH) == 0)
            ++left;
    return left;
}

// A stub that runs the system's own `command` and, when that succeeds, sends
// `signal` to the nesk-disks above it, which is waiting for the command.
std::string signalling_stub(const NodeSandbox& sandbox, const std::string& command,
                            const std::string& signal) {
    return "'" + sandbox.system_command(command) + "' \"$@\" || exit\n"
           "p=$PPID\n"
           "while [ \"$p\" -gt 1 ] && [ \"$(cat /proc/$p/comm)\" != nesk-disks ]; do\n"
           "  p=$(sed -n 's/^PPid:[[:space:]]*//p' /proc/$p/status)\n"
           "done\n"
           "[ \"$p\" -gt 1 ] && kill -" + signal + " \"$p\"\n"
           "exit 0\n";
}

// The probe mount lives in the tool's own mount namespace: named, and gone
// with the tool; the disk it could not let go of is not new.
TEST_F(NeskDisksOnDemoNode, ProbeMountLeftIsNamedWithItsOwnCode) {
    sandbox_->stub_command("umount", {"", "umount: /tmp/hamnt: target is busy.\n", 32});
    ToolRun run = run_tool({"--all", "--json"});
    sandbox_->remove_stub("umount");
    EXPECT_EQ(unmount_probe_mounts(), 0);
    EXPECT_EQ(run.code, 4) << run.err;
    EXPECT_NE(run.err.find("nesk-disks: probe mount left: /dev/sda is still mounted on /tmp/hamnt"),
              std::string::npos)
        << run.err;
    const json doc = parse_document(run.out);  // the report is still printed
    EXPECT_EQ(doc.at("disks").at(1).at("device"), "/dev/sda");
    EXPECT_EQ(doc.at("disks").at(1).at("reasons"), json::array({"unverified"}));
}

TEST_F(NeskDisksOnDemoNode, SignalWaitsForTheProbeUnderWayToUnmount) {
    const struct {
        Lines args;
        const char* command;  // the stub that signals after it ran
        int signal;
        bool ignored_by_caller;
        int code;
    } cases[] = {
        {{"--all"}, "mount", SIGTERM, false, 128 + SIGTERM},
        {{}, "umount", SIGINT, false, 128 + SIGINT},
        {{}, "mount", SIGHUP, true, 0},  // as under nohup
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + strsignal(c.signal));
        const size_t before = platform_->log_lines().size();
        sandbox_->stub_script(c.command, signalling_stub(*sandbox_, c.command,
                                                         std::to_string(c.signal)));
        struct sigaction ignore = {}, previous = {};
        ignore.sa_handler = c.ignored_by_caller ? SIG_IGN : SIG_DFL;
        ::sigaction(c.signal, &ignore, &previous);
        ToolRun run = run_tool(c.args);
        ::sigaction(c.signal, &previous, nullptr);
        sandbox_->remove_stub(c.command);

        EXPECT_EQ(unmount_probe_mounts(), 0);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_EQ(run.out.empty(), c.code != 0) << run.out;
        if (c.code != 0) {
            EXPECT_EQ(run.err, std::string("nesk-disks: stopped by SIG") + sigabbrev_np(c.signal) +
                                   " after the probe under way had finished\n");
        }
        const Lines log = platform_->log_lines(before);
        // Probing stops between disks: /dev/sda signals, /dev/sdh comes later.
        EXPECT_EQ(count_lines_containing(log, "Block device /dev/sdh"), c.code == 0 ? 1 : 0);
    }
}

// ---- looking never writes, never hangs, and runs at once agree ----

// Five disks the probe must tell apart without writing to any: blank, ext4,
// XFS without stamps, XFS with the stamp set, and XFS whose stamps were set
// but live only in a log that still needs recovery.
class NeskDisksOnXfsNode : public SandboxTest {
protected:
    static void SetUpTestSuite() {
        if (!NodeSandbox::unavailable_reason().empty()) return;
        for (const char* name : {"sda", "sdb"}) loops_[name] = std::make_unique<LoopDevice>(64 << 20);
        for (const char* name : {"sdc", "sdd", "sde"})
            loops_[name] = std::make_unique<LoopDevice>(300ULL << 20);
        run_checked({"mkfs.ext4", "-q", "-F", loops_["sdb"]->path()});
        for (const char* name : {"sdc", "sdd", "sde"}) make_xfs(loops_[name]->path());
        set_root_attributes(loops_["sdd"]->path(), valid_stamps("/dev/sdd"));
        {
            ScopedMount mounted(loops_["sde"]->path(), "xfs");
            for (const auto& stamp : valid_stamps("/dev/sde"))
                run_checked({"setfattr", "-n", stamp.first, "-v", stamp.second, mounted.dir()});
            run_checked({"xfs_io", "-x", "-c", "shutdown -f", mounted.dir()});
        }
    }
    static void TearDownTestSuite() { loops_.clear(); }
    void SetUpNode() override {
        int target = 0;
        for (const auto& loop : loops_)
            sandbox().add_scsi_disk(ScsiDisk("0:0:" + std::to_string(target++) + ":0", loop.first)
                                        .with_devnum(loop.second->devnum())
                                        .with_size(loop.second->sectors()));
        sandbox().stub_command("pvscan", {"", "", 0});
    }
    // A checksum of every byte of every disk.
    static std::string checksums() {
        std::vector<std::string> argv{"cksum"};
        for (const auto& loop : loops_) argv.push_back("/dev/" + loop.first);
        std::string out;
        return run_program(argv, &out) == 0 ? out : "cksum failed: " + out;
    }
    static std::map<std::string, std::string> reasons_of(const json& doc) {
        std::map<std::string, std::string> reasons;
        for (const json& disk : doc.at("disks")) reasons[disk.at("device")] = joined(disk.at("reasons"));
        return reasons;
    }

    static inline std::map<std::string, std::unique_ptr<LoopDevice>> loops_;
};

TEST_F(NeskDisksOnXfsNode, LooksWithoutWriting) {
    const std::string before = checksums();
    ToolRun run = run_tool({"--all", "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(reasons_of(parse_document(run.out)),
              (std::map<std::string, std::string>{{"/dev/sda", "-"},
                                                  {"/dev/sdb", "-"},
                                                  {"/dev/sdc", "-"},
                                                  {"/dev/sdd", "stamped"},
                                                  {"/dev/sde", "unverified"}}));
    EXPECT_EQ(checksums(), before);
    EXPECT_TRUE(has_line_containing(platform().log_lines(),
                                    "Block device /dev/sde has an XFS log that needs recovery"));
}

TEST_F(NeskDisksOnXfsNode, RunsAtOnceAgree) {
    const std::string dir = sandbox().work_dir();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(run_program({"sh", "-c",
                               "for i in 1 2 3; do \"$0\" --json >\"$1/run$i\" 2>/dev/null & done; wait",
                               tool_path(), dir}),
                  0);
        for (int i = 1; i <= 3; ++i) {
            const std::string out = read_whole_file(dir + "/run" + std::to_string(i));
            EXPECT_EQ(devices_of(parse_document(out)),
                      (std::vector<std::string>{"/dev/sda", "/dev/sdb", "/dev/sdc"}))
                << out;
        }
    }
}

// Commands that never return: each is given the timeout, then its process
// group is killed; the report says which enumerations and disks did not answer.
TEST_F(NeskDisksOnXfsNode, CommandsThatNeverReturnAreGivenUpOn) {
    sandbox().add_virtual_block("md0");
    for (const char* command : {"pvscan", "mdadm", "mount"})
        sandbox().stub_script(command, "exec sleep 6007\n");
    ToolRun run = run_tool({"--all", "--json", "--timeout", "1"});
    EXPECT_EQ(run.code, 3) << run.err;
    EXPECT_NE(run.err.find("could not enumerate lvm (LVM physical volumes, no answer within 1 s), "
                           "raid (software-RAID members, no answer within 1 s)"),
              std::string::npos)
        << run.err;
    const json doc = parse_document(run.out);
    EXPECT_EQ(doc.at("incomplete"), json::array({"lvm", "raid"}));
    EXPECT_EQ(doc.at("timed_out"), json::array({"lvm", "raid"}));
    EXPECT_EQ(doc.at("timeout_seconds"), 1u);
    EXPECT_EQ(reasons_of(doc), (std::map<std::string, std::string>{{"/dev/sda", "-"},
                                                                   {"/dev/sdb", "-"},
                                                                   {"/dev/sdc", "unresponsive"},
                                                                   {"/dev/sdd", "unresponsive"},
                                                                   {"/dev/sde", "unresponsive"}}));
    EXPECT_NE(run_program({"pgrep", "-f", "sleep 6007"}), 0);  // none left running
}

// ---- arguments and output encoding, on a node of sysfs entries only ----

using NeskDisksTest = SandboxTest;

TEST_F(NeskDisksTest, BadArgumentsGiveUsageAndCode2) {
    const struct {
        Lines args;
        const char* said;
    } bad[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-az"}, "unknown option '-z'"},
        {{"--all=yes"}, "option '--all' takes no value"},
        {{"--min-size"}, "--min-size needs a SIZE"},
        {{"-o"}, "--output needs a LIST of columns"},
        {{"--output="}, "--output needs a LIST of columns"},
        {{"-o", "DEVICE,,SIZE"}, "unknown column ''"},
        {{"-o", "+WWN,FOO"}, "unknown column 'FOO'"},
        {{"-jr"}, "--json, --raw, --pairs and --metrics exclude each other"},
        {{"--pairs", "--metrics"}, "--json, --raw, --pairs and --metrics exclude each other"},
        {{"--metrics", "-n"}, "--output, --noheadings and --bytes shape the table, not --json"},
        {{"-jm"}, "--min-size needs a SIZE"},
        {{"--min-size", ""}, "bad SIZE ''"},
        {{"--min-size", "-1"}, "bad SIZE '-1'"},
        {{"-m", "1.5"}, "bad SIZE '1.5'"},
        {{"--min-size=16384P"}, "bad SIZE '16384P'"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.said);
        ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.out, "");
        Lines err = lines_of(run.err);
        ASSERT_GE(err.size(), 2u);
        EXPECT_EQ(err[0].find(std::string("nesk-disks: ") + c.said), 0u) << err[0];
        EXPECT_EQ(err[1].find("Usage: nesk-disks"), 0u);
    }
    for (const char* help : {"--help", "-h", "-ah"}) {
        ToolRun run = run_tool({help});
        EXPECT_EQ(run.code, 0) << help;
        EXPECT_NE(run.out.find("--min-size SIZE"), std::string::npos) << help;
    }
    for (const char* version : {"--version", "-V"}) {
        ToolRun run = run_tool({version});
        EXPECT_EQ(run.code, 0);
        EXPECT_EQ(run.out, std::string("nesk-disks ") + NESK_VERSION_STRING + "\n");
    }
}

TEST_F(NeskDisksTest, SizeReachesTheReport) {
    sandbox().stub_command("pvscan", {"", "", 0});
    const struct {
        Lines args;
        unsigned long long bytes;
    } cases[] = {
        {{"--json", "--min-size=1.5T"}, (1ULL << 40) + (1ULL << 39)},
        {{"--json", "--min-size", "960GB"}, 960000000000ULL},
        {{"-jm2KiB"}, 2048},
        {{"-j", "-m", "18446744073709551615"}, 18446744073709551615ULL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        ToolRun run = run_tool(c.args);
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(parse_document(run.out).at("min_size_bytes"), c.bytes);
    }
}

TEST_F(NeskDisksTest, JsonStringsAreEscaped) {
    const std::string model = "Qu\"ote\\ \x01 caf\xc3\xa9 \xff end\x7f";
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_model(model).with_serial("S\tN"))
        .stub_command("pvscan", {"", "", 0});
    // --all: a node without a disk behind it is listed, though not new.
    ToolRun run = run_tool({"--all", "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    for (unsigned char c : run.out) EXPECT_TRUE(c >= 0x20 || c == '\n') << run.out;
    EXPECT_EQ(run.out.find('\xff'), std::string::npos);
    const json disk = parse_document(run.out).at("disks").at(0);
    EXPECT_EQ(disk.at("model"), "Qu\"ote\\ \x01 caf\xc3\xa9 \xef\xbf\xbd end\x7f");
    EXPECT_EQ(disk.at("serial"), "S\tN");
    EXPECT_EQ(disk.at("cautions"), json::array({"unreadable"}));  // a node without a disk behind it
}

TEST_F(NeskDisksTest, OutputThatCannotBeWrittenFails) {
    sandbox().stub_command("pvscan", {"", "", 0});
    const struct {
        const char* args;
        const char* redirect;
    } cases[] = {
        {"--help", ">/dev/full"},
        {"--version", ">&-"},
        {"--list-columns", ">/dev/full"},
        {"--json", ">&-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args) + " " + c.redirect);
        ToolRun run;
        run.code = run_program({"/bin/sh", "-c", "exec \"$0\" $1 " + std::string(c.redirect),
                                tool_path(), c.args},
                               &run.out, &run.err);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.err.find("nesk-disks: cannot write the "), 0u) << run.err;
    }
}

TEST_F(NeskDisksTest, TableEscapesWhatIsNotPrintableAsLsblkDoes) {
    const struct {
        const char* serial;
        const char* shown;
    } cases[] = {
        {"A\nB", "A\\x0aB"},
        {"\x1b[31mRED", "\\x1b[31mRED"},
        {"DEL\x7f", "DEL\\x7f"},
        {"C1\xc2\x9b", "C1\\xc2\\x9b"},
        {"BAD\xff\xc3", "BAD\\xff\\xc3"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"a\\xb", "a\\x5cxb"},
        {"a\\b", "a\\b"},
    };
    sandbox().stub_command("pvscan", {"", "", 0}).stub_command("mount", {"", "not XFS\n", 32});
    const size_t count = sizeof cases / sizeof cases[0];
    for (size_t i = 0; i < count; ++i) {
        const std::string name = std::string("sd") + static_cast<char>('a' + i);
        sandbox().add_scsi_disk(ScsiDisk("0:0:" + std::to_string(i) + ":0", name)
                                    .with_vendor(i == 0 ? "ACM\xc3\x89" : "ATA")
                                    .with_model("M\tX\x01")
                                    .with_serial(cases[i].serial));
    }
    // As lsblk, libsmartcols keeps what the locale's character set can show.
    ToolRun run = run_tool({"--no-nvme", "--all"}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(run.code, 0) << run.err;
    Lines rows = lines_of(run.out);
    ASSERT_EQ(rows.size(), count + 1) << run.out;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].shown);
        Lines row = cells(rows[i + 1]);
        ASSERT_EQ(row.size(), 10u) << rows[i + 1];
        EXPECT_EQ(row[4], "M\\x09X\\x01");
        EXPECT_EQ(row[5], cases[i].shown);
    }
    // Columns line up in characters: a two-byte character takes one column.
    auto column_of = [](const std::string& row, const std::string& cell) {
        const std::string before = row.substr(0, row.find(cell));
        return std::count_if(before.begin(), before.end(),
                             [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; });
    };
    EXPECT_EQ(column_of(rows[0], "MODEL"), column_of(rows[1], "M\\x09"));
    EXPECT_EQ(column_of(rows[0], "MODEL"), column_of(rows[2], "M\\x09"));
}

// ---- manual page and completion, in the source tree ----

TEST(NeskDisksDocs, ManualAndCompletionKnowEveryOption) {
    ToolRun help = run_tool({"--help"});
    ASSERT_EQ(help.code, 0);
    std::set<std::string> options;
    const std::regex option("--[a-z][a-z-]*");
    for (std::sregex_iterator it(help.out.begin(), help.out.end(), option), end; it != end; ++it)
        options.insert(it->str());
    ASSERT_GE(options.size(), 7u) << help.out;

    const std::string source = NESK_SOURCE_DIR;
    const std::string manual = read_whole_file(source + "/docs/nesk-disks.8");
    const std::string completion = source + "/completion/nesk-disks";
    // What the completion offers for the last of `words`.
    auto complete = [&completion](const Lines& words) {
        std::string out;
        Lines argv{"bash", "-c",
                   "source \"$0\"; COMP_WORDS=(nesk-disks \"$@\"); COMP_CWORD=$#; _nesk_disks; "
                   "printf '%s\\n' \"${COMPREPLY[@]}\"",
                   completion};
        argv.insert(argv.end(), words.begin(), words.end());
        run_program(argv, &out);
        return out;
    };
    const Lines offered = lines_of(complete({"--"}));
    for (const std::string& o : options) {
        SCOPED_TRACE(o);
        std::string roff;  // a minus is "\-" in roff
        for (char c : o) roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(manual.find(roff), std::string::npos);
        EXPECT_NE(std::find(offered.begin(), offered.end(), o), offered.end());
    }
    EXPECT_EQ(complete({"--st"}), "--strict\n");

    // Every column --list-columns names, and only those, is offered after
    // -o and shown in the manual.
    ToolRun listed = run_tool({"--list-columns"});
    ASSERT_EQ(listed.code, 0);
    Lines columns;
    for (const std::string& line : lines_of(listed.out)) columns.push_back(cells(line).at(0));
    ASSERT_GE(columns.size(), 17u) << listed.out;
    EXPECT_EQ(lines_of(complete({"-o", ""})), columns);
    EXPECT_EQ(complete({"--output", "+DEVICE,W"}), "+DEVICE,WWN\n");
    for (const std::string& column : columns) {
        std::string roff;
        for (char c : column) roff += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(manual.find(".B " + roff + "\n"), std::string::npos) << column;
    }

    if (run_program({"sh", "-c", "command -v groff"}) != 0) GTEST_SKIP() << "no groff here";
    ToolRun rendered;
    rendered.code = run_program({"groff", "-man", "-Tutf8", "-ww", "-z", source + "/docs/nesk-disks.8"},
                                &rendered.out, &rendered.err);
    EXPECT_EQ(rendered.code, 0);
    EXPECT_EQ(rendered.err, "");  // no warning
}

// ---- --all with --no-nvme, and sizes around one KiB ----

TEST_F(NeskDisksTest, AllWithoutNvmeListsTheScsiDisksAndTheirSizes) {
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_size(1))
        .add_scsi_disk(ScsiDisk("0:0:1:0", "sdb").with_size(2))
        .add_nvme(NvmeNamespace("nvme0n1"))
        .stub_command("pvscan", {"", "", 0})
        .stub_command("mount", {"", "not XFS\n", 32});
    ToolRun run = run_tool({"--all", "--no-nvme"});
    EXPECT_EQ(run.code, 0) << run.err;
    Lines rows = lines_of(run.out);
    ASSERT_EQ(rows.size(), 3u) << run.out;  // no NVMe row
    const Lines expected[] = {{"/dev/sda", "512B", "512"}, {"/dev/sdb", "1K", "1024"}};
    for (size_t i = 0; i < 2; ++i) {
        const Lines row = cells(rows[i + 1]);
        ASSERT_GE(row.size(), 3u) << rows[i + 1];
        EXPECT_EQ(Lines(row.begin(), row.begin() + 3), expected[i]);
    }
}

}  // namespace
