// Name resolver on getaddrinfo, printing with inet_ntop.
#include "CYotIPAddr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

struct CYotError::Detail {
    std::string message;
};

CYotError::CYotError(int32_t code, std::string message) : code_(code) {
    if (code < 0) detail_ = std::make_shared<const Detail>(Detail{std::move(message)});
}

const char* CYotError::GetMessage() const {
    return code_ < 0 && detail_ ? detail_->message.c_str() : "";
}

namespace {

struct AddrinfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

CYotError CYotIPAddr::GetByName(const char* name, CYotIPAddr& address, IP_FAMILY family) {
    if (!name || !*name) return CYotError(-1, "no host name given");
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    switch (family) {
        case IP_FAMILY_ANY: hints.ai_family = AF_UNSPEC; break;
        case IP_FAMILY_IPV4: hints.ai_family = AF_INET; break;
        case IP_FAMILY_IPV6: hints.ai_family = AF_INET6; break;
        default: return CYotError(-1, "unsupported address family " + std::to_string(family));
    }
    hints.ai_socktype = SOCK_STREAM;  // one entry per address instead of one per socket type

    addrinfo* raw = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &raw);
    std::unique_ptr<addrinfo, AddrinfoFree> list(raw);
    if (rc != 0) {
        std::string message = std::string(name) + ": " +
                              (rc == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(rc));
        return CYotError(-2, message);
    }
    for (const addrinfo* entry = list.get(); entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            address = CYotIPAddr();
            address.family_ = IP_FAMILY_IPV4;
            std::memcpy(address.bytes_, &in->sin_addr, sizeof in->sin_addr);
            return CYotError();
        }
        if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
            address = CYotIPAddr();
            address.family_ = IP_FAMILY_IPV6;
            std::memcpy(address.bytes_, &in6->sin6_addr, sizeof in6->sin6_addr);
            return CYotError();
        }
    }
    return CYotError(-2, std::string(name) + ": no address of the requested family");
}

CYotError CYotIPAddr::GetAddressString(CYotString& text) const {
    if (family_ != IP_FAMILY_IPV4 && family_ != IP_FAMILY_IPV6)
        return CYotError(-1, "no address");
    char printable[INET6_ADDRSTRLEN];
    if (!inet_ntop(family_ == IP_FAMILY_IPV4 ? AF_INET : AF_INET6, bytes_, printable,
                   sizeof printable))
        return CYotError(-1, std::strerror(errno));
    text.assign(printable);
    return CYotError();
}
