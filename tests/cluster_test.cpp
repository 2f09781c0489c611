// Cluster tool commands with the real su, an admin user in the sandbox's
// /etc, and a scripted deploy tool at its real path that records each call:
// its time, user, environment and arguments.
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "nesk_utils.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Lines = std::vector<std::string>;

const char k_state[] = "/tmp/talus";

// Answers --show_all_clusters from $state/clusters with the exit status in
// $state/clusters-status, and --show_nodes from $state/nodes, after failing
// as many node listings as $state/node-failures says.
const char k_deploy_tool[] = R"SH(#!/bin/sh
state=/tmp/talus
echo "$(date +%s%N) $(id -un) TALUS_PUBKEY=$TALUS_PUBKEY TMPDIR=$TMPDIR $*" >> $state/calls
case $1 in
--show_all_clusters) cat $state/clusters; exit "$(cat $state/clusters-status)" ;;
--show_nodes)
    n=$(($(cat $state/node-calls) + 1))
    echo $n > $state/node-calls
    if [ $n -le "$(cat $state/node-failures)" ]; then echo "talus_deploy: cluster busy" >&2; exit 1; fi
    cat $state/nodes ;;
esac
)SH";

const char k_clusters[] = "cluster: tcl01 - state: healthy\ncluster: tcl02 - state: degraded\n";
const char k_three_nodes[] =
    "Cluster tcl01\nhostname: node-a\n    address: 10.0.0.11\nhostname: node-b\nhostname: node-c\n";

const std::string k_su = "su -c \"env TALUS_PUBKEY=1, TMPDIR=/tmp ";
const std::string k_tool = "/opt/talus/bin/talus_deploy";

class ClusterTest : public SandboxTest {
protected:
    void SetUpNode() override {
        sandbox().add_user("admin", 1500, "/home/admin");
        sandbox().overlay("/opt").write_program(k_tool, k_deploy_tool);
        sandbox().make_dir(k_state);
        ASSERT_EQ(::chmod(k_state, 0777), 0);
        answer(k_clusters, k_three_nodes, 0);
        sandbox().record_shell();
    }
    void answer(const std::string& clusters, const std::string& nodes, int node_failures,
                int clusters_status = 0) {
        write_state("clusters", clusters);
        write_state("clusters-status", std::to_string(clusters_status) + "\n");
        write_state("nodes", nodes);
        write_state("node-failures", std::to_string(node_failures) + "\n");
        write_state("node-calls", "0\n");
        write_state("calls", "");
    }
    void write_state(const std::string& name, const std::string& text) {
        const std::string path = std::string(k_state) + "/" + name;
        sandbox().write_file(path, text);
        ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    }
    // Each call of the tool: "<user> <environment> <arguments>"; with
    // `times`, the call's time in milliseconds.
    Lines calls(std::vector<double>* times = nullptr) {
        Lines result;
        for (const std::string& line : nesk_utils::read_file(std::string(k_state) + "/calls")) {
            const std::string::size_type blank = line.find(' ');
            if (times) times->push_back(std::stod(line.substr(0, blank)) / 1e6);
            result.push_back(line.substr(blank + 1));
        }
        return result;
    }
};

// The name is what 'tr -d " " | cut -d ":" -f 2 | cut -d "-" -f 1' leaves of
// the first line it does not empty, trimmed.
TEST_F(ClusterTest, ClusterNameFromTheListing) {
    const struct {
        const char* listing;
        const char* cluster;
    } cases[] = {
        {k_clusters, "tcl01"},
        {"Clusters:\ncluster: tcl02 - x\n", "tcl02"},  // the heading is emptied
        {"tcl03-x\n", "tcl03"},                        // no ":": the whole line
        {"name: a b:c\n", "ab"},
        {"cluster:\t- x\ncluster: tcl04\n", ""},  // "\t" is left: it trims to ""
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.listing);
        answer(c.listing, k_three_nodes, 0);
        std::string cluster = "old";
        EXPECT_EQ(nesk_utils::get_talus_cluster(cluster), 0);
        EXPECT_EQ(cluster, c.cluster);
    }
    // The local shell runs su alone; admin's shell runs the tool.
    const std::string inner = "env TALUS_PUBKEY=1, TMPDIR=/tmp " + k_tool + " --show_all_clusters  ";
    EXPECT_EQ(sandbox().shell_log().at(0), "su -c \"" + inner + "\"  admin");
    EXPECT_EQ(sandbox().shell_log().at(1), inner);
    EXPECT_EQ(calls(), Lines{"admin TALUS_PUBKEY=1, TMPDIR=/tmp --show_all_clusters"});
}

TEST_F(ClusterTest, NodeNamesFromTheListing) {
    struct Case {
        const char* what;
        std::string listing;
        std::string nodes_before;
        std::string nodes;
    };
    const Case cases[] = {
        {"three nodes, after the caller's text", k_three_nodes, "gw,", "gw,node-a,node-b,node-c"},
        {"only exact two-word records",
         "hostname:\tnode-t\nhostname: node-x extra\nHostname: node-y\n"
         "  hostname:   node-a  \nhost: node-z\n",
         "", "node-a"},
        {"no record: only trailing commas go", "Cluster tcl01\nno nodes\n", "gw,,", "gw"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        answer(k_clusters, c.listing, 0);
        std::string nodes = c.nodes_before;
        EXPECT_EQ(nesk_utils::get_talus_cluster_nodes(nodes), 0);
        EXPECT_EQ(nodes, c.nodes);
    }
    EXPECT_EQ(sandbox().shell_log().at(2),
              k_su + k_tool + " --show_nodes --cluster_name tcl01 \"  admin");
    EXPECT_EQ(calls().at(1), "admin TALUS_PUBKEY=1, TMPDIR=/tmp --show_nodes --cluster_name tcl01");
}

TEST_F(ClusterTest, NoClusterNoNodeQuery) {
    const struct {
        const char* what;
        const char* clusters;
        int status;
    } cases[] = {
        {"nothing listed", "", 0},
        {"the tool fails with a message", "Error: cannot reach cluster-db\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        answer(c.clusters, k_three_nodes, 0, c.status);
        std::string cluster = "old", nodes = "gw,";
        EXPECT_EQ(nesk_utils::get_talus_cluster(cluster), -1);
        EXPECT_EQ(nesk_utils::get_talus_cluster_nodes(nodes), -1);
        EXPECT_EQ(cluster, "old");
        EXPECT_EQ(nodes, "gw,");
        EXPECT_EQ(calls(), Lines(2, "admin TALUS_PUBKEY=1, TMPDIR=/tmp --show_all_clusters"));
    }
}

// The node listing is tried up to five times, pausing 100, 200, 400, 800
// and 1600 ms after the failures; timings are checked loosely.
TEST_F(ClusterTest, NodeQueryRetries) {
    const double pauses[] = {100, 200, 400, 800};
    struct Case {
        int failures;
        int result;
        std::string nodes;
        int node_calls;
        double least_ms;
    };
    const Case cases[] = {{2, 0, "node-a,node-b,node-c", 3, 300}, {5, -1, "gw", 5, 3100}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failures);
        answer(k_clusters, k_three_nodes, c.failures);
        std::string nodes = "gw";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(nesk_utils::get_talus_cluster_nodes(nodes), c.result);
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        EXPECT_EQ(nodes, c.result == 0 ? "gw" + c.nodes : c.nodes);
        EXPECT_GE(took.count(), c.least_ms);

        std::vector<double> times;
        const Lines made = calls(&times);
        ASSERT_EQ(made.size(), 1u + static_cast<unsigned>(c.node_calls));
        for (int i = 2; i < static_cast<int>(times.size()); ++i) {
            const double gap = times[i] - times[i - 1], pause = pauses[i - 2];
            EXPECT_GE(gap, pause) << "before attempt " << i;
            EXPECT_LT(gap, pause + 2000) << "before attempt " << i;
        }
    }
}

}  // namespace
