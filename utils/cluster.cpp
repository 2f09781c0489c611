// Commands of the Talus cluster software, run through its deploy tool as the
// admin user.
#include "cluster_tool.h"

#include <algorithm>
#include <string>
#include <vector>

#include "YotSleep.h"
#include "nesk_utils.h"

const std::string talus_deploy_script = "/opt/talus/bin/talus_deploy";

namespace {

// The tool's environment: TALUS_PUBKEY carries "1," (with the comma) as the
// tool expects it.
const char k_su_prefix[] = "su -c \"env TALUS_PUBKEY=1, TMPDIR=/tmp ";
const char k_su_suffix[] = " \"  admin";

const int k_node_query_attempts = 5;
const int k_first_pause_ms = 100;

// The cluster name in a line of the cluster listing, cut out as the filter
// 'tr -d " " | cut -d ":" -f 2 | cut -d "-" -f 1' cuts it: blanks dropped,
// then the second ":"-field (the whole line when it has no ":"), then that
// field up to its first "-".
std::string cluster_field(std::string line) {
    line.erase(std::remove(line.begin(), line.end(), ' '), line.end());
    const std::string::size_type colon = line.find(':');
    if (colon != std::string::npos) {
        const std::string::size_type next = line.find(':', colon + 1);
        line = line.substr(colon + 1, next == std::string::npos ? next : next - colon - 1);
    }
    return line.substr(0, line.find('-'));
}

}  // namespace

int nesk_utils::execute_talus_command(std::string command, std::string suffix,
                                      std::list<std::string>& lines) {
    std::string line = k_su_prefix + command + k_su_suffix;
    if (!suffix.empty()) line += " " + suffix;

    std::list<std::string> output;
    std::string errors;
    if (execute_command(line, output, errors, 100) != 0) return -1;
    if (output.empty()) return -1;
    lines.swap(output);
    return 0;
}

int nesk_utils::get_talus_cluster(std::string& cluster) {
    // The tool runs alone and its listing is filtered here, so that its own
    // status decides: a filter after it in the shell line would hide a
    // failing tool behind the filter's success.
    std::list<std::string> lines;
    if (execute_talus_command(talus_deploy_script + " --show_all_clusters ", "", lines) != 0)
        return -1;
    // The first line with something left after the cut answers, as the
    // filter's empty output lines would give no line at all.
    for (const std::string& line : lines) {
        const std::string name = cluster_field(line);
        if (name.empty()) continue;
        cluster = trim(name);
        return 0;
    }
    return -1;
}

int nesk_utils::get_talus_cluster_nodes(std::string& nodes) {
    std::string cluster;
    if (get_talus_cluster(cluster) != 0) return -1;

    const std::string command = talus_deploy_script + " --show_nodes --cluster_name " + cluster;
    std::list<std::string> lines;
    bool listed = false;
    int pause = k_first_pause_ms;
    for (int attempt = 0; attempt < k_node_query_attempts && !listed; ++attempt) {
        listed = execute_talus_command(command, "", lines) == 0;
        if (!listed) {
            YOTSLEEP_InTeRnAl(pause, "nesk_utils", __LINE__);
            pause *= 2;
        }
    }
    if (!listed) return -1;  // a successful query always lists something

    // A node record is exactly "hostname: <name>", words separated by blanks
    // only (a tab does not separate).
    char blank[] = " ";
    for (const std::string& line : lines) {
        std::vector<char> text(line.begin(), line.end());
        text.push_back('\0');
        std::vector<std::string> words;
        tokenize(text.data(), blank, words);
        if (words.size() == 2 && words[0] == "hostname:") nodes += trim(words[1]) + ",";
    }
    nodes = trim_right(nodes, ",");
    return 0;
}
