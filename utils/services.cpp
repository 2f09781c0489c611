// systemd service control through systemctl, and removal of the node's
// operating-system subscription.
//
// systemctl's status results: 0 the unit is active, 3 it is inactive or
// failed, 4 and above it does not exist or cannot be queried.
#include "nesk_utils.h"

#include "ZavProcess.h"
#include "run_command.h"

namespace {

const int k_status_inactive = 3;
const int k_status_unknown = 4;

const char k_active_running[] = "Active: active (running)";
const char k_inactive_dead[] = "Active: inactive (dead)";
const char k_failed[] = "Active: failed";

bool contains(const std::string& text, const char* wanted) {
    return text.find(wanted) != std::string::npos;
}

}  // namespace

int nesk_utils::service_status(std::string service, std::string& output, std::string& errors) {
    const std::string command = "systemctl status " + service;
    return ZavProcess::system(command.c_str(), &output, &errors, 0, false);
}

int nesk_utils::stopservice(std::string service) {
    std::string output;
    std::string errors;
    const int status = service_status(service, output, errors);
    if (status > k_status_inactive) return k_status_unknown;
    if (status == k_status_inactive && contains(output, k_inactive_dead)) return k_status_inactive;

    if (run_quietly("systemctl stop " + service) != 0) return -1;

    // "systemctl stop" prints nothing about the unit's state: ask again. A
    // unit whose stop made it fail is stopped all the same.
    if (service_status(service, output, errors) == k_status_inactive &&
        (contains(output, k_inactive_dead) || contains(output, k_failed)))
        return k_status_inactive;
    return -1;
}

int nesk_utils::startservice(std::string service) {
    std::string output;
    std::string errors;
    const int status = service_status(service, output, errors);
    if (status > k_status_inactive) return k_status_unknown;
    if (status == 0 && contains(output, k_active_running)) return 0;

    return run_quietly("systemctl start " + service) == 0 ? 0 : -1;
}

int nesk_utils::disableservice(std::string service, bool stop_first) {
    if (stop_first) {
        const int stopped = stopservice(service);
        if (stopped == k_status_unknown) return k_status_unknown;
        if (stopped != k_status_inactive) return -1;
    }
    return run_quietly("systemctl disable " + service) == 0 ? 0 : -1;
}

int nesk_utils::systemctl_reload_cmd() { return run_quietly("systemctl daemon-reload"); }

int nesk_utils::manage_subscriptions() {
    static const char function[] = "nesk_utils::manage_subscriptions";
    const std::string command = "/usr/sbin/subscription-manager unregister 2>&1";
    debug_log.logMessage(function, 2, "command [%s]", command.c_str());

    std::list<std::string> lines;
    if (nesk_utils::popen(command, lines, 100) == 0) {
        debug_log.logMessage(function, 0, "Removed an active subscription");
    } else {
        const std::string first = lines.empty() ? "(no output)" : lines.front();
        debug_log.logMessage(function, 2, "command [%s] failed with error [%s]", command.c_str(),
                             first.c_str());
    }
    return 0;
}
