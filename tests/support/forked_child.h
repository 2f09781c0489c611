// Running test code in a forked child, for steps that must not touch the test
// process itself (mount namespaces, chroot).
#ifndef NESK_TEST_FORKED_CHILD_H
#define NESK_TEST_FORKED_CHILD_H

#include <functional>
#include <string>

namespace nesk_test {

// Runs `body` in a forked child that ends with _exit(body()). Returns the
// child's exit code, 128 + the signal when it was killed, 125 when `body`
// threw, or -1 when fork or wait failed.
int run_in_child(const std::function<int()>& body);

// A forked child running `body` (ending with _exit(body()), 125 when it
// threw) while the test goes on. The destructor kills a child still running
// and reaps it, unless it does not end within a second (stuck in the kernel,
// e.g. on a stalled device): then it is left to end on its own.
class BackgroundChild {
public:
    explicit BackgroundChild(const std::function<int()>& body);
    ~BackgroundChild();
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;

    // True when the child has not ended `milliseconds` from now.
    bool still_running_after(int milliseconds);
    // Waits for the end and returns the code as run_in_child does.
    int wait();

private:
    // Reaps the child if it has ended (waits at most `milliseconds`).
    bool reap_within(int milliseconds);

    int pid_ = -1;
    int code_ = -1;
};

// For use inside run_in_child: moves the calling process into a new mount
// namespace and makes every mount in it private, so nothing mounted from now
// on is seen outside. False (errno set) on failure.
bool enter_private_mount_namespace();

// Runs `body` in a forked child (as run_in_child) and returns the text it
// returned, or "child failed: <code>" when it did not return normally.
std::string text_from_child(const std::function<std::string()>& body);

// For use inside run_in_child: moves the calling process into a new UTS
// namespace named `host_name`, so the host's name stays as it is. False
// (errno set) on failure.
bool enter_private_uts_namespace(const std::string& host_name);

}  // namespace nesk_test

#endif
