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

// The first PEM certificate of the bytes, else one DER certificate at their start, read
// from a file as OpenSSL's own certificate-file loader reads it (a file's lines end at a NUL
// byte there, unlike a memory buffer's).
inline X509 *reference_parse(const std::string &bytes) {
    const std::string path = scratch() + "reference";
    write_file(path, bytes);
    BIO *bio = BIO_new_file(path.c_str(), "r");
    X509 *x = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    if (!x && bio && BIO_reset(bio) == 0) x = d2i_X509_bio(bio, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    return x;
}

}  // namespace fuzz
