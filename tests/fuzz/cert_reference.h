// What OpenSSL itself reads from a certificate file's bytes, for comparing the library's
// readers with it.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>

#include "fuzz_common.h"

namespace fuzz {

// The first PEM certificate of the bytes, else one DER certificate at their start.
inline X509 *reference_parse(const std::string &bytes) {
    BIO *bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    X509 *x = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!x) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data());
        x = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
    }
    ERR_clear_error();
    return x;
}

}  // namespace fuzz
