// A short inventory of the node: releases, kernel, storage-software versions,
// serial number, installed packages and loaded kernel modules.
#include "nesk_utils.h"

#include <algorithm>
#include <cctype>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/tokenizer.hpp>

#include "YotSleep.h"
#include "kernel_paths.h"
#include "run_command.h"

namespace {

const char k_source_name[] = "nesk_utils";

// dmidecode and rpm are given this long to settle before their output is read.
const int k_settle_ms = 100;

// The value in the table "gluster volume get all cluster.op-version" prints,
// picked as "awk 'FNR == 3 {print $2}'" picks it: the second word (words
// separated by blanks and tabs) of the third line, after the heading and the
// rule; "" when there is none.
std::string op_version_of(const std::string& table) {
    std::string::size_type start = 0;
    for (int line = 0; line < 2; ++line) {
        const std::string::size_type feed = table.find('\n', start);
        if (feed == std::string::npos) return std::string();
        start = feed + 1;
    }
    const std::string line = table.substr(start, table.find('\n', start) - start);
    const boost::char_separator<char> blanks(" \t");
    const boost::tokenizer<boost::char_separator<char>> words(line, blanks);
    auto word = words.begin();
    if (word == words.end() || ++word == words.end()) return std::string();
    return *word;
}

}  // namespace

int nesk_utils::get_os_release(std::string& release) {
    release = read("/etc/redhat-release");
    return 0;
}

int nesk_utils::get_rhgs_version(std::string& version) {
    version = read("/etc/redhat-storage-release");
    return 0;
}

int nesk_utils::get_kernel_version(std::string& version) {
    return read_command_output("uname -r", version);
}

int nesk_utils::get_gluster_version(std::string& version) {
    // Every line of the banner, not only the version number.
    return read_command_output("glusterfs --version", version);
}

int nesk_utils::get_gluster_operating_version(std::string& version) {
    // gluster runs alone and its table is read here, so that its own status
    // decides: a filter after it in the shell line would hide a failing query.
    std::string table;
    const int status =
        ZavProcess::system("gluster volume get all cluster.op-version", &table, nullptr, 0, false);
    if (status != 0) return status;
    version = trim(op_version_of(table));
    return 0;
}

int nesk_utils::get_serial_number(std::string& serial) {
    // The popen runner leaves the list alone only when the command could not be
    // started; a started one replaces it with trimmed pieces, none of which can
    // end in a line feed like this marker.
    const std::string not_started = "\n";
    std::list<std::string> lines{not_started};
    nesk_utils::popen("dmidecode -s system-serial-number", lines, k_settle_ms);
    if (lines.size() == 1 && lines.front() == not_started) {
        YOTSLEEP_InTeRnAl(k_settle_ms, k_source_name, __LINE__);
        return -1;
    }
    // Only the first line counts; a command that printed nothing leaves the
    // caller's text to be normalised.
    if (!lines.empty()) serial = lines.front();

    // Every white-space character goes, at the ends and inside.
    serial.erase(std::remove_if(serial.begin(), serial.end(),
                                [](char c) { return std::isspace(static_cast<unsigned char>(c)); }),
                 serial.end());
    boost::algorithm::to_lower(serial);  // as the process's global locale has it
    return 0;
}

int nesk_utils::check_rpm(const std::string& package) {
    std::list<std::string> output;
    return nesk_utils::popen("rpm -q " + package, output, k_settle_ms);
}

int nesk_utils::get_lkm_list(std::list<std::string>& modules) {
    // A command that cannot be started leaves the list empty.
    modules.clear();
    nesk_utils::popen(std::string("cat ") + nesk::kernel::proc_modules + " | awk '{print $1}'",
                      modules, 0);
    return 0;
}
