// The node's host name, name resolution, and the conversion between the dp
// form of a host name and its sp form.
#include "nesk_utils.h"

#include <unistd.h>

#include <cstring>

#include "CYotIPAddr.h"
#include "run_command.h"

namespace {

// The marker that ends the first label of an sp-form name under scheme 1.
const char k_sp_marker[] = "sds";
const int k_sp_marker_length = 3;

// The first label of a host name (up to the first ".") and the rest, which
// keeps its leading "." and is "" when there is none.
struct split_name {
    explicit split_name(const std::string& name) {
        const std::string::size_type dot = name.find('.');
        label = name.substr(0, dot);
        if (dot != std::string::npos) domain = name.substr(dot);
    }
    bool carries_marker() const {
        return nesk_utils::get_last_chars(label, k_sp_marker_length) == k_sp_marker;
    }
    std::string label;
    std::string domain;
};

}  // namespace

std::string nesk_utils::get_hostname() {
    std::string name;
    if (read_command_output("hostname", name) != 0) return std::string();
    // A host name is a C string: whatever follows a NUL byte is no part of it
    // and would end the name early wherever it is handed on.
    return trim(name.substr(0, name.find('\0')));
}

int nesk_utils::resolve_hname(std::string name, std::string& addr) {
    CYotIPAddr address;
    if (CYotIPAddr::GetByName(name.c_str(), address, CYotIPAddr::IP_FAMILY_IPV4).IsError())
        return -1;
    CYotString text;
    if (address.GetAddressString(text).IsError()) return -1;
    addr = static_cast<const char*>(text);
    return 0;
}

int nesk_utils::get_ws_hname(std::string& hname, std::string& addr) {
    // gethostname need not terminate a name that fills the buffer: the name
    // ends at the first NUL or at the end of the buffer, whichever comes first.
    char buffer[4096];
    const int result = ::gethostname(buffer, sizeof buffer);
    if (result != 0) return result;
    hname = dp_to_sp(std::string(buffer, ::strnlen(buffer, sizeof buffer)));
    return resolve_hname(hname, addr);
}

int nesk_utils::is_loop_back_hname(std::string name) {
    // Compared with the address of this node's sp-form name, not of the name
    // the system reports.
    std::string own_name;
    std::string own_addr;
    if (get_ws_hname(own_name, own_addr) != 0) return 0;
    std::string addr;
    if (resolve_hname(name, addr) != 0) return 0;
    return addr == own_addr ? 1 : 0;
}

std::string nesk_utils::dp_to_sp(std::string name) {
    if (get_sds_type() == 2) return name;
    split_name parts(name);
    if (!parts.carries_marker()) parts.label += k_sp_marker;
    return parts.label + parts.domain;
}

std::string nesk_utils::sp_to_dp(std::string name) {
    split_name parts(name);
    if (parts.carries_marker()) parts.label.resize(parts.label.size() - k_sp_marker_length);
    return parts.label + parts.domain;
}
