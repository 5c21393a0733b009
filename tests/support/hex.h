// Lower-case hex of a digest, shared by the test servers and the test support library.
#pragma once

#include <string>

namespace durl_test {

inline std::string to_hex(const unsigned char *bytes, unsigned int len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace durl_test
