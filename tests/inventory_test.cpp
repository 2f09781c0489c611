// System inventory: release files in the node's /etc, the real uname and
// /proc/modules, and stub commands that print what the real tools print.
#include <sys/resource.h>
#include <sys/utsname.h>

#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "forked_child.h"
#include "nesk_utils.h"
#include "node_sandbox.h"

namespace {

using nesk_test::StubResult;
using InventoryOnNode = nesk_test::SandboxTest;

TEST_F(InventoryOnNode, ReleaseFilesGiveTheirFirstLineTrimmed) {
    sandbox().overlay_etc();
    const struct {
        const char* content;  // nullptr: no such file
        const char* expected;
    } rows[] = {
        {"Red Hat Enterprise Linux release 8.6 (Ootpa)\n",
         "Red Hat Enterprise Linux release 8.6 (Ootpa)"},
        {"Red Hat Gluster Storage Server 3.5 Update 7\r\nsecond line\r\n",
         "Red Hat Gluster Storage Server 3.5 Update 7"},
        {"", ""},
        {nullptr, ""},
    };
    using reader = int (*)(std::string&);
    const std::pair<const char*, reader> files[] = {
        {"/etc/redhat-release", &nesk_utils::get_os_release},
        {"/etc/redhat-storage-release", &nesk_utils::get_rhgs_version}};
    for (const auto& file : files) {
        for (const auto& row : rows) {
            if (row.content)
                sandbox().write_file(file.first, row.content);
            else
                sandbox().remove(file.first);
            std::string text = "caller's";
            EXPECT_EQ(file.second(text), 0) << file.first;
            EXPECT_EQ(text, row.expected) << file.first;
        }
    }
}

TEST(Inventory, KernelVersionIsTheRunningKernels) {
    struct utsname names;
    ASSERT_EQ(uname(&names), 0);
    std::string version = "caller's";
    EXPECT_EQ(nesk_utils::get_kernel_version(version), 0);
    EXPECT_EQ(version, names.release);
}

TEST_F(InventoryOnNode, GlusterVersionsAreTheWholeTrimmedOutput) {
    const std::string banner =
        "glusterfs 6.0\n"
        "Repository revision: git://git.gluster.org/glusterfs.git\n"
        "Copyright (c) 2006-2016 Red Hat, Inc. <https://www.gluster.org/>\n"
        "GlusterFS comes with ABSOLUTELY NO WARRANTY.\n";
    sandbox()
        .stub_command("glusterfs", "--version", {banner, "", 0})
        .stub_command("gluster", "volume get all cluster.op-version",
                      {"Option                                  Value                  \n"
                       "------                                  -----                  \n"
                       "cluster.op-version                      70200                  \n",
                       "", 0});
    std::string version = "caller's";
    EXPECT_EQ(nesk_utils::get_gluster_version(version), 0);
    EXPECT_EQ(version, banner.substr(0, banner.size() - 1));
    EXPECT_EQ(nesk_utils::get_gluster_operating_version(version), 0);
    EXPECT_EQ(version, "70200");
    EXPECT_EQ(sandbox().command_log("gluster"),
              std::vector<std::string>{"gluster volume get all cluster.op-version"});
    // The op-version is the second word of the third line, blanks and tabs
    // separating words, trimmed.
    const struct {
        const char* table;
        const char* value;
    } tables[] = {
        {"Option Value\n------ -----\n", ""},
        {"\n\n  cluster.op-version\t70200\r\nmore lines\n", "70200"},
        {"Option Value\n------ -----\ncluster.op-version\n", ""},
    };
    for (const auto& t : tables) {
        sandbox().stub_command("gluster", "volume get all cluster.op-version", {t.table, "", 0});
        version = "caller's";
        EXPECT_EQ(nesk_utils::get_gluster_operating_version(version), 0) << t.table;
        EXPECT_EQ(version, t.value) << t.table;
    }

    // A failing command leaves the caller's text and gives its status.
    sandbox()
        .stub_command("glusterfs", "--version", {"", "glusterfs: error\n", 1})
        .stub_command("gluster", "volume get all cluster.op-version",
                      {"", "Connection failed. Please check if gluster daemon is operational.\n",
                       1});
    version = "caller's";
    EXPECT_EQ(nesk_utils::get_gluster_version(version), 1);
    EXPECT_EQ(version, "caller's");
    EXPECT_EQ(nesk_utils::get_gluster_operating_version(version), 1);
    EXPECT_EQ(version, "caller's");
}

TEST_F(InventoryOnNode, SerialNumberLosesWhiteSpaceAndCapitals) {
    const struct {
        StubResult dmidecode;
        const char* before;
        const char* serial;
    } rows[] = {
        {{"VMware-42 1a 2b 3c 4d 5e 6f 70-81 92 a3 b4 c5 d6 e7 f8\n", "", 0}, "",
         "vmware-421a2b3c4d5e6f70-8192a3b4c5d6e7f8"},
        {{"  CZJ1234ABC  \r\nSECOND\n", "", 0}, "", "czj1234abc"},
        {{"Not\vSpecified\f\n", "", 0}, "", "notspecified"},
        {{"", "", 0}, "Old Serial\t1", "oldserial1"},
        {{"", "/dev/mem: No such file or directory\n", 1}, " Kept ", "kept"},
    };
    for (const auto& row : rows) {
        sandbox().stub_command("dmidecode", row.dmidecode);
        std::string serial = row.before;
        EXPECT_EQ(nesk_utils::get_serial_number(serial), 0) << row.dmidecode.out;
        EXPECT_EQ(serial, row.serial) << row.dmidecode.out;
    }
    EXPECT_EQ(sandbox().command_log("dmidecode").front(), "dmidecode -s system-serial-number");
}

TEST_F(InventoryOnNode, RpmQueryStatusIsPassedOn) {
    sandbox()
        .stub_command("rpm", "-q bash", {"bash-4.4.20-4.el8_6.x86_64\n", "", 0})
        .stub_command("rpm", "-q nosuch", {"package nosuch is not installed\n", "", 1})
        .stub_command("rpm", "-q", {"", "rpm: no arguments given for query\n", 1});
    EXPECT_EQ(nesk_utils::check_rpm("bash"), 0);
    EXPECT_EQ(nesk_utils::check_rpm("nosuch"), 256);
    EXPECT_EQ(nesk_utils::check_rpm(""), 256);
    EXPECT_EQ(sandbox().command_log("rpm"),
              (std::vector<std::string>{"rpm -q bash", "rpm -q nosuch", "rpm -q"}));
}

TEST(Inventory, ModuleListIsTheRealProcModules) {
    std::list<std::string> expected;
    std::ifstream modules("/proc/modules");
    for (std::string line; std::getline(modules, line);) {
        std::istringstream fields(line);
        std::string name;
        fields >> name;
        expected.push_back(name);
    }
    std::list<std::string> listed{"stale"};
    EXPECT_EQ(nesk_utils::get_lkm_list(listed), 0);
    EXPECT_EQ(listed, expected);
}

TEST_F(InventoryOnNode, ModuleListKeepsPiecesOfLongAndEmptyLines) {
    const std::string long_name(5000, 'm');
    sandbox().stub_command("cat", "/proc/modules",
                           {"xfs 1556480 1 - Live 0x0000000000000000\n"
                            "\n"
                            "libcrc32c 16384 2 xfs,nf_conntrack, Live 0x0000000000000000\n" +
                                long_name + " 16384 0 - Live 0x0000000000000000\n",
                            "", 0});
    std::list<std::string> listed{"stale"};
    EXPECT_EQ(nesk_utils::get_lkm_list(listed), 0);
    EXPECT_EQ(listed, (std::list<std::string>{"xfs", "", "libcrc32c", long_name.substr(0, 4095),
                                              long_name.substr(4095)}));
}

TEST(Inventory, CommandsThatCannotStart) {
    // With no descriptor left for a pipe, no command can be started.
    const std::string seen = nesk_test::text_from_child([] {
        rlimit old;
        if (getrlimit(RLIMIT_NOFILE, &old) != 0) return std::string("no limit");
        rlimit none = old;
        none.rlim_cur = 0;
        if (setrlimit(RLIMIT_NOFILE, &none) != 0) return std::string("no limit");
        std::string serial = "Caller's";
        std::list<std::string> modules{"stale"};
        const int serial_result = nesk_utils::get_serial_number(serial);
        const int modules_result = nesk_utils::get_lkm_list(modules);
        const int rpm_result = nesk_utils::check_rpm("bash");
        setrlimit(RLIMIT_NOFILE, &old);
        return std::to_string(serial_result) + " " + serial + ", " +
               std::to_string(modules_result) + " " + std::to_string(modules.size()) + ", " +
               std::to_string(rpm_result);
    });
    EXPECT_EQ(seen, "-1 Caller's, 0 0, -1");
}

}  // namespace
