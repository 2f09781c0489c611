// nesk-disks: the size argument parser and the JSON string writer, in a
// library of their own so that their tests and fuzz targets link them alone.
#pragma once

#include <cstddef>
#include <string>

namespace nesk_disks {

// SIZE: decimal digits, optionally followed by one of K, M, G or T (either
// case, powers of 1024). True with the value in `size`; false, `size`
// unchanged, for anything else or a value above 2^64 - 1.
bool parse_size(const std::string& text, unsigned long long& size);

// Length of the well-formed UTF-8 sequence (RFC 3629) starting at `p`, of
// which `available` bytes may be read; 0 when there is none.
size_t utf8_sequence_length(const unsigned char* p, size_t available);

// `text` as a JSON string, quotes included: quote, backslash and control
// characters escaped; bytes that are not valid UTF-8 become U+FFFD.
std::string json_string(const std::string& text);

}  // namespace nesk_disks
