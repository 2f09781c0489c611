// Host names: the two naming forms, and the node's own name read with the real
// hostname command and resolver in a private UTS namespace and /etc/hosts.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "forked_child.h"
#include "nesk_utils.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using nesk_test::ScopedPlatform;

// Naming scheme 2 comes from an appliance type other than AP0100/AP0200.
void use_scheme(const ScopedPlatform& platform, int scheme) {
    nesk_test::write_whole_file(platform.config_file(),
                                scheme == 2 ? "[Vantor]\nsTesseraApplianceType=AP0300\n" : "");
}

TEST(HostNames, ConvertBetweenDpAndSpForms) {
    const struct {
        const char* name;
        const char* sp;  // dp_to_sp under scheme 1
        const char* dp;
    } rows[] = {
        {"node1.example", "node1sds.example", "node1.example"},
        {"node1sds.example", "node1sds.example", "node1.example"},
        {"node1", "node1sds", "node1"},
        {"abc", "abcsds", "abc"},
        {"sds", "sdssds", "sds"},
        {"xsds", "xsds", "x"},
        {"", "sds", ""},
        {"NODE1SDS", "NODE1SDSsds", "NODE1SDS"},
        {"node1.rack2.example", "node1sds.rack2.example", "node1.rack2.example"},
        {"node1sds.sds.example", "node1sds.sds.example", "node1.sds.example"},
        {".example", "sds.example", ".example"},
        {"node1.", "node1sds.", "node1."},
    };
    for (int scheme : {1, 2}) {
        ScopedPlatform platform;
        use_scheme(platform, scheme);
        ASSERT_EQ(nesk_utils::get_sds_type(), scheme);
        for (const auto& row : rows) {
            EXPECT_EQ(nesk_utils::dp_to_sp(row.name), scheme == 1 ? row.sp : row.name)
                << "scheme " << scheme << ": " << row.name;
            EXPECT_EQ(nesk_utils::sp_to_dp(row.name), row.dp)
                << "scheme " << scheme << ": " << row.name;
        }
        // Converting again changes nothing.
        EXPECT_EQ(nesk_utils::dp_to_sp(nesk_utils::dp_to_sp("node1.example")),
                  nesk_utils::dp_to_sp("node1.example"));
    }
}

class HostNamesOnNode : public nesk_test::SandboxTest {
protected:
    void SetUpNode() override {
        // Resolution stays on this node: the private hosts file, and a name
        // server that answers nothing at once.
        sandbox()
            .overlay_etc()
            .write_file("/etc/hosts",
                        "127.0.0.1 localhost\n"
                        "192.0.2.10 node7\n"
                        "192.0.2.11 node7sds node7sds.example.com\n"
                        "192.0.2.12 node8sds\n"
                        "192.0.2.13 " + long_name() + "\n")
            .write_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
    }
    // The longest name the kernel keeps.
    static std::string long_name() { return std::string(63, 'n') + "7"; }
};

TEST_F(HostNamesOnNode, ResolvesThroughThePlatformResolver) {
    const struct {
        const char* name;
        int result;
        const char* addr;
    } rows[] = {{"node7sds", 0, "192.0.2.11"},  {"node7sds.example.com", 0, "192.0.2.11"},
                {"192.0.2.99", 0, "192.0.2.99"}, {"no-such-node.invalid", -1, "caller's"},
                {"", -1, "caller's"}};
    for (const auto& row : rows) {
        std::string addr = "caller's";
        EXPECT_EQ(nesk_utils::resolve_hname(row.name, addr), row.result) << row.name;
        EXPECT_EQ(addr, row.addr) << row.name;
    }
}

TEST_F(HostNamesOnNode, OwnNameAndLoopBackInBothSchemes) {
    const struct {
        int scheme;
        std::string uts_name;
        std::string hostname;   // get_hostname
        std::string ws;         // get_ws_hname: result, name and address
        std::vector<std::pair<std::string, int>> loop_back;
    } rows[] = {
        {1, "node7", "node7", "0 node7sds 192.0.2.11",
         {{"node7sds", 1}, {"node7sds.example.com", 1}, {"192.0.2.11", 1}, {"node7", 0},
          {"node8sds", 0}, {"no-such-node.invalid", 0}}},
        {2, "node7", "node7", "0 node7 192.0.2.10",
         {{"node7", 1}, {"node7sds", 0}, {"no-such-node.invalid", 0}}},
        {1, "node7.example.com", "node7.example.com", "0 node7sds.example.com 192.0.2.11",
         {{"node7sds", 1}, {"node7", 0}}},
        {1, "lonely", "lonely", "-1 lonelysds caller's", {{"lonelysds", 0}, {"node7sds", 0}}},
        {2, long_name(), long_name(), "0 " + long_name() + " 192.0.2.13", {{long_name(), 1}}},
    };
    for (const auto& row : rows) {
        use_scheme(platform(), row.scheme);
        std::string expected = row.hostname + "\n" + row.ws + "\n";
        for (const auto& probe : row.loop_back)
            expected += probe.first + " " + std::to_string(probe.second) + "\n";

        const std::string seen = nesk_test::text_from_child([&] {
            if (!nesk_test::enter_private_uts_namespace(row.uts_name)) return std::string("no UTS");
            std::string name = "caller's", addr = "caller's";
            const int result = nesk_utils::get_ws_hname(name, addr);
            std::string text = nesk_utils::get_hostname() + "\n" + std::to_string(result) + " " +
                               name + " " + addr + "\n";
            for (const auto& probe : row.loop_back)
                text += probe.first + " " +
                        std::to_string(nesk_utils::is_loop_back_hname(probe.first)) + "\n";
            return text;
        });
        EXPECT_EQ(seen, expected) << "scheme " << row.scheme << ", host " << row.uts_name;
    }
}

// The name ends at the first NUL byte the command writes, before trimming.
TEST_F(HostNamesOnNode, OwnNameEndsAtTheFirstNul) {
    const struct {
        std::string out;
        int status;
        std::string name;
    } rows[] = {
        {"node7\n", 0, "node7"},
        {std::string("node7\0evil\n", 11), 0, "node7"},
        {std::string(" node7 \0\n", 9), 0, "node7"},
        {std::string("\0node7\n", 7), 0, ""},
        {"node7\n", 1, ""},
    };
    for (const auto& row : rows) {
        sandbox().stub_command("hostname", {row.out, "", row.status});
        EXPECT_EQ(nesk_utils::get_hostname(), row.name)
            << testing::PrintToString(row.out) << " status " << row.status;
    }
}

}  // namespace
