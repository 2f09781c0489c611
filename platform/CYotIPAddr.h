// Name resolver of the host platform.
#ifndef NESK_PLATFORM_CYOTIPADDR_H
#define NESK_PLATFORM_CYOTIPADDR_H

#include <cstdint>
#include <memory>
#include <string>

#include "nesk_export.h"

// Result of a resolver call: a signed code (negative is an error) and, for
// errors, a shared description.
class NESK_EXPORT CYotError {
public:
    CYotError() = default;
    explicit CYotError(int32_t code, std::string message = std::string());

    bool IsError() const { return code_ < 0; }
    int32_t GetCode() const { return code_; }
    // The description of an error, or "" for success.
    const char* GetMessage() const;

private:
    struct Detail;
    int32_t code_ = 0;
    std::shared_ptr<const Detail> detail_;
};

// A text that reads as "" when it holds nothing.
class NESK_EXPORT CYotString {
public:
    CYotString() = default;
    explicit CYotString(std::string text) : text_(std::move(text)) {}
    operator const char*() const { return text_.c_str(); }
    const std::string& str() const { return text_; }
    void assign(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};

// An IPv4 or IPv6 address.
class NESK_EXPORT CYotIPAddr {
public:
    // Values follow the kernel's address families.
    enum IP_FAMILY { IP_FAMILY_ANY = 0, IP_FAMILY_IPV4 = 2, IP_FAMILY_IPV6 = 10 };

    CYotIPAddr() = default;

    // Resolves `name` (a host name or a numeric address) and stores the first
    // address of `family` in `address`. Errors: -1 for a null or empty name or an
    // unsupported family, -2 when the name does not resolve (the message then
    // holds the resolver's text); `address` is unchanged on error.
    static CYotError GetByName(const char* name, CYotIPAddr& address, IP_FAMILY family);

    // Fills `text` with the address in its printable form (dotted quad for IPv4).
    // Error -1 when the object holds no address.
    CYotError GetAddressString(CYotString& text) const;

    IP_FAMILY GetFamily() const { return family_; }

private:
    IP_FAMILY family_ = IP_FAMILY_ANY;
    unsigned char bytes_[16] = {};
};

#endif
