// nesk-disks: the size argument parser and writer, the JSON string writer and the
// message escaper, in a library of their own so that their tests and fuzz
// targets link them alone.
#pragma once

#include <cstddef>
#include <string>

namespace nesk_disks {

// SIZE as util-linux's tools read it: decimal digits, optionally a decimal
// fraction, then an optional unit. K, M, G, T and P (either case), alone or
// followed by "iB", are powers of 1024; followed by "B" they are powers of
// 1000 (1.5T is 1.5 * 2^40, 2GB is 2 * 10^9); the "B" may be written "b".
// Bytes are whole: a fraction needs a unit, and what it gives below one byte
// is dropped (0.3K is 307). True with the value in `size`; false, `size`
// unchanged, for anything else (signs, blanks, hexadecimal, other units) or
// a value above 2^64 - 1.
bool parse_size(const std::string& text, unsigned long long& size);

// Length of the well-formed UTF-8 sequence (RFC 3629) starting at `p`, of
// which `available` bytes may be read; 0 when there is none.
size_t utf8_sequence_length(const unsigned char* p, size_t available);

// `text` as one JSON string, written as nesk-disks writes every text of its
// JSON document (nlohmann::json with error_handler_t::replace): control
// characters escaped, and each byte that is not part of valid UTF-8 replaced
// by U+FFFD, so the result is always valid JSON.
std::string json_string(const std::string& text);

// `text` escaped for a message on standard error, as lsblk escapes its
// cells: control characters (C0, DEL and the C1 range U+0080-U+009F), bytes
// that are not valid UTF-8, and a backslash followed by "x" are written as
// "\xNN" (two lower-case hex digits per byte), so that the text is printable
// on one line and reads back without ambiguity. Everything else is kept.
std::string table_cell(const std::string& text);

// A size for a person, as lsblk shows it: the largest unit of 1024 (B, K, M,
// G, T, P, E) in which it is at least 1, with one decimal rounded half up
// and left out when it is 0: 512B, 1K, 1.5G, 768M, 16E.
std::string human_size(unsigned long long bytes);

}  // namespace nesk_disks
