// nesk-disks' report as Prometheus metrics: the samples and their values read
// back from the text, label escaping, and promtool's own check of the text.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "disks_metrics.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using nesk_disks::metrics_text;
using nlohmann::ordered_json;
using Labels = std::map<std::string, std::string>;

const auto k_run_time = std::chrono::system_clock::time_point(std::chrono::seconds(1733700000));

struct Sample {
    std::string name;
    Labels labels;
    std::string value;
};

// The samples of an exposition text, read strictly: every line is a HELP or
// TYPE line or a sample of a gauge whose HELP and TYPE came before it; label
// values are unescaped (only \\, \" and \n exist). A line that is none of
// these fails the test.
std::vector<Sample> samples_of(const std::string& text) {
    std::vector<Sample> samples;
    std::map<std::string, std::string> declared;  // name -> "help" or "gauge"
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(declared.count(name), 0u) << line;
            declared[name] = "help";
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(line.find(' ', 7) + 1), "gauge") << line;
            declared[line.substr(7, line.find(' ', 7) - 7)] = "gauge";
            continue;
        }
        Sample sample;
        size_t i = line.find_first_of("{ ");
        sample.name = line.substr(0, i);
        EXPECT_EQ(declared[sample.name], "gauge") << line;
        if (i < line.size() && line[i] == '{') {
            while (line[i] != '}') {
                const size_t eq = line.find("=\"", i + 1);
                if (eq == std::string::npos) {
                    ADD_FAILURE() << "bad labels: " << line;
                    return samples;
                }
                const std::string label = line.substr(i + 1, eq - i - 1);
                std::string value;
                size_t k = eq + 2;
                for (; k < line.size() && line[k] != '"'; ++k) {
                    if (line[k] != '\\') {
                        value += line[k];
                        continue;
                    }
                    const char next = ++k < line.size() ? line[k] : '?';
                    EXPECT_TRUE(next == '\\' || next == '"' || next == 'n') << line;
                    value += next == 'n' ? '\n' : next;
                }
                EXPECT_EQ(sample.labels.count(label), 0u) << line;
                sample.labels[label] = value;
                i = k + 1;
                if (i >= line.size() || (line[i] != ',' && line[i] != '}')) {
                    ADD_FAILURE() << "bad labels: " << line;
                    return samples;
                }
            }
            ++i;
        }
        EXPECT_EQ(line[i], ' ') << line;
        sample.value = line.substr(i + 1);
        samples.push_back(sample);
    }
    return samples;
}

// The value of the one sample `name` with `labels`; "" (and a failure) when
// there is none or more than one.
std::string value_of(const std::vector<Sample>& samples, const std::string& name,
                     const Labels& labels = {}) {
    std::vector<std::string> found;
    for (const Sample& s : samples)
        if (s.name == name && s.labels == labels) found.push_back(s.value);
    EXPECT_EQ(found.size(), 1u) << name;
    return found.size() == 1 ? found[0] : "";
}

size_t count_of(const std::vector<Sample>& samples, const std::string& name) {
    size_t n = 0;
    for (const Sample& s : samples) n += s.name == name;
    return n;
}

// A disk entry as nesk-disks --json writes it; a skipped disk has nulls.
ordered_json disk(const std::string& device, const std::string& state,
                  const std::vector<std::string>& reasons, const std::string& model = "M",
                  const std::string& serial = "S") {
    const bool skipped = state == "skipped";
    ordered_json entry;
    entry["device"] = device;
    entry["size_bytes"] = skipped ? ordered_json() : ordered_json(1000204886016ULL);
    entry["blocks"] = skipped ? ordered_json() : ordered_json(1953525168ULL);
    entry["block_size"] = skipped ? ordered_json() : ordered_json(512);
    entry["vendor"] = skipped ? ordered_json() : ordered_json("ATA");
    entry["model"] = skipped ? ordered_json() : ordered_json(model);
    entry["serial"] = skipped ? ordered_json() : ordered_json(serial);
    entry["state"] = state;
    entry["reasons"] = reasons;
    entry["cautions"] = std::vector<std::string>{};
    return entry;
}

ordered_json document(const std::vector<ordered_json>& disks,
                      const std::vector<std::string>& incomplete = {},
                      const std::vector<std::string>& timed_out = {}) {
    ordered_json doc;
    doc["format"] = 1;
    doc["version"] = "1.0.0";
    doc["complete"] = incomplete.empty();
    doc["incomplete"] = incomplete;
    doc["timed_out"] = timed_out;
    doc["timeout_seconds"] = 60;
    doc["all"] = true;
    doc["strict"] = false;
    doc["nvme"] = true;
    doc["min_size_bytes"] = 0;
    doc["disks"] = disks;
    return doc;
}

// New, not-new with several reasons and cautions, skipped, odd texts read
// from a disk, keys this formatter does not know; lvm and raid failed.
ordered_json representative() {
    ordered_json odd = disk("/dev/sdd", "new", {}, "Model \"X\"\\2\nrev\t\xc3\xa9", "SN\xff" "1");
    odd["wwn"] = "0x5000c500a1b2c3d4";  // identity keys may be added to the document
    ordered_json used = disk("/dev/sdb", "not-new", {"lvm-pv", "mounted", "caution"});
    used["cautions"] = {"partition-table:gpt", "signature:LVM2_member"};
    ordered_json doc = document(
        {disk("/dev/nvme0n1", "new", {}), used, disk("/dev/sdc", "skipped", {"san"}), odd},
        {"lvm", "raid"}, {"lvm"});
    doc["hostname"] = "node1";
    return doc;
}

TEST(DisksMetrics, ReportAsGauges) {
    const auto samples = samples_of(metrics_text(representative(), k_run_time));

    auto info = [](const std::string& device, const std::string& state, const std::string& reasons,
                   const std::string& cautions, const std::string& vendor,
                   const std::string& model, const std::string& serial) {
        return Labels{{"device", device}, {"state", state},   {"reasons", reasons},
                      {"cautions", cautions}, {"vendor", vendor}, {"model", model},
                      {"serial", serial}};
    };
    EXPECT_EQ(count_of(samples, "nesk_disks_disk_info"), 4u);
    EXPECT_EQ(value_of(samples, "nesk_disks_disk_info",
                       info("/dev/nvme0n1", "new", "", "", "ATA", "M", "S")),
              "1");
    EXPECT_EQ(value_of(samples, "nesk_disks_disk_info",
                       info("/dev/sdb", "not-new", "lvm-pv,mounted,caution",
                            "partition-table:gpt,signature:LVM2_member", "ATA", "M", "S")),
              "1");
    EXPECT_EQ(value_of(samples, "nesk_disks_disk_info",
                       info("/dev/sdc", "skipped", "san", "", "", "", "")),
              "1");

    // Sizes of the measured disks only, as exact integers.
    EXPECT_EQ(count_of(samples, "nesk_disks_disk_size_bytes"), 3u);
    for (const char* device : {"/dev/nvme0n1", "/dev/sdb", "/dev/sdd"})
        EXPECT_EQ(value_of(samples, "nesk_disks_disk_size_bytes", {{"device", device}}),
                  "1000204886016");

    EXPECT_EQ(value_of(samples, "nesk_disks_new_disks"), "2");
    EXPECT_EQ(value_of(samples, "nesk_disks_report_complete"), "0");
    const struct {
        const char* enumeration;
        const char* failed;
        const char* timed_out;
    } enumerations[] = {{"lvm", "1", "1"}, {"mount", "0", "0"}, {"raid", "1", "0"}};
    for (const auto& e : enumerations) {
        SCOPED_TRACE(e.enumeration);
        EXPECT_EQ(value_of(samples, "nesk_disks_enumeration_failed",
                           {{"enumeration", e.enumeration}}),
                  e.failed);
        EXPECT_EQ(value_of(samples, "nesk_disks_enumeration_timed_out",
                           {{"enumeration", e.enumeration}}),
                  e.timed_out);
    }
    EXPECT_EQ(value_of(samples, "nesk_disks_run_timestamp_seconds"), "1733700000");
    EXPECT_EQ(samples.size(), 4u + 3 + 1 + 1 + 3 + 3 + 1);
}

TEST(DisksMetrics, CompleteReportWithoutDisks) {
    const std::string text = metrics_text(document({}), k_run_time);
    const auto samples = samples_of(text);
    // A metric without samples has no HELP or TYPE line either.
    EXPECT_EQ(text.find("nesk_disks_disk_"), std::string::npos) << text;
    EXPECT_EQ(value_of(samples, "nesk_disks_new_disks"), "0");
    EXPECT_EQ(value_of(samples, "nesk_disks_report_complete"), "1");
    for (const char* enumeration : {"lvm", "mount", "raid"}) {
        EXPECT_EQ(value_of(samples, "nesk_disks_enumeration_failed", {{"enumeration", enumeration}}),
                  "0");
        EXPECT_EQ(
            value_of(samples, "nesk_disks_enumeration_timed_out", {{"enumeration", enumeration}}),
            "0");
    }
    // An enumeration the formatter does not know yet gets its series too.
    const auto more = samples_of(metrics_text(document({}, {"multipath"}), k_run_time));
    EXPECT_EQ(value_of(more, "nesk_disks_enumeration_failed", {{"enumeration", "multipath"}}), "1");
}

// Each text read from a disk ends up in one label value that reads back as
// itself: quotes, backslashes and line feeds escaped, other characters kept,
// bytes that are not UTF-8 replaced by U+FFFD.
TEST(DisksMetrics, LabelValuesEscaped) {
    const struct {
        std::string text;
        std::string read_back;
    } cases[] = {
        {"plain", "plain"},
        {"a\"b", "a\"b"},
        {"a\\b", "a\\b"},
        {"a\nb", "a\nb"},
        {"a\\nb", "a\\nb"},  // a backslash and an n, not a line feed
        {"\\\"\n", "\\\"\n"},
        {"tab\there", "tab\there"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {"\xff" "x", "\xef\xbf\xbd" "x"},
        {"cut \xc3", "cut \xef\xbf\xbd"},
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string text =
            metrics_text(document({disk("/dev/sdb", "new", {}, c.text, c.text)}), k_run_time);
        const auto samples = samples_of(text);
        ASSERT_EQ(count_of(samples, "nesk_disks_disk_info"), 1u) << text;
        for (const Sample& s : samples) {
            if (s.name != "nesk_disks_disk_info") continue;
            EXPECT_EQ(s.labels.at("model"), c.read_back);
            EXPECT_EQ(s.labels.at("serial"), c.read_back);
        }
    }
}

TEST(DisksMetrics, MissingOrMistypedKeysThrow) {
    ordered_json no_disks = document({});
    no_disks.erase("disks");
    ordered_json no_state = document({disk("/dev/sdb", "new", {})});
    no_state["disks"][0].erase("state");
    ordered_json text_size = document({disk("/dev/sdb", "new", {})});
    text_size["disks"][0]["size_bytes"] = "1T";
    ordered_json number_model = document({disk("/dev/sdb", "new", {})});
    number_model["disks"][0]["model"] = 7;
    for (const ordered_json& doc : {no_disks, no_state, text_size, number_model})
        EXPECT_THROW(metrics_text(doc, k_run_time), nlohmann::json::exception) << doc.dump();
}

TEST(DisksMetrics, PromtoolAccepts) {
    using nesk_test::run_program;
    std::string version;
    if (run_program({"promtool", "--version"}, &version) != 0)
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    for (const ordered_json& doc : {representative(), document({})}) {
        const std::string text = metrics_text(doc, k_run_time);
        nesk_test::ScopedStdin input(text);
        std::string out, err;
        EXPECT_EQ(run_program({"promtool", "check", "metrics"}, &out, &err), 0)
            << out << err << "\n"
            << text;
        EXPECT_EQ(out + err, "") << text;
    }
}

}  // namespace
