// Service control against a systemctl that behaves like systemd's for a few
// units (its status texts and exit codes 0, 3 and 4), and subscription removal
// against a scripted subscription-manager. Every command line the library hands
// to the shell is recorded.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "nesk_utils.h"
#include "node_sandbox.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Lines = std::vector<std::string>;

// Each unit's file holds its state (running, exited, dead, failed) and the
// states a stop and a start leave it in ("refuse": the job fails, exit 1).
const char k_systemctl[] = R"SH(units=/tmp/nesk-sandbox/units
if [ "$1" = daemon-reload ]; then exit "$(cat $units/.reload-status)"; fi
if [ ! -f "$units/$2" ]; then
    if [ "$1" = status ]; then echo "Unit $2.service could not be found." >&2; exit 4; fi
    echo "Failed to $1 $2.service: Unit $2.service not found." >&2; exit 5
fi
read state after_stop after_start < "$units/$2"
case $1 in
status)
    case $state in
    running) mark='●' rc=0 active='active (running) since Tue 2026-12-08 09:12:01 UTC; 1h 3min ago' ;;
    exited) mark='●' rc=0 active='active (exited) since Tue 2026-12-08 09:12:01 UTC; 1h 3min ago' ;;
    dead) mark='○' rc=3 active='inactive (dead)' ;;
    failed) mark='×' rc=3 active='failed (Result: exit-code) since Tue 2026-12-08 10:01:44 UTC; 14min ago' ;;
    esac
    echo "$mark $2.service - $2 daemon"
    echo "     Loaded: loaded (/usr/lib/systemd/system/$2.service; enabled; preset: disabled)"
    echo "     Active: $active"
    exit $rc ;;
stop) new=$after_stop ;;
start) new=$after_start ;;
disable)
    echo "Removed \"/etc/systemd/system/multi-user.target.wants/$2.service\"." >&2
    exit 0 ;;
esac
if [ "$new" = refuse ]; then echo "Job for $2.service failed." >&2; exit 1; fi
echo "$new $after_stop $after_start" > "$units/$2"
)SH";

class ServicesTest : public SandboxTest {
protected:
    void SetUpNode() override {
        sandbox().stub_script("systemctl", k_systemctl);
        reset_units();
        sandbox().record_shell();
    }
    void reset_units() {
        const char* const units[][2] = {
            {"web", "running dead running"},     {"idle", "dead dead running"},
            {"crashy", "running failed running"}, {"sticky", "running running running"},
            {"stuck", "running refuse running"},  {"crashed", "failed failed running"},
            {"oneshot", "exited dead running"},   {"broken", "dead dead refuse"},
        };
        for (const auto& unit : units)
            sandbox().write_file(unit_file(unit[0]), std::string(unit[1]) + "\n");
        sandbox().write_file(unit_file(".reload-status"), "0\n");
    }
    // The shell's command lines since the record held `from` of them.
    Lines commands_since(std::size_t from) {
        const Lines all = sandbox().shell_log();
        return Lines(all.begin() + static_cast<long>(std::min(from, all.size())), all.end());
    }
    std::string unit_file(const std::string& unit) {
        return sandbox().work_dir() + "/units/" + unit;
    }
};

TEST_F(ServicesTest, ResultsAndCommandsRun) {
    using nu = nesk_utils;
    struct Case {
        const char* what;
        std::function<int()> call;
        int result;
        Lines commands;
    };
    const std::string status = "systemctl status ";
    const Case cases[] = {
        {"stop a running service", [] { return nu::stopservice("web"); }, 3,
         {status + "web", "systemctl stop web", status + "web"}},
        {"stop a stopped service", [] { return nu::stopservice("idle"); }, 3, {status + "idle"}},
        {"stop leaves the unit failed", [] { return nu::stopservice("crashy"); }, 3,
         {status + "crashy", "systemctl stop crashy", status + "crashy"}},
        {"stop of a failed unit", [] { return nu::stopservice("crashed"); }, 3,
         {status + "crashed", "systemctl stop crashed", status + "crashed"}},
        {"stop succeeds, unit still running", [] { return nu::stopservice("sticky"); }, -1,
         {status + "sticky", "systemctl stop sticky", status + "sticky"}},
        {"stop job fails", [] { return nu::stopservice("stuck"); }, -1,
         {status + "stuck", "systemctl stop stuck"}},
        {"stop an unknown unit", [] { return nu::stopservice("nosuch"); }, 4, {status + "nosuch"}},
        {"start a running service", [] { return nu::startservice("web"); }, 0, {status + "web"}},
        {"start a stopped service", [] { return nu::startservice("idle"); }, 0,
         {status + "idle", "systemctl start idle"}},
        {"start an active service that is not running", [] { return nu::startservice("oneshot"); },
         0, {status + "oneshot", "systemctl start oneshot"}},
        {"start job fails", [] { return nu::startservice("broken"); }, -1,
         {status + "broken", "systemctl start broken"}},
        {"start an unknown unit", [] { return nu::startservice("nosuch"); }, 4,
         {status + "nosuch"}},
        {"disable a running service as it is", [] { return nu::disableservice("web", false); }, 0,
         {"systemctl disable web"}},
        {"disable a stopped service, stop first", [] { return nu::disableservice("idle", true); },
         0, {status + "idle", "systemctl disable idle"}},
        {"disable a running service, stop first", [] { return nu::disableservice("web", true); },
         0, {status + "web", "systemctl stop web", status + "web", "systemctl disable web"}},
        {"disable, stop fails", [] { return nu::disableservice("stuck", true); }, -1,
         {status + "stuck", "systemctl stop stuck"}},
        {"disable an unknown unit, stop first", [] { return nu::disableservice("nosuch", true); },
         4, {status + "nosuch"}},
        {"disable an unknown unit", [] { return nu::disableservice("nosuch", false); }, -1,
         {"systemctl disable nosuch"}},
        {"reload", [] { return nu::systemctl_reload_cmd(); }, 0, {"systemctl daemon-reload"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reset_units();
        const std::size_t before = sandbox().shell_log().size();
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(commands_since(before), c.commands);
    }
}

TEST_F(ServicesTest, StatusHandsBackBothStreams) {
    std::string output = "stale", errors = "stale";
    EXPECT_EQ(nesk_utils::service_status("web", output, errors), 0);
    EXPECT_NE(output.find("\n     Active: active (running) since"), std::string::npos) << output;
    EXPECT_EQ(errors, "");
    EXPECT_EQ(nesk_utils::service_status("nosuch", output, errors), 4);
    EXPECT_EQ(output, "");
    EXPECT_EQ(errors, "Unit nosuch.service could not be found.\n");
}

// The outcome shows only in the log; the tool's error output is read too.
TEST_F(ServicesTest, SubscriptionRemovalIsLogged) {
    const std::string command = "/usr/sbin/subscription-manager unregister 2>&1";
    const std::string function = "nesk_utils::manage_subscriptions: ";
    struct Case {
        const char* what;
        const char* script;
        std::string logged;
    };
    const Case cases[] = {
        {"unregistered",
         "echo 'Unregistering from: subscription.rhsm.redhat.com:443/subscription'\n"
         "echo 'System has been unregistered.'\n",
         "Removed an active subscription"},
        {"not registered",
         "echo 'This system is currently not registered.' >&2\nexit 1\n",
         "command [" + command + "] failed with error [This system is currently not registered.]"},
        {"fails silently", "exit 70\n",
         "command [" + command + "] failed with error [(no output)]"},
    };
    sandbox().overlay("/usr/sbin");
    platform().set_debug_level(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sandbox().write_program("/usr/sbin/subscription-manager",
                                std::string("#!/bin/sh\n") + c.script);
        const std::size_t before = platform().log_lines().size();
        nesk_utils utils;
        EXPECT_EQ(utils.manage_subscriptions(), 0);
        const Lines log = platform().log_lines();
        ASSERT_EQ(log.size(), before + 2);
        EXPECT_TRUE(has_line_containing({log[before]}, function + "command [" + command + "]"));
        EXPECT_TRUE(has_line_containing({log[before + 1]}, function + c.logged)) << log.back();
    }
    EXPECT_EQ(commands_since(0), Lines(3, command));
}

}  // namespace
