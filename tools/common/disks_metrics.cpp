#include "disks_metrics.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "disks_format.h"

namespace nesk_disks {

namespace {

using nlohmann::ordered_json;
using label = std::pair<const char*, std::string>;

// The in-use enumerations a report can name; each has its series, 0 when it
// did not fail, so that a failure shows as a change of value, not as a new
// series.
const char* const k_enumerations[] = {"lvm", "mount", "raid"};

// `text` as a label value between double quotes. The exposition format knows
// three escapes (\\, \" and \n) and is UTF-8: a byte that does not start a
// well-formed sequence becomes U+FFFD, as in the JSON document.
std::string label_value(const std::string& text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = bytes[i];
        size_t length = 1;
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            length = utf8_sequence_length(bytes + i, text.size() - i);
            if (length == 0) {
                out += "\xef\xbf\xbd";
                length = 1;
            } else {
                out.append(text, i, length);
            }
        }
        i += length;
    }
    return out + "\"";
}

// The string at `key` of `object`; "" when the key is missing or null.
std::string text_at(const ordered_json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? std::string() : it->get<std::string>();
}

// The array of strings at `key` of `object`; empty when missing or null.
std::vector<std::string> texts_at(const ordered_json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return {};
    return it->get<std::vector<std::string>>();
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

bool contains(const std::vector<std::string>& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// One gauge: its HELP and TYPE lines and its samples.
class gauge {
public:
    gauge(const char* name, const char* help) : name_(name), help_(help) {}

    void add(const std::vector<label>& labels, const std::string& value) {
        samples_ += name_;
        if (!labels.empty()) {
            samples_ += '{';
            for (size_t k = 0; k < labels.size(); ++k)
                samples_ += (k ? "," : "") + std::string(labels[k].first) + "=" +
                            label_value(labels[k].second);
            samples_ += '}';
        }
        samples_ += " " + value + "\n";
    }
    void add(const std::string& value) { add({}, value); }

    // The metric's lines; none when it has no sample (a report without disks).
    std::string text() const {
        if (samples_.empty()) return "";
        return "# HELP " + name_ + " " + help_ + "\n# TYPE " + name_ + " gauge\n" + samples_;
    }

private:
    std::string name_;
    std::string help_;
    std::string samples_;
};

}  // namespace

std::string metrics_text(const ordered_json& doc, std::chrono::system_clock::time_point run_time) {
    gauge info("nesk_disks_disk_info",
               "A disk nesk-disks listed: its state (new, not-new, skipped), the reasons it is "
               "not new and its cautions (comma-separated), and its identity; always 1.");
    gauge size("nesk_disks_disk_size_bytes", "Size of the disk in bytes (not known when skipped).");
    unsigned long long new_disks = 0;
    for (const ordered_json& disk : doc.at("disks")) {
        const std::string device = disk.at("device").get<std::string>();
        const std::string state = disk.at("state").get<std::string>();
        info.add({{"device", device},
                  {"state", state},
                  {"reasons", joined(texts_at(disk, "reasons"))},
                  {"cautions", joined(texts_at(disk, "cautions"))},
                  {"vendor", text_at(disk, "vendor")},
                  {"model", text_at(disk, "model")},
                  {"serial", text_at(disk, "serial")}},
                 "1");
        const auto bytes = disk.find("size_bytes");
        if (bytes != disk.end() && !bytes->is_null())
            size.add({{"device", device}}, std::to_string(bytes->get<std::uint64_t>()));
        if (state == "new") ++new_disks;
    }

    gauge count("nesk_disks_new_disks", "Number of new disks in the report.");
    count.add(std::to_string(new_disks));

    gauge complete("nesk_disks_report_complete",
                   "1 when every in-use enumeration succeeded; 0 when one failed, so that a "
                   "disk shown as new may be in use.");
    complete.add(doc.at("complete").get<bool>() ? "1" : "0");

    const std::vector<std::string> failed = texts_at(doc, "incomplete");
    const std::vector<std::string> late = texts_at(doc, "timed_out");
    std::vector<std::string> names(std::begin(k_enumerations), std::end(k_enumerations));
    for (const auto* list : {&failed, &late})
        for (const std::string& name : *list)
            if (!contains(names, name)) names.push_back(name);
    gauge failures("nesk_disks_enumeration_failed",
                   "1 when the in-use enumeration (lvm, mount, raid) failed, else 0.");
    gauge timeouts("nesk_disks_enumeration_timed_out",
                   "1 when the in-use enumeration failed because a command did not finish "
                   "within the timeout, else 0.");
    for (const std::string& name : names) {
        failures.add({{"enumeration", name}}, contains(failed, name) ? "1" : "0");
        timeouts.add({{"enumeration", name}}, contains(late, name) ? "1" : "0");
    }

    gauge when("nesk_disks_run_timestamp_seconds",
               "Time of the nesk-disks run, in seconds since the epoch.");
    when.add(std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(run_time.time_since_epoch()).count()));

    return info.text() + size.text() + count.text() + complete.text() + failures.text() +
           timeouts.text() + when.text();
}

}  // namespace nesk_disks
