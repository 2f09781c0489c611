// ssh key distribution and remote listing and removal against a real OpenSSH
// server. The server runs on 127.0.0.1:22 of a private network namespace, with
// a host key made for the test and root's password in the sandbox's shadow
// file; root's home (keys, authorized_keys, known_hosts), /run and /var/log
// are overlays, so nothing of the host's ssh set-up changes.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "nesk_utils.h"
#include "node_sandbox.h"
#include "ssh_server.h"
#include "test_support.h"

namespace {

using namespace nesk_test;
using Lines = std::vector<std::string>;

const char k_password[] = "s3cret pw";
const char k_key[] = "/root/.ssh/id_rsa";
const char k_host[] = "127.0.0.1";

class RemoteTest : public SandboxTest {
protected:
    void SetUp() override {
        if (auto why = NodeSandbox::enter_private_network(); !why.empty()) GTEST_SKIP() << why;
        SandboxTest::SetUp();
        if (IsSkipped()) return;
        prepare_ssh_login(sandbox());
        sandbox().set_password("root", k_password).add_pseudo_terminals();
        sandbox().make_dir("/tmp/remote/full").make_dir("/tmp/remote/empty");
        sandbox().write_file("/tmp/remote/full/alpha", "").write_file("/tmp/remote/full/beta", "");
        sandbox().make_dir(sandbox().work_dir() + "/ssh");
        server_ = std::make_unique<SshServer>(sandbox().work_dir() + "/ssh");
        sandbox().record_shell();
    }
    void TearDown() override {
        server_.reset();
        SandboxTest::TearDown();
    }
    // True when the shell was handed exactly `line`.
    bool ran(const std::string& line) {
        const Lines log = sandbox().shell_log();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    std::unique_ptr<SshServer> server_;
};

TEST_F(RemoteTest, KeyPairMadeAndInstalledWithThePassword) {
    ASSERT_EQ(nesk_utils::generate_ssh_keys(k_key), 0);
    const std::string public_key = read_whole_file(std::string(k_key) + ".pub");
    EXPECT_NE(public_key, "");
    EXPECT_TRUE(ran("/usr/bin/ssh-keygen -f /root/.ssh/id_rsa -N ''"));

    // While ssh-copy-id runs, the command lines of every process between this
    // test and it are noted.
    const std::string cmdlines = "/tmp/remote/cmdlines";
    sandbox().stub_script(
        "ssh-copy-id",
        "p=$$\n"
        "while [ \"$p\" -gt 1 ] && [ \"$p\" -ne " + std::to_string(::getpid()) + " ]; do\n"
        "  tr '\\0' ' ' < /proc/$p/cmdline; echo\n"
        "  p=$(awk '/^PPid:/ {print $2}' /proc/$p/status)\n"
        "done >> " + cmdlines + "\n"
        "PATH=\"${PATH#*:}\" exec ssh-copy-id \"$@\"\n");

    EXPECT_NE(nesk_utils::copy_ssh_keys(k_key, k_host, "wrong"), 0);
    EXPECT_EQ(read_whole_file("/root/.ssh/authorized_keys"), "");
    // The password goes into the shell line as given: the caller quotes it.
    EXPECT_EQ(nesk_utils::copy_ssh_keys(k_key, k_host, "'s3cret pw'"), 0) << server_->log();
    EXPECT_TRUE(ran("SSHPASS='s3cret pw' exec /usr/bin/sshpass -e ssh-copy-id -f -o "
                    "StrictHostKeyChecking=no -i /root/.ssh/id_rsa root@127.0.0.1"));
    EXPECT_EQ(read_whole_file("/root/.ssh/authorized_keys"), public_key);
    const std::string seen = read_whole_file(cmdlines);
    EXPECT_NE(seen.find("ssh-copy-id -f"), std::string::npos) << "no command lines noted";
    EXPECT_EQ(seen.find("s3cret"), std::string::npos) << seen;
}

TEST_F(RemoteTest, FilesListedAndRemovedOverSsh) {
    // Root's key, authorized on the server whose host key is known.
    ASSERT_EQ(std::system("/usr/bin/ssh-keygen -q -t ed25519 -N '' -f /root/.ssh/id_ed25519"), 0);
    sandbox().write_file("/root/.ssh/authorized_keys",
                         read_whole_file("/root/.ssh/id_ed25519.pub"));
    sandbox().write_file("/root/.ssh/known_hosts",
                         "127.0.0.1 " + server_->host_key());

    struct Listing {
        const char* dir;
        int result;
        std::list<std::string> entries;
    };
    for (const Listing& c : {Listing{"/tmp/remote/full", 0, {"alpha", "beta"}},
                             Listing{"/tmp/remote/empty", 0, {}},
                             Listing{"/tmp/remote/missing", 2 * 256, {}}}) {
        SCOPED_TRACE(c.dir);
        std::list<std::string> entries = {"stale"};
        EXPECT_EQ(nesk_utils::get_remote_dir_contents(k_host, c.dir, entries), c.result)
            << server_->log();
        EXPECT_EQ(entries, c.entries);
        EXPECT_TRUE(ran("ssh root@127.0.0.1 /usr/bin/ls " + std::string(c.dir) + " 2>/dev/null"));
    }

    EXPECT_EQ(nesk_utils::delete_remote_file(k_host, "/tmp/remote/full/alpha"), 0);
    EXPECT_NE(::access("/tmp/remote/full/alpha", F_OK), 0);
    EXPECT_TRUE(ran("ssh root@127.0.0.1 /usr/bin/rm /tmp/remote/full/alpha 2>/dev/null"));
    EXPECT_EQ(nesk_utils::delete_remote_file(k_host, "/tmp/remote/full/alpha"), 1);
    EXPECT_EQ(::access("/tmp/remote/full/beta", F_OK), 0);
}

}  // namespace
