// ssh key distribution between the nodes, and listing and removing files on a
// peer node as root.
#include "nesk_utils.h"
#include "run_command.h"

int nesk_utils::generate_ssh_keys(std::string key_file) {
    // An empty passphrase: the two quotes reach the shell as an empty argument.
    return run_quietly("/usr/bin/ssh-keygen -f " + key_file + " -N " + "''");
}

int nesk_utils::copy_ssh_keys(std::string key_file, std::string host, std::string password) {
    // sshpass takes the password from its environment: the shell sets the
    // variable from the caller's text (quoted as the caller quoted it) and
    // replaces itself with sshpass, so the password stays on no process's
    // command line while ssh-copy-id runs, only on the shell's own as it starts.
    return run_quietly("SSHPASS=" + password +
                       " exec /usr/bin/sshpass -e ssh-copy-id -f -o StrictHostKeyChecking=no -i " +
                       key_file + " root@" + host);
}

int nesk_utils::get_remote_dir_contents(std::string host, std::string directory,
                                        std::list<std::string>& entries) {
    return nesk_utils::popen("ssh root@" + host + " /usr/bin/ls " + directory + " 2>/dev/null",
                             entries, 200);
}

int nesk_utils::delete_remote_file(std::string host, std::string file) {
    return run_quietly("ssh root@" + host + " /usr/bin/rm " + file + " 2>/dev/null");
}
