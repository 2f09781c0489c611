// Name resolver and sleep.
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "CYotIPAddr.h"
#include "YotSleep.h"

TEST(CYotIPAddr, ResolvesAndPrints) {
    struct Case {
        const char* name;
        CYotIPAddr::IP_FAMILY family;
        const char* printed;
    };
    const Case cases[] = {
        {"127.0.0.1", CYotIPAddr::IP_FAMILY_IPV4, "127.0.0.1"},
        {"localhost", CYotIPAddr::IP_FAMILY_IPV4, "127.0.0.1"},
        {"10.1.2.3", CYotIPAddr::IP_FAMILY_ANY, "10.1.2.3"},
        {"::1", CYotIPAddr::IP_FAMILY_IPV6, "::1"},
        {"fe80::1:2", CYotIPAddr::IP_FAMILY_IPV6, "fe80::1:2"},
    };
    for (const Case& c : cases) {
        CYotIPAddr address;
        CYotError result = CYotIPAddr::GetByName(c.name, address, c.family);
        ASSERT_FALSE(result.IsError()) << c.name << ": " << result.GetMessage();
        EXPECT_STREQ("", result.GetMessage());
        CYotString text;
        EXPECT_FALSE(address.GetAddressString(text).IsError());
        EXPECT_STREQ(c.printed, text) << c.name;
    }
}

TEST(CYotIPAddr, ErrorsLeaveTheAddressAlone) {
    CYotIPAddr address;
    CYotString text;
    CYotError empty = address.GetAddressString(text);
    EXPECT_TRUE(empty.IsError());
    EXPECT_STREQ("", text);
    ASSERT_FALSE(CYotIPAddr::GetByName("127.0.0.1", address, CYotIPAddr::IP_FAMILY_IPV4).IsError());

    struct Case {
        const char* name;
        int family;
        int code;
    };
    const Case cases[] = {
        {"", 2, -1},
        {nullptr, 2, -1},
        {"127.0.0.1", 7, -1},
        {"no-such-host.invalid", 2, -2},
        {"::1", 2, -2},  // an IPv6 literal has no IPv4 address
    };
    for (const Case& c : cases) {
        CYotError result = CYotIPAddr::GetByName(
            c.name, address, static_cast<CYotIPAddr::IP_FAMILY>(c.family));
        EXPECT_TRUE(result.IsError()) << (c.name ? c.name : "(null)");
        EXPECT_EQ(c.code, result.GetCode()) << (c.name ? c.name : "(null)");
        EXPECT_STRNE("", result.GetMessage());
        // Copies share the description.
        CYotError copy;
        copy = result;
        EXPECT_EQ(result.GetMessage(), copy.GetMessage());
    }
    ASSERT_FALSE(address.GetAddressString(text).IsError());
    EXPECT_STREQ("127.0.0.1", text);
}

namespace {

volatile sig_atomic_t alarms = 0;
void count_alarm(int) { alarms = alarms + 1; }

double monotonic_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

}  // namespace

TEST(YotSleep, SleepsTheFullTimeThroughSignals) {
    // A handler without SA_RESTART interrupts the sleep every 20 ms.
    struct sigaction action = {}, saved;
    action.sa_handler = count_alarm;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGALRM, &action, &saved));
    struct itimerval timer = {{0, 20000}, {0, 20000}}, stopped = {}, saved_timer;
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &timer, &saved_timer));

    alarms = 0;
    double started = monotonic_ms();
    // Whole seconds and a remainder both count.
    YOTSLEEP_InTeRnAl(1050, "platform_net_sleep_test", __LINE__);
    double elapsed = monotonic_ms() - started;
    int interruptions = alarms;

    setitimer(ITIMER_REAL, &stopped, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_GE(elapsed, 1050.0);
    EXPECT_LT(elapsed, 2000.0);
    EXPECT_GE(interruptions, 3) << "the signals did not arrive during the sleep";
}
