// Builds the simulated node of demo_node.h in a private mount namespace and
// runs nesk-disks on it, as a provisioning engineer would on a real node.
//
// Usage: nesk-demo-node PATH-TO-nesk-disks
// Exit status: that of the last nesk-disks run; 77 when no simulated node can
// be made here (not root); 1 when building the node failed.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "demo_node.h"
#include "node_sandbox.h"
#include "real_devices.h"
#include "test_support.h"

namespace {

using namespace nesk_test;

int show(const std::string& tool, const std::vector<std::string>& args) {
    std::vector<std::string> argv{tool};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string shown = "nesk-disks";
    for (const std::string& a : args) shown += " " + a;
    std::printf("\n$ %s\n", shown.c_str());
    std::fflush(stdout);
    std::string output;
    int code = run_program(argv, &output);
    std::printf("%s(exit status %d)\n", output.c_str(), code);
    std::fflush(stdout);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: nesk-demo-node PATH-TO-nesk-disks\n");
        return 2;
    }
    const std::string tool = argv[1];
    const std::string why = NodeSandbox::unavailable_reason();
    if (!why.empty()) {
        std::fprintf(stderr, "nesk-demo-node: cannot build a simulated node: %s\n", why.c_str());
        return 77;
    }
    try {
        DemoDisks disks;
        NodeSandbox sandbox;
        ScopedPlatform platform;
        DemoNode node(sandbox, disks);

        std::printf(
            "A simulated node (private mount namespace: its own /sys, /dev, /tmp and\n"
            "/proc/devices; real loop devices, XFS, LVM and mounts; mdadm answers with\n"
            "a recorded listing, so that no md driver is needed):\n\n");
        for (const std::string& line : DemoNode::description()) std::printf("  %s\n", line.c_str());

        show(tool, {"--all"});
        const size_t seen = platform.log_lines().size();
        show(tool, {});
        std::printf("\nIts decisions, from the library's log (NESK_LOG_DIR/NESKUtils.log):\n");
        std::vector<std::string> lines = platform.log_lines();
        for (size_t i = seen; i < lines.size(); ++i) {
            // Without timestamp and process id.
            size_t function = lines[i].find("nesk_blkdevmgr::");
            if (function != std::string::npos) std::printf("  %s\n", lines[i].c_str() + function);
        }
        std::printf(
            "\nThe library calls /dev/sdj new: nothing uses it and it has no stamp. Its\n"
            "ext4 file system is a caution; --strict leaves such disks out:\n");
        show(tool, {"--strict"});
        int code = show(tool, {"--json", "--min-size", "1G"});
        return code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "nesk-demo-node: %s\n", e.what());
        return 1;
    }
}
