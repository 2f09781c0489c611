// The Unit Serial Number VPD page decoder on arbitrary page bytes: a page of
// 1 to 3 bytes is refused, anything longer gives the at most L bytes from
// byte 4 on (L = byte 3).
#include <algorithm>
#include <string>

#include "device_data.h"
#include "fuzz_util.h"

using nesk_fuzz::expect;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string page(reinterpret_cast<const char*>(data), size);
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
    return 0;
}
