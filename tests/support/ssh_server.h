// A real OpenSSH server inside a NodeSandbox, for tests that reach a node over
// ssh: sshd runs in the foreground with a host key made for it and is stopped
// by its process id. Nothing of the host's ssh set-up is used or changed.
//
// Example (a node reached at 127.0.0.1 of a private network namespace):
//   NodeSandbox::enter_private_network();
//   NodeSandbox node;
//   prepare_ssh_login(node);
//   node.make_dir(node.work_dir() + "/ssh");
//   SshServer server(node.work_dir() + "/ssh");
//   ... ssh root@127.0.0.1 ...
#ifndef NESK_SSH_SERVER_H
#define NESK_SSH_SERVER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "node_sandbox.h"

namespace nesk_test {

// Lays out in `sandbox` what sshd and a login as root need: /root, /run and
// /var/log become overlays; /run/sshd (sshd's privilege separation directory)
// and /root/.ssh exist; root's ~/.bashrc is empty, so remote commands run
// through a node's plain bash, not whatever this machine's root has set up.
void prepare_ssh_login(NodeSandbox& sandbox);

class SshServer {
public:
    // Starts sshd listening on `address`:22, with its host key, configuration
    // and log in the existing directory `dir`, root allowed to log in by
    // password or key; returns once it accepts connections. Sessions get the
    // variables `session_env` ("NAME=VALUE") over sshd's own environment.
    // Throws std::runtime_error (with sshd's log) when sshd cannot start.
    explicit SshServer(const std::string& dir, const std::string& address = "127.0.0.1",
                       const std::vector<std::string>& session_env = {});
    // Waits for connections still winding down (a refused login's delay), so
    // that no session process outlives the server, then stops sshd.
    ~SshServer();
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;

    std::string log() const;
    // The public host key as a known_hosts line wants it after the host's
    // name: "ssh-ed25519 AAAA... comment".
    std::string host_key() const;

private:
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace nesk_test

#endif
