// nesk-disks end to end: the built tool run on a simulated node.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <limits.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "demo_node.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using boost::property_tree::ptree;
using Lines = std::vector<std::string>;

// The tool is built next to the tests directory: <build>/nesk-disks.
std::string tool_path() {
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "nesk-disks";
    std::string path(exe, static_cast<size_t>(n));
    path.erase(path.rfind('/'));
    return path.substr(0, path.rfind('/')) + "/nesk-disks";
}

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
};

ToolRun run_tool(const std::vector<std::string>& args) {
    std::vector<std::string> argv{tool_path()};
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
Lines cells(const std::string& row) {
    Lines found;
    size_t pos = 0;
    while (pos < row.size()) {
        size_t end = row.find("  ", pos);
        if (end == std::string::npos) end = row.size();
        found.push_back(row.substr(pos, end - pos));
        pos = row.find_first_not_of(' ', end);
        if (pos == std::string::npos) break;
    }
    return found;
}

ptree parse_json(const std::string& text) {
    std::istringstream in(text);
    ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

// Numbers and booleans read as text: property_tree's own conversions draw
// compiler warnings.
unsigned long long number(const ptree& tree, const std::string& key) {
    return std::stoull(tree.get<std::string>(key));
}

bool flag(const ptree& tree, const std::string& key) {
    const std::string text = tree.get<std::string>(key);
    if (text != "true" && text != "false") throw std::runtime_error(key + " is not a boolean");
    return text == "true";
}

// device -> reasons joined by ",", from an --all --json document.
std::map<std::string, std::string> reasons_by_device(const ptree& doc) {
    std::map<std::string, std::string> found;
    for (const auto& disk : doc.get_child("disks")) {
        std::string reasons;
        for (const auto& r : disk.second.get_child("reasons"))
            reasons += (reasons.empty() ? "" : ",") + r.second.get_value<std::string>();
        found[disk.second.get<std::string>("device")] = reasons;
    }
    return found;
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

    static std::unique_ptr<DemoDisks> disks_;
    static std::unique_ptr<NodeSandbox> sandbox_;
    static std::unique_ptr<ScopedPlatform> platform_;
    static std::unique_ptr<DemoNode> node_;
};

std::unique_ptr<DemoDisks> NeskDisksOnDemoNode::disks_;
std::unique_ptr<NodeSandbox> NeskDisksOnDemoNode::sandbox_;
std::unique_ptr<ScopedPlatform> NeskDisksOnDemoNode::platform_;
std::unique_ptr<DemoNode> NeskDisksOnDemoNode::node_;

TEST_F(NeskDisksOnDemoNode, TableOfNewDisksSmallestFirst) {
    ToolRun run = run_tool({});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    Lines rows = lines_of(run.out);
    ASSERT_EQ(rows.size(), 4u) << run.out;
    EXPECT_EQ(cells(rows[0]), (Lines{"DEVICE", "SIZE", "BYTES", "VENDOR", "MODEL", "SERIAL"}));
    EXPECT_EQ(cells(rows[1]), (Lines{"/dev/nvme0n1", "512.0 MiB", "536870912", "-", "-", "-"}));
    EXPECT_EQ(cells(rows[2]), (Lines{"/dev/sdi", "1.0 GiB", "1073741824", "ATA", "MZ7KM960HMJP0D3",
                                     "S3F3NX0K200002"}));
    EXPECT_EQ(cells(rows[3])[0], "/dev/sdh");

    ToolRun no_nvme = run_tool({"--no-nvme", "--min-size", "1073741824"});
    EXPECT_EQ(no_nvme.code, 0);
    rows = lines_of(no_nvme.out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(cells(rows[1])[0], "/dev/sdi");  // exactly the minimum is enough
    EXPECT_EQ(cells(rows[2])[0], "/dev/sdh");
}

TEST_F(NeskDisksOnDemoNode, EveryDiskWithItsReasonsProbedOnce) {
    const size_t before = platform_->log_lines().size();
    ToolRun run = run_tool({"--all", "--min-size", "1G"});
    EXPECT_EQ(run.code, 0) << run.err;
    Lines rows = lines_of(run.out);
    std::map<std::string, Lines> by_device;
    for (size_t i = 1; i < rows.size(); ++i) by_device[cells(rows[i])[0]] = cells(rows[i]);
    const std::map<std::string, std::string> expected = {
        {"/dev/nvme0n1", "too-small"},
        {"/dev/sda", "stamped,too-small"},
        {"/dev/sdb", "lvm-pv,too-small"},
        {"/dev/sdc", "mounted,too-small"},
        {"/dev/sdd", "raid-member"},
        {"/dev/sde", "raid-member"},
        {"/dev/sdh", "-"},
        {"/dev/sdi", "-"},
    };
    ASSERT_EQ(by_device.size(), expected.size()) << run.out;  // no removable, no SAN disk
    for (const auto& e : expected) {
        SCOPED_TRACE(e.first);
        ASSERT_EQ(by_device[e.first].size(), 8u);
        EXPECT_EQ(by_device[e.first][6], e.second == "-" ? "new" : "not-new");
        EXPECT_EQ(by_device[e.first][7], e.second);
    }

    // Each disk not in use is mounted once; a disk in use never.
    Lines log = platform_->log_lines();
    log.erase(log.begin(), log.begin() + static_cast<long>(before));
    EXPECT_EQ(count_lines_containing(log, "nesk_blkdevmgr::is_active_bdev: Failed to mount"), 3);
    EXPECT_EQ(count_lines_containing(log, "has valid vornik extended attributes"), 1);
    EXPECT_EQ(count_lines_containing(log, "is currently active"), 0);
    for (const std::string& point : mount_points()) EXPECT_EQ(point.find("/tmp/hamnt"), point.npos);
}

TEST_F(NeskDisksOnDemoNode, JsonDocumentAgreesWithTheMainRoad) {
    ToolRun all = run_tool({"--json", "--all"});
    EXPECT_EQ(all.code, 0) << all.err;
    ptree doc = parse_json(all.out);
    EXPECT_EQ(number(doc, "format"), 1u);
    EXPECT_TRUE(flag(doc, "complete"));
    EXPECT_TRUE(flag(doc, "all"));
    EXPECT_EQ(number(doc, "min_size_bytes"), 0u);
    const auto reasons = reasons_by_device(doc);
    EXPECT_EQ(reasons.at("/dev/sda"), "stamped");
    EXPECT_EQ(reasons.at("/dev/sdb"), "lvm-pv");
    const ptree& first = doc.get_child("disks").front().second;
    EXPECT_EQ(first.get<std::string>("device"), "/dev/nvme0n1");  // path order
    EXPECT_EQ(first.get<std::string>("state"), "new");
    EXPECT_EQ(number(first, "size_bytes"), 536870912u);
    EXPECT_EQ(number(first, "blocks"), 1048576u);
    EXPECT_EQ(number(first, "block_size"), 512u);

    // The disks --all calls new are the ones the library selects.
    ToolRun main_road = run_tool({"--json"});
    ptree selected = parse_json(main_road.out);
    std::vector<std::string> chosen;
    for (const auto& disk : selected.get_child("disks"))
        chosen.push_back(disk.second.get<std::string>("device"));
    EXPECT_EQ(chosen, (std::vector<std::string>{"/dev/nvme0n1", "/dev/sdi", "/dev/sdh"}));
    for (const auto& r : reasons)
        EXPECT_EQ(r.second.empty(),
                  std::find(chosen.begin(), chosen.end(), r.first) != chosen.end())
            << r.first;
}

TEST_F(NeskDisksOnDemoNode, IncompleteWhenAnInUseEnumerationFails) {
    {
        // A real pvscan that cannot read its configuration.
        SandboxLvm::Broken lvm;
        for (const Lines& args : {Lines{}, Lines{"--all"}, Lines{"--json"}}) {
            ToolRun run = run_tool(args);
            EXPECT_EQ(run.code, 3);
            EXPECT_NE(run.err.find("nesk-disks: incomplete:"), std::string::npos) << run.err;
            EXPECT_FALSE(run.out.empty());  // the report is still printed
        }
    }
    // An array whose members cannot be listed.
    sandbox_->stub_command("mdadm", "--detail /dev/md0", {"", "mdadm: cannot open /dev/md0\n", 1});
    ToolRun run = run_tool({"--json", "--all"});
    sandbox_->stub_command("mdadm", "--detail /dev/md0", {DemoNode::md0_detail(), "", 0});
    EXPECT_EQ(run.code, 3);
    EXPECT_FALSE(flag(parse_json(run.out), "complete"));
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

TEST_F(NeskDisksOnDemoNode, ProbeMountLeftIsNamedWithItsOwnCode) {
    sandbox_->stub_command("umount", {"", "umount: /tmp/hamnt: target is busy.\n", 32});
    ToolRun run = run_tool({"--all"});
    sandbox_->remove_stub("umount");
    EXPECT_EQ(unmount_probe_mounts(), 1);
    EXPECT_EQ(run.code, 4) << run.err;
    EXPECT_FALSE(run.out.empty());  // the report is still printed
    EXPECT_NE(run.err.find("nesk-disks: probe mount left: /dev/sda is still mounted on /tmp/hamnt"),
              std::string::npos)
        << run.err;
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
        Lines log = platform_->log_lines();
        log.erase(log.begin(), log.begin() + static_cast<long>(before));
        // --all stops between disks: /dev/sda signals, /dev/sdh comes later.
        EXPECT_EQ(count_lines_containing(log, "Block device /dev/sdh"), c.args.empty() ? 1 : 0);
    }
}

// ---- arguments and output encoding, on a node of sysfs entries only ----

using NeskDisksTest = SandboxTest;

TEST_F(NeskDisksTest, BadArgumentsGiveUsageAndCode2) {
    const Lines bad[] = {
        {"--bogus"},
        {"extra"},
        {"--min-size"},
        {"--min-size", ""},
        {"--min-size", "-1"},
        {"--min-size", "1.5G"},
        {"--min-size", "1KB"},
        {"--min-size", "1 K"},
        {"--min-size", "K"},
        {"--min-size", "0x10"},
        {"--min-size", "18446744073709551616"},
        {"--min-size", "16777216T"},
        {"--min-size=12Q"},
    };
    for (const Lines& args : bad) {
        SCOPED_TRACE(args.back());
        ToolRun run = run_tool(args);
        EXPECT_EQ(run.code, 2);
        EXPECT_EQ(run.out, "");
        Lines err = lines_of(run.err);
        ASSERT_GE(err.size(), 2u);
        EXPECT_EQ(err[0].find("nesk-disks: "), 0u);
        EXPECT_EQ(err[1].find("Usage: nesk-disks"), 0u);
    }
    ToolRun help = run_tool({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("--min-size SIZE"), std::string::npos);
    ToolRun version = run_tool({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.find("nesk-disks "), 0u);
    EXPECT_GT(version.out.size(), std::string("nesk-disks \n").size());
}

TEST_F(NeskDisksTest, SizeSuffixesArePowersOf1024) {
    sandbox().stub_command("pvscan", {"", "", 0});
    const struct {
        const char* text;
        unsigned long long bytes;
    } cases[] = {
        {"0", 0},
        {"1536", 1536},
        {"1K", 1024},
        {"3m", 3ULL << 20},
        {"2G", 2ULL << 30},
        {"1T", 1ULL << 40},
        {"16777215T", 16777215ULL << 40},
        {"18446744073709551615", 18446744073709551615ULL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ToolRun run = run_tool({"--json", "--min-size=" + std::string(c.text)});
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(number(parse_json(run.out), "min_size_bytes"), c.bytes);
    }
}

TEST_F(NeskDisksTest, JsonStringsAreEscaped) {
    const std::string model = "Qu\"ote\\ \x01 caf\xc3\xa9 \xff end";
    sandbox()
        .add_scsi_disk(ScsiDisk("0:0:0:0", "sda").with_model(model).with_serial("S\tN"))
        .stub_command("pvscan", {"", "", 0});
    ToolRun run = run_tool({"--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    for (unsigned char c : run.out) EXPECT_TRUE(c >= 0x20 || c == '\n') << run.out;
    EXPECT_EQ(run.out.find('\xff'), std::string::npos);
    ptree doc = parse_json(run.out);
    const ptree& disk = doc.get_child("disks").front().second;
    EXPECT_EQ(disk.get<std::string>("model"), "Qu\"ote\\ \x01 caf\xc3\xa9 \xef\xbf\xbd end");
    EXPECT_EQ(disk.get<std::string>("serial"), "S\tN");
}

TEST_F(NeskDisksTest, OutputThatCannotBeWrittenFails) {
    sandbox().stub_command("pvscan", {"", "", 0});
    const struct {
        const char* args;
        const char* redirect;
    } cases[] = {
        {"--help", ">/dev/full"},
        {"--version", ">&-"},
        {"", ">&-"},
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
    ToolRun run = run_tool({"--no-nvme"});
    EXPECT_EQ(run.code, 0) << run.err;
    Lines rows = lines_of(run.out);
    ASSERT_EQ(rows.size(), count + 1) << run.out;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(cases[i].shown);
        Lines row = cells(rows[i + 1]);
        ASSERT_EQ(row.size(), 6u) << rows[i + 1];
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
    ASSERT_EQ(rows.size(), 3u) << run.out;
    EXPECT_EQ(cells(rows[1]), (Lines{"/dev/sda", "512 B", "512", "ATA", "VIRTUAL-DISK", "-",
                                     "new", "-"}));
    EXPECT_EQ(cells(rows[2])[0], "/dev/sdb");
    EXPECT_EQ(cells(rows[2])[1], "1.0 KiB");
}

}  // namespace
