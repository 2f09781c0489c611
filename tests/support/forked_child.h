// Running test code in a forked child, for steps that must not touch the test
// process itself (mount namespaces, chroot).
#ifndef NESK_TEST_FORKED_CHILD_H
#define NESK_TEST_FORKED_CHILD_H

#include <functional>

namespace nesk_test {

// Runs `body` in a forked child that ends with _exit(body()). Returns the
// child's exit code, 128 + the signal when it was killed, 125 when `body`
// threw, or -1 when fork or wait failed.
int run_in_child(const std::function<int()>& body);

// For use inside run_in_child: moves the calling process into a new mount
// namespace and makes every mount in it private, so nothing mounted from now
// on is seen outside. False (errno set) on failure.
bool enter_private_mount_namespace();

}  // namespace nesk_test

#endif
