// nesk-disks' report as metrics: the Prometheus text exposition format (0.0.4)
// that node_exporter's textfile collector reads from its directory. The names,
// labels and meaning of the metrics are described in docs/metrics.md.
#pragma once

#include <chrono>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace nesk_disks {

// The report `doc`, nesk-disks' JSON document (as --json prints it), as the
// text of a .prom file, each metric with its HELP and TYPE lines, every line
// ended by a line feed:
//   nesk_disks_disk_info{device,state,reasons,cautions,vendor,model,serial} 1
//       per disk, reasons and cautions comma-separated, a null identity "";
//   nesk_disks_disk_size_bytes{device} per disk whose size is known;
//   nesk_disks_new_disks, the disks whose state is "new";
//   nesk_disks_report_complete, 1 or 0;
//   nesk_disks_enumeration_failed{enumeration} and
//   nesk_disks_enumeration_timed_out{enumeration}, 1 or 0 for "lvm", "mount",
//       "raid" and any other enumeration the document names;
//   nesk_disks_run_timestamp_seconds, `run_time` in whole seconds since the
//       epoch.
// Label values are valid UTF-8 (a byte that is not becomes U+FFFD) with
// backslash, double quote and line feed escaped. Keys of the document that
// are not read here are ignored; "complete", "disks" and each disk's "device"
// and "state" must be present, any other key may be missing or null. Throws
// nlohmann::json::exception when a key that is read is missing or has another
// type.
std::string metrics_text(const nlohmann::ordered_json& doc,
                         std::chrono::system_clock::time_point run_time);

}  // namespace nesk_disks
