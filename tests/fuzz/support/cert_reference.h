// What OpenSSL itself reads from a certificate file's bytes, and a name written back as
// subject text, for comparing the library's readers and subject parser with it.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <string>

#include "harness.h"

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

inline std::string escaped(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '/' || c == '=' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

// The name as subject text: numeric types, UTF-8 values, separators escaped. Empty when a
// value can't be written (a NUL inside it).
inline std::string as_text(X509_NAME *name) {
    std::string text;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY *e = X509_NAME_get_entry(name, i);
        char oid[128];
        OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(e), 1);
        unsigned char *utf8 = nullptr;
        const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(e));
        if (len < 0) return "";
        const std::string value(reinterpret_cast<char *>(utf8), static_cast<size_t>(len));
        OPENSSL_free(utf8);
        if (value.find('\0') != std::string::npos) return "";
        text += "/" + escaped(oid) + "=" + escaped(value);
    }
    return text;
}

}  // namespace fuzz
