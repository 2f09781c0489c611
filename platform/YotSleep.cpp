// Sleep on the monotonic clock towards an absolute deadline, so that a signal
// handler interrupting the sleep neither shortens it nor makes it drift.
#include "YotSleep.h"

#include <time.h>

#include <cerrno>

namespace {

// For a clock that cannot sleep to a deadline: relative sleeps, resumed with
// the remaining time after each interruption.
void sleep_relative(int milliseconds) {
    struct timespec remaining = {milliseconds / 1000,
                                 static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

void YOTSLEEP_InTeRnAl(int milliseconds, const char*, int) {
    if (milliseconds <= 0) return;
    struct timespec deadline;
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return sleep_relative(milliseconds);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // clock_nanosleep returns the error number instead of setting errno.
    int rc;
    while ((rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr)) == EINTR) {
    }
    if (rc != 0) sleep_relative(milliseconds);
}
