// The Ansible collection for real: ansible-core, run by this test as the
// controller, plays the fleet playbook over real ssh against simulated nodes.
// Each node is a forked child in its own mount namespace (a NodeSandbox with
// disks in sysfs, the blank ones on real loop devices, and the built
// nesk-disks) and its own network namespace, where a real sshd listens; a
// veth pair links it to the test's private network namespace. The
// controller's files (key, known hosts, configuration, Ansible's temporary
// files) live in a temporary directory, so nothing of the host's ssh or
// Ansible set-up is read or changed.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "forked_child.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "ssh_server.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using nlohmann::json;
using Lines = std::vector<std::string>;
using Loops = std::vector<std::unique_ptr<LoopDevice>>;

constexpr unsigned long long MiB = 1024ULL * 1024;
constexpr unsigned long long GiB = 1024 * MiB;

// `disk` as a blank disk of `bytes` on a real loop device.
ScsiDisk blank(Loops& loops, ScsiDisk disk, unsigned long long bytes) {
    loops.push_back(std::make_unique<LoopDevice>(bytes));
    return disk.with_size(bytes / 512).with_devnum(loops.back()->devnum());
}

// The fleet. The play's minimum size is 600 MiB.
struct NodeSpec {
    const char* name;
    void (*lay_out)(NodeSandbox& node, Loops& loops);
};
const NodeSpec k_nodes[] = {
    {"node1",
     [](NodeSandbox& node, Loops& loops) {
         // Two blank disks, one of them below the minimum size, and a
         // removable drive.
         node.add_scsi_disk(blank(loops, ScsiDisk("0:0:0:0", "sda"), 1 * GiB))
             .add_scsi_disk(blank(loops, ScsiDisk("0:0:1:0", "sdb"), 512 * MiB))
             .add_scsi_disk(ScsiDisk("1:0:0:0", "sdc").with_removable("1").with_size(16 * GiB / 512));
     }},
    {"node2",
     [](NodeSandbox& node, Loops& loops) {
         // A blank NVMe namespace and a LUN behind a Fibre Channel host.
         loops.push_back(std::make_unique<LoopDevice>(768 * MiB));
         node.add_nvme(NvmeNamespace("nvme0n1")
                           .with_size(768 * MiB / 512)
                           .with_devnum(loops.back()->devnum()))
             .add_scsi_host(5, HostKind::fc)
             .add_scsi_disk(ScsiDisk("5:0:0:1", "sda").with_size(100 * GiB / 512));
     }},
    {"node3",
     [](NodeSandbox& node, Loops& loops) {
         // A blank disk, and a software-RAID array whose members cannot be
         // listed: the report is incomplete.
         node.add_scsi_disk(blank(loops, ScsiDisk("0:0:0:0", "sda"), 2 * GiB))
             .add_virtual_block("md0", 1 * GiB / 512)
             .stub_command("mdadm", {"", "mdadm: cannot open /dev/md0\n", 1});
     }},
};

// Runs in the node's child: lays the node out, starts sshd on the node's end
// of its link, hands the test the host key and serves until let go.
int serve_node(const NodeSpec& spec, unsigned int link, pid_t controller,
               const std::string& authorized_key, const ServingChild::Ready& ready) {
    if (!enter_private_mount_namespace() || !enter_private_uts_namespace(spec.name))
        throw std::runtime_error("cannot make the node's namespaces");
    const std::string why = NodeSandbox::enter_linked_network(controller, link);
    if (!why.empty()) throw std::runtime_error(why);
    NodeSandbox node;
    Loops loops;
    spec.lay_out(node, loops);
    // No LVM physical volume (the system's LVM tools are not confined to the
    // node), and a root file system on a disk of no interest.
    node.stub_command("pvscan", {"", "", 0});
    node.set_mtab("/dev/mapper/rhel-root / xfs rw,relatime 0 0\n");
    prepare_ssh_login(node);
    node.write_file("/root/.ssh/authorized_keys", authorized_key);
    node.make_dir(node.work_dir() + "/ssh");
    // Sessions find the node's commands, stubs first.
    const char* path = std::getenv("PATH");
    SshServer server(node.work_dir() + "/ssh", NodeSandbox::linked_address(link),
                     {std::string("PATH=") + (path ? path : "")});
    ready(server.host_key());
    return 0;
}

// Why the fleet cannot be played here ("" when it can).
std::string unavailable_reason() {
    std::string why = NodeSandbox::unavailable_reason();
    if (why.empty()) why = NodeSandbox::enter_private_network();
    if (!why.empty()) return why;
    for (const char* program : {"ansible-playbook", "sshd", "ssh", "ip"})
        if (run_program({"sh", "-c", std::string("PATH=$PATH:/usr/sbin command -v ") + program}) != 0)
            return std::string("no ") + program + " here (scripts/install-deps.sh installs it)";
    return "";
}

// Each result the default and minimal callbacks print as "<label> => {json}",
// on one line or indented over several, in the order printed.
std::vector<std::pair<std::string, json>> results_of(const std::string& output) {
    std::vector<std::pair<std::string, json>> results;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        const std::string::size_type arrow = line.find(" => {");
        if (arrow == std::string::npos) continue;
        std::string text = line.substr(arrow + 4);
        while (!json::accept(text) && std::getline(in, line)) text += "\n" + line;
        if (json::accept(text)) results.emplace_back(line.substr(0, arrow), json::parse(text));
    }
    return results;
}

class AnsibleFleet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        skip_reason_ = unavailable_reason();
        if (!skip_reason_.empty()) return;
        controller_ = std::make_unique<TempDir>("nesk-ansible");
        const std::string dir = controller_->path();
        run_checked({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", dir + "/id_ed25519"});
        const std::string public_key = read_whole_file(dir + "/id_ed25519.pub");

        std::string known_hosts;
        std::string inventory = "[storage]\n";
        for (unsigned int link = 1; link <= sizeof k_nodes / sizeof k_nodes[0]; ++link) {
            const NodeSpec& spec = k_nodes[link - 1];
            const pid_t controller = ::getpid();
            nodes_.push_back(std::make_unique<ServingChild>(
                [&spec, link, controller, public_key](const ServingChild::Ready& ready) {
                    return serve_node(spec, link, controller, public_key, ready);
                }));
            const std::string address = NodeSandbox::linked_address(link);
            known_hosts += address + " " + nodes_.back()->wait_ready();
            inventory += std::string(spec.name) + " ansible_host=" + address + "\n";
        }
        // node1 once more under another name, with a size nesk-disks refuses.
        inventory += "node4 ansible_host=" + NodeSandbox::linked_address(1) +
                     " nesk_min_size=bogus\n";
        inventory += "\n[storage:vars]\n"
                     "nesk_min_size=600MiB\n"
                     "nesk_disks_binary=" + built_program("nesk-disks") + "\n";
        write_whole_file(dir + "/known_hosts", known_hosts);
        write_whole_file(dir + "/inventory", inventory);

        // The collection is found as the source tree's ansible/ directory.
        std::filesystem::create_directories(dir + "/home");
        std::filesystem::create_directories(dir + "/collections/ansible_collections/neskutils");
        std::filesystem::create_directory_symlink(
            std::string(NESK_SOURCE_DIR) + "/ansible",
            dir + "/collections/ansible_collections/neskutils/disks");
        write_whole_file(dir + "/ansible.cfg",
                         "[defaults]\n"
                         "inventory = " + dir + "/inventory\n"
                         "collections_path = " + dir + "/collections\n"
                         "local_tmp = " + dir + "/local\n"
                         "remote_user = root\n"
                         "private_key_file = " + dir + "/id_ed25519\n"
                         "interpreter_python = /usr/bin/python3\n"
                         "retry_files_enabled = False\n"
                         "nocolor = True\n"
                         "forks = 5\n"
                         "timeout = 30\n"
                         "[ssh_connection]\n"
                         "ssh_args = -F /dev/null -o ControlMaster=no -o BatchMode=yes "
                         "-o IdentitiesOnly=yes -o StrictHostKeyChecking=yes "
                         "-o UserKnownHostsFile=" + dir + "/known_hosts\n"
                         "control_path_dir = " + dir + "/cp\n"
                         "pipelining = True\n");
    }
    static void TearDownTestSuite() {
        nodes_.clear();
        controller_.reset();
    }
    void SetUp() override {
        if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
    }

    struct Run {
        int code = -1;
        std::string out;
        std::string err;
    };
    // Runs an Ansible command as the controller, bounded in time.
    static Run ansible(const Lines& args) {
        const std::string dir = controller_->path();
        Lines argv{"timeout", "100",
                   "env",     "-u",
                   "SSH_AUTH_SOCK", "HOME=" + dir + "/home",
                   "ANSIBLE_CONFIG=" + dir + "/ansible.cfg", "LC_ALL=C.UTF-8",
                   "PYTHONDONTWRITEBYTECODE=1"};
        argv.insert(argv.end(), args.begin(), args.end());
        Run run;
        run.code = run_program(argv, &run.out, &run.err);
        return run;
    }

    static inline std::string skip_reason_;
    static inline std::unique_ptr<TempDir> controller_;
    static inline std::vector<std::unique_ptr<ServingChild>> nodes_;
};

TEST_F(AnsibleFleet, PlaybookTablesEachNodesNewDisksAndNamesTheIncompleteOnes) {
    const Run run = ansible({"ansible-playbook", "-v", "neskutils.disks.fleet_new_disks"});
    // 2: a host failed (node4), none unreachable.
    ASSERT_EQ(run.code, 2) << run.out << run.err;
    std::map<std::string, json> reports, failures;
    json table;
    for (const auto& [label, result] : results_of(run.out)) {
        const std::string::size_type open = label.find('['), close = label.find(']');
        const std::string host = label.substr(open + 1, close - open - 1);
        if (label.compare(0, 6, "fatal:") == 0)
            failures[host] = result;
        else if (result.contains("report"))
            reports[host] = result;
        else if (result.contains("msg"))
            table = result.at("msg");
    }

    // What each node's module returned.
    const struct {
        const char* node;
        Lines new_disks;
        bool incomplete;
        Lines failed;
    } expected[] = {
        {"node1", {"/dev/sda"}, false, {}},
        {"node2", {"/dev/nvme0n1"}, false, {}},
        {"node3", {"/dev/sda"}, true, {"raid"}},
    };
    ASSERT_EQ(reports.size(), 3u) << run.out;
    for (const auto& e : expected) {
        SCOPED_TRACE(e.node);
        const json& result = reports.at(e.node);
        EXPECT_EQ(result.at("changed"), false);
        EXPECT_EQ(result.at("new_disks").get<Lines>(), e.new_disks);
        EXPECT_EQ(result.at("incomplete"), e.incomplete);
        EXPECT_EQ(result.at("failed_enumerations").get<Lines>(), e.failed);
        EXPECT_EQ(result.at("rc"), e.incomplete ? 3 : 0);
        EXPECT_EQ(result.at("report").at("min_size_bytes"), 600 * MiB);
        EXPECT_EQ(result.at("report").at("complete"), !e.incomplete);
    }
    // The tool's refusal is the task's message.
    ASSERT_EQ(failures.size(), 1u) << run.out;
    EXPECT_EQ(failures.at("node4").at("rc"), 2);
    EXPECT_EQ(failures.at("node4").at("msg").get<std::string>().rfind(
                  "nesk-disks: bad SIZE 'bogus'", 0),
              0u)
        << failures.at("node4");

    // The fleet table, printed once.
    ASSERT_TRUE(table.is_array()) << run.out;
    std::vector<Lines> rows;
    for (const json& line : table) rows.push_back(table_cells(line.get<std::string>()));
    const std::vector<Lines> want = {
        {"NODE", "NEW", "SIZE", "REPORT", "DISKS"},
        {"node1", "1", "1.0 GiB", "complete", "/dev/sda"},
        {"node2", "1", "768.0 MiB", "complete", "/dev/nvme0n1"},
        {"node3", "1", "2.0 GiB", "INCOMPLETE", "/dev/sda"},
        {"node4", "-", "-", "none", "-"},
        {"TOTAL", "3", "3.8 GiB"},
        {"Incomplete, a disk shown as new may be in use: node3 (raid)"},
        {"No report: node4"},
    };
    EXPECT_EQ(rows, want) << table.dump(2);
}

}  // namespace
