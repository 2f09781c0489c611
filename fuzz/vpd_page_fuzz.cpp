// The VPD page decoders on arbitrary page bytes. Unit Serial Number (0x80): a
// page of 1 to 3 bytes is refused, anything longer gives the at most L bytes
// from byte 4 on (L = byte 3). Device Identification (0x83): a World Wide Name
// is "0x" and the hex digits of designator bytes found in the page, or
// nothing.
#include <algorithm>
#include <string>

#include "device_data.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

namespace {

void check_serial(const uint8_t* data, size_t size, const std::string& page) {
    std::string serial = "unchanged";
    bool decoded = decode_vpd_serial(page, serial);
    if (size == 0) {
        expect(decoded && serial.empty(), "an empty page gives an empty serial");
    } else if (size < 4) {
        expect(!decoded && serial == "unchanged", "a page of 1 to 3 bytes must be refused");
    } else {
        size_t length = std::min<size_t>(data[3], size - 4);
        expect(decoded, "a page of 4 bytes or more must decode");
        expect(serial.size() == length && page.compare(4, length, serial) == 0,
               "the serial is not the L bytes from byte 4 on");
    }
}

void check_naa(const std::string& page) {
    std::string wwn = "unchanged";
    bool decoded = decode_vpd_naa(page, wwn);
    expect(decoded == !wwn.empty(), "a name is given exactly when one is found");
    if (!decoded) return;
    const std::string digits = wwn.substr(2);
    expect(wwn.compare(0, 2, "0x") == 0 && !digits.empty() && digits.size() % 2 == 0 &&
               digits.find_first_not_of("0123456789abcdef") == std::string::npos,
           "a name is 0x and lower-case hex digit pairs");
    std::string designator;
    for (size_t i = 0; i < digits.size(); i += 2)
        designator += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    expect(page.find(designator, 8) != std::string::npos,
           "the name's bytes are a designator after the first descriptor header");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string page(reinterpret_cast<const char*>(data), size);
    check_serial(data, size, page);
    check_naa(page);
    return 0;
}
