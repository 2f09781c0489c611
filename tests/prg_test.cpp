// Pseudo-random material: MT19937 output and the node's identity key.
#include <sys/time.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MurmurHash3.h"
#include "nesk_utils.h"
#include "node_sandbox.h"

namespace {

TEST(PrgData, EqualsTheStandardMt19937) {
    const unsigned int guard = 0xdeadbeef;
    for (unsigned int seed : {0u, 1u, 5489u, 0x9e3779b9u, 0xffffffffu}) {
        for (unsigned int count : {0u, 1u, 623u, 624u, 625u, 2000u}) {
            std::vector<unsigned int> buf(count + 1, guard);
            nesk_utils::generate_prg_data(seed, buf.data(), count);
            std::mt19937 reference(seed);
            std::vector<unsigned int> expected(count + 1, guard);
            for (unsigned int i = 0; i < count; ++i) expected[i] = reference();
            EXPECT_EQ(buf, expected) << "seed " << seed << ", count " << count;
        }
    }
}

// "<pieces>:<seconds>:<microseconds>" with the time between the two bounds.
void expect_key(const std::string& key, const std::string& pieces, const timeval& before,
                const timeval& after) {
    ASSERT_EQ(key.compare(0, pieces.size() + 1, pieces + ":"), 0) << key;
    const std::string time = key.substr(pieces.size() + 1);
    const std::string::size_type colon = time.find(':');
    ASSERT_NE(colon, std::string::npos) << key;
    const std::string seconds = time.substr(0, colon), micros = time.substr(colon + 1);
    for (const std::string& number : {seconds, micros})
        ASSERT_TRUE(!number.empty() && number.find_first_not_of("0123456789") == std::string::npos)
            << key;
    const double at = std::stod(seconds) + std::stod(micros) / 1e6;
    EXPECT_LE(before.tv_sec + before.tv_usec / 1e6, at) << key;
    EXPECT_GE(after.tv_sec + after.tv_usec / 1e6, at) << key;
    EXPECT_LT(std::stoul(micros), 1000000ul) << key;
}

using PrgKeyOnNode = nesk_test::SandboxTest;

TEST_F(PrgKeyOnNode, JoinsAddressesHostNameAndTime) {
    const std::string old_format =
        "eth0      Link encap:Ethernet  HWaddr 00:0C:29:3E:5B:7A  \n"
        "          inet addr:192.168.1.10  Bcast:192.168.1.255  Mask:255.255.255.0\n"
        "          UP BROADCAST RUNNING MULTICAST  MTU:1500  Metric:1\n"
        "\n"
        "eth1      Link encap:Ethernet  HWaddr 00:0C:29:3E:5B:84  \n"
        "          UP BROADCAST MULTICAST  MTU:1500  Metric:1\n"
        "\n"
        "lo        Link encap:Local Loopback  \n"
        "          inet addr:127.0.0.1  Mask:255.0.0.0\n"
        "\n";
    const std::string host = nesk_utils::get_hostname();
    ASSERT_FALSE(host.empty());
    const struct {
        std::string ifconfig;
        std::string pieces;
    } rows[] = {
        {old_format, "00:0C:29:3E:5B:7A:00:0C:29:3E:5B:84:" + host},
        // A truncated interface line gives an empty address, which adds nothing.
        {"bond0     HWaddr\n\n" + old_format, "00:0C:29:3E:5B:7A:00:0C:29:3E:5B:84:" + host},
        // New net-tools print "ether" instead, and no HWaddr at all.
        {"eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
         "        ether 02:fc:00:00:00:01  txqueuelen 1000  (Ethernet)\n",
         host},
        {"", host},
    };
    for (const auto& row : rows) {
        sandbox().stub_command("ifconfig", {row.ifconfig, "", 0});
        std::string key = "caller's";
        timeval before, after;
        gettimeofday(&before, nullptr);
        const unsigned int digest = nesk_utils::generate_prg_key(key);
        gettimeofday(&after, nullptr);
        expect_key(key, row.pieces, before, after);
        uint32_t expected = 0;
        MurmurHash3_x86_32(key.data(), static_cast<int>(key.size()), 0, &expected);
        EXPECT_EQ(digest, expected) << key;
    }
    EXPECT_EQ(sandbox().command_log("ifconfig").front(), "ifconfig");
}

}  // namespace
