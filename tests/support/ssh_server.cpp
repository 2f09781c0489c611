#include "ssh_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "fd_util.h"
#include "real_devices.h"
#include "test_support.h"

extern char** environ;

namespace nesk_test {

namespace {

bool port_open(const std::string& address) {
    nesk::unique_fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(22);
    if (::inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1)
        throw std::invalid_argument("not an IPv4 address: " + address);
    return sock.get() >= 0 &&
           ::connect(sock.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
}

}  // namespace

void prepare_ssh_login(NodeSandbox& sandbox) {
    for (const char* dir : {"/root", "/run", "/var/log"}) sandbox.overlay(dir);
    sandbox.make_dir("/run/sshd").make_dir("/root/.ssh");
    sandbox.write_file("/root/.bashrc", "");
}

SshServer::SshServer(const std::string& dir, const std::string& address,
                     const std::vector<std::string>& session_env)
    : dir_(dir) {
    const std::string key = dir + "/host_key";
    if (run_program({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key}) != 0)
        throw std::runtime_error("no host key");
    std::string config = "ListenAddress " + address + ":22\n"
                         "HostKey " + key + "\n"
                         "PidFile none\n"
                         "PermitRootLogin yes\n"
                         "PasswordAuthentication yes\n"
                         "KbdInteractiveAuthentication no\n"
                         "UsePAM no\n";
    for (const std::string& variable : session_env) config += "SetEnv \"" + variable + "\"\n";
    write_whole_file(dir + "/sshd_config", config);
    const std::string config_file = dir + "/sshd_config";
    const std::string log_file = dir + "/sshd.log";
    const char* argv[] = {"/usr/sbin/sshd", "-D",  "-f", config_file.c_str(),
                          "-E",             log_file.c_str(), nullptr};
    if (::posix_spawn(&pid_, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        throw std::runtime_error("cannot start sshd");
    for (int i = 0; i < 250 && !port_open(address); ++i) {
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("sshd ended: " + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SshServer::~SshServer() {
    if (pid_ <= 0) return;
    const std::string children =
        "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
    for (int i = 0; i < 250 && !read_whole_file(children).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
}

std::string SshServer::log() const { return read_whole_file(dir_ + "/sshd.log"); }

std::string SshServer::host_key() const { return read_whole_file(dir_ + "/host_key.pub"); }

}  // namespace nesk_test
