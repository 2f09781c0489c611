// Running test code in a forked child, for steps that must not touch the test
// process itself (mount namespaces, chroot).
#ifndef NESK_TEST_FORKED_CHILD_H
#define NESK_TEST_FORKED_CHILD_H

#include <sys/types.h>

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

// A forked child that sets itself up, tells the test it is ready, and stays
// until the test lets it go: a simulated node serving the test while it runs.
// The child keeps none of the test's descriptors but its standard streams, so
// that it never holds another child's pipe.
//
// Example:
//   ServingChild node([](const ServingChild::Ready& ready) {
//       NodeSandbox sandbox;  // in the child's own namespaces
//       ...
//       ready("127.1.1.2");   // returns once the test lets the child go
//       return 0;             // the sandbox is taken down on the way out
//   });
//   std::string address = node.wait_ready();
class ServingChild {
public:
    // Hands `text` to the test (wait_ready returns it) and blocks until the
    // test lets the child go.
    using Ready = std::function<void(const std::string& text)>;
    // Forks a child that ends with _exit(body(ready)); one whose body throws
    // before it is ready hands the exception's text to wait_ready.
    explicit ServingChild(const std::function<int(const Ready&)>& body);
    // Lets the child go and waits for it, as finish().
    ~ServingChild();
    ServingChild(const ServingChild&) = delete;
    ServingChild& operator=(const ServingChild&) = delete;

    pid_t pid() const { return pid_; }
    // The text the child handed over once ready. Throws std::runtime_error,
    // with what the child said or its exit code, when it ended first.
    std::string wait_ready();
    // Lets the child go and waits for it. Returns its exit code, 128 + the
    // signal when it was killed, 125 when its body threw, -1 when waiting
    // failed (also on later calls).
    int finish();

private:
    pid_t pid_ = -1;
    int ready_fd_ = -1;    // read end: what the child hands over
    int release_fd_ = -1;  // write end: closed to let the child go
};

}  // namespace nesk_test

#endif
