// Shared pieces of the fuzz targets: input splitting, a scratch directory, a log hook that
// formats every line (so format and argument mistakes show under the sanitizers), and
// property checks that stop the run with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <openssl/ssl.h>

namespace fuzz {

// Reads control bytes and '\x01'-separated parts from the front of an input.
class Input {
public:
    Input(const uint8_t *data, size_t size) : p_(data), n_(size) {}
    uint8_t byte() {
        if (!n_) return 0;
        --n_;
        return *p_++;
    }
    uint32_t u16() { return static_cast<uint32_t>(byte()) | (static_cast<uint32_t>(byte()) << 8); }
    // Up to the next separator (consumed) or the end.
    std::string part();
    std::string rest();
    bool empty() const { return n_ == 0; }

private:
    const uint8_t *p_;
    size_t n_;
};

// Initialises the library once with the formatting hook. Lines are kept while
// capture_log(true) is in force.
void init_library();
void capture_log(bool on);
const std::vector<std::string> &logged();

// Per-process scratch directory (ending in "/"), removed at exit.
const std::string &scratch();
void remove_tree(const std::string &path);
bool write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);
bool exists(const std::string &path);

// Byte sum of the input: a control value for targets whose input is a whole file, so every
// byte still belongs to the file.
unsigned checksum(const uint8_t *data, size_t size);

[[noreturn]] void fail(const char *file, int line, const char *what);

}  // namespace fuzz

#define FUZZ_CHECK(cond)                                    \
    do {                                                    \
        if (!(cond)) fuzz::fail(__FILE__, __LINE__, #cond); \
    } while (0)

namespace fuzz {

// A self-signed CA certificate (SHA-256, RSA of bits) written as PEM to cert_path and its
// unencrypted key to key_path. Aborts when OpenSSL can't make it.
void make_ca(int bits, const char *cn, const std::string &cert_path, const std::string &key_path);

// A TLS session as a transfer sees it: a client connected over memory to a server whose
// self-signed certificate carries the given common name (the peer's texts are the outside
// input). False when no session could be made (a name OpenSSL refuses, for one).
struct TlsPair {
    SSL *client = nullptr, *server = nullptr;
    ~TlsPair();
};
bool tls_pair(TlsPair &s, const std::string &cn);

}  // namespace fuzz
