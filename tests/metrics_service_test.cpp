// The systemd service and timer that keep nesk-disks' metrics in node_exporter's
// textfile collector directory: systemd-analyze accepts them, and the service's
// command replaces the collector's file whole, or leaves it alone when
// nesk-disks fails.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "real_devices.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace nesk_test;

const std::string k_units = std::string(NESK_SOURCE_DIR) + "/packaging/systemd/";
const std::string k_service = k_units + "nesk-disks-metrics.service";
const std::string k_timer = k_units + "nesk-disks-metrics.timer";

TEST(MetricsUnits, SystemdAnalyzeVerifies) {
    std::string version;
    if (run_program({"systemd-analyze", "--version"}, &version) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // nesk-disks' manual page is not installed where the tests run.
    std::string out, err;
    EXPECT_EQ(run_program({"systemd-analyze", "verify", "--man=no", k_service, k_timer}, &out, &err),
              0);
    EXPECT_EQ(out + err, "");  // warnings (unknown keys, bad values) fail the test too
}

// The script of the service's "ExecStart=/bin/sh -c '...'" as systemd hands it
// to the shell: continuation lines joined by a blank, "$$" made "$". It must
// hold no backslash, percent sign or single quote, which systemd reads in
// ways this does not.
std::string service_script() {
    const std::string unit = read_whole_file(k_service);
    const std::string key = "\nExecStart=/bin/sh -c '";
    size_t at = unit.find(key);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << key.substr(1) << " in " << k_service;
        return "";
    }
    std::string value;
    for (at += key.size();;) {
        const size_t end = unit.find('\n', at);
        std::string line = unit.substr(at, end - at);
        const bool continued = !line.empty() && line.back() == '\\';
        value += continued ? line.substr(0, line.size() - 1) + " " : line;
        if (!continued || end == std::string::npos) break;
        at = end + 1;
    }
    EXPECT_EQ(value.back(), '\'') << value;
    value.pop_back();
    EXPECT_EQ(value.find_first_of("\\%'"), std::string::npos) << value;
    std::string script;
    for (size_t i = 0; i < value.size(); ++i) {
        script += value[i];
        if (value.compare(i, 2, "$$") == 0) ++i;
    }
    return script;
}

std::vector<std::string> temporary_files(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name.rfind(".nesk_disks.prom.", 0) == 0) names.push_back(name);
    }
    return names;
}

// The service's command with nesk-disks played by a stand-in that prints the
// metrics of a report (through the metrics test driver) and exits as told.
TEST(MetricsService, ReplacesTheCollectorsFileWhole) {
    const std::string script = service_script();
    ASSERT_FALSE(script.empty());
    TempDir scratch("nesk-metrics-service");
    const std::string bin = scratch.file("bin");
    const std::string report = scratch.file("report.json");
    fs::create_directory(bin);
    write_whole_file(report,
                     R"({"complete": false, "incomplete": ["lvm"], "timed_out": [], "disks": [
                         {"device": "/dev/sdb", "size_bytes": 4096, "state": "new",
                          "reasons": []}]})");
    write_whole_file(bin + "/nesk-disks",
                     "#!/bin/sh\n"
                     "[ \"$*\" = \"--all --metrics\" ] || { echo \"stand-in: $*\" >&2; exit 64; }\n"
                     "'" + built_program("tests/disks_metrics_driver") + "' <'" + report +
                         "' || exit 1\n"
                         "exit \"$STANDIN_EXIT\"\n");
    fs::permissions(bin + "/nesk-disks", fs::perms::owner_all);
    const char* path = getenv("PATH");
    ScopedEnv search_path("PATH", bin + ":" + (path ? path : "/usr/bin:/bin"));

    const struct {
        const char* what;
        const char* tool_exit;
        bool directory;
        int service_exit;  // -1: any failure
        bool replaced;
    } cases[] = {
        {"complete report", "0", true, 0, true},
        {"incomplete report", "3", true, 3, true},
        {"nesk-disks fails after printing", "1", true, 1, false},
        {"no collector directory", "0", false, -1, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = scratch.file("collector" + std::to_string(n++));
        const std::string file = dir + "/nesk_disks.prom";
        if (c.directory) {
            fs::create_directory(dir);
            write_whole_file(file, "old\n");
            write_whole_file(dir + "/.nesk_disks.prom.Ab3xYz", "left by a killed run\n");
        }
        ScopedEnv tool_exit("STANDIN_EXIT", c.tool_exit);
        ScopedEnv collector("NESK_METRICS_DIR", dir);
        std::string out, err;
        const int code = run_program({"/bin/sh", "-c", script}, &out, &err);
        if (c.service_exit >= 0)
            EXPECT_EQ(code, c.service_exit) << err;
        else
            EXPECT_NE(code, 0);
        if (!c.directory) {
            EXPECT_FALSE(fs::exists(dir));
            continue;
        }
        const std::string text = read_whole_file(file);
        if (c.replaced) {
            EXPECT_NE(text.find("\nnesk_disks_new_disks 1\n"), std::string::npos) << text;
            EXPECT_NE(text.find("\nnesk_disks_report_complete 0\n"), std::string::npos) << text;
            // node_exporter reads the file as its own user.
            EXPECT_EQ(fs::status(file).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                          fs::perms::others_read);
        } else {
            EXPECT_EQ(text, "old\n");
        }
        EXPECT_EQ(temporary_files(dir), std::vector<std::string>{});
    }
}

}  // namespace
