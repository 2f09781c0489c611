// Node-specific pseudo-random material: an identity key with its digest, and
// MT19937 output from a given seed.
#include <sys/time.h>

#include <boost/random/mersenne_twister.hpp>

#include "MurmurHash3.h"
#include "nesk_utils.h"

unsigned int nesk_utils::generate_prg_key(std::string& key) {
    std::string text;

    // Hardware addresses in the old net-tools format ("... HWaddr 00:0c:..").
    // Blank output lines add nothing, so no field is empty.
    std::list<std::string> addresses;
    nesk_utils::popen("ifconfig | grep HWaddr | awk '{print $5}'", addresses, 0);
    for (const std::string& address : addresses) append(text, address, ":");

    append(text, get_hostname(), ":");

    struct timeval now;
    if (::gettimeofday(&now, nullptr) == 0) {
        append(text, ulong_to_string(static_cast<unsigned long>(now.tv_sec)), ":");
        append(text, ulong_to_string(static_cast<unsigned long>(now.tv_usec)), ":");
    }

    uint32_t digest = 0;
    MurmurHash3_x86_32(text.data(), static_cast<int>(text.size()), 0, &digest);
    key = text;
    return digest;
}

void nesk_utils::generate_prg_data(unsigned int seed, unsigned int* buf, unsigned int count) {
    boost::random::mt19937 generator(seed);
    for (unsigned int i = 0; i < count; ++i) buf[i] = generator();
}
