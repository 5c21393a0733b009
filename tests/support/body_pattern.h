// What the test HTTP server and the tests both compute: the pattern bodies the server sends
// and the lower-case hex it reports digests in.
//
// Byte i of every generated body is pattern_byte(i): printable, so bodies stay readable in
// logs, and not periodic, so a shifted, duplicated or dropped block changes the content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace durl_test {

inline char pattern_byte(uint64_t i) {
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    return alphabet[x % 62];
}

// Fills `out` with `n` pattern bytes starting at body offset `offset`.
inline void pattern_fill(char *out, size_t n, uint64_t offset) {
    for (size_t k = 0; k < n; ++k) out[k] = pattern_byte(offset + k);
}

// The body that GET /bytes/N serves (or its first `n` bytes).
inline std::string pattern_body(size_t n, uint64_t offset = 0) {
    std::string s(n, '\0');
    pattern_fill(&s[0], n, offset);
    return s;
}

inline std::string to_hex(const unsigned char *bytes, unsigned int len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) out += {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
    return out;
}

}  // namespace durl_test
