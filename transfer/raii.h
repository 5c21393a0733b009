// Internal: owners for every libcurl and OpenSSL object, so each path releases what it made.
// Hand ownership on only with .release() at the hand-over point.
#pragma once

#include <dirent.h>

#include <memory>

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

namespace durl {

template <auto Fn>
struct Free {
    template <class T>
    void operator()(T *p) const noexcept {
        if (p) Fn(p);
    }
};

inline void free_bio(BIO *b) { BIO_free_all(b); }
inline void free_x509_stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
inline void free_ext_stack(STACK_OF(X509_EXTENSION) * s) {
    sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free);
}
inline void free_openssl(void *p) { OPENSSL_free(p); }

using CurlPtr = std::unique_ptr<CURL, Free<curl_easy_cleanup>>;
using CurlSlistPtr = std::unique_ptr<curl_slist, Free<curl_slist_free_all>>;
using CurlCharPtr = std::unique_ptr<char, Free<curl_free>>;

using BioPtr = std::unique_ptr<BIO, Free<free_bio>>;
using X509Ptr = std::unique_ptr<X509, Free<X509_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, Free<X509_REQ_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Free<X509_NAME_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Free<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Free<X509_STORE_CTX_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Free<free_x509_stack>>;
using X509ExtPtr = std::unique_ptr<X509_EXTENSION, Free<X509_EXTENSION_free>>;
using X509ExtStackPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), Free<free_ext_stack>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Free<BN_free>>;
using RsaPtr = std::unique_ptr<RSA, Free<RSA_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, Free<SSL_CTX_free>>;
using Asn1IntPtr = std::unique_ptr<ASN1_INTEGER, Free<ASN1_INTEGER_free>>;
using OpensslCharPtr = std::unique_ptr<char, Free<free_openssl>>;

// stdio owner
struct FileCloser {
    void operator()(FILE *f) const noexcept {
        if (f) fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// directory stream owner
using DirPtr = std::unique_ptr<DIR, Free<closedir>>;

}  // namespace durl
