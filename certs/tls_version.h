// Internal: the protocol selectors of the ssl_version setting (DURL_OPT_SSL_VERSION), read by
// both halves: transfers hand the libcurl value to CURLOPT_SSLVERSION, and the certificate
// half's key/certificate pair check builds a TLS context speaking the selector's protocol.
//
// Selector 6 is TLS 1.3 in both halves. The certificate half once refused it only because
// the TLS library of the time offered no TLS 1.3 method; this one does, so a device set to
// TLS 1.3 can still install and check its certificate.
#pragma once

#include <cstdint>

#include <curl/curl.h>
#include <openssl/ssl.h>

struct durl_tls_version {
    long curl_version;  // CURLOPT_SSLVERSION value
    // The one protocol version of a pair-check context (TLS_method limited to it); 0: any
    // version; -1: a protocol this TLS library no longer has (SSLv2, SSLv3), so no context.
    int tls_version;
};

// Indexed by selector. No selector means TLS 1.0 exactly for libcurl: 3 lets it choose, and
// 4 already means TLS 1.1.
inline constexpr durl_tls_version kDurlTlsVersions[] = {
    {CURL_SSLVERSION_TLSv1, TLS1_VERSION},      // 0
    {CURL_SSLVERSION_SSLv2, -1},                // 1
    {CURL_SSLVERSION_SSLv3, -1},                // 2
    {CURL_SSLVERSION_DEFAULT, 0},               // 3, the setting's default
    {CURL_SSLVERSION_TLSv1_1, TLS1_1_VERSION},  // 4
    {CURL_SSLVERSION_TLSv1_2, TLS1_2_VERSION},  // 5
    {CURL_SSLVERSION_TLSv1_3, TLS1_3_VERSION},  // 6
};

// The row of a selector, or nullptr for one beyond the table (transfers then let libcurl
// choose; the pair check refuses it as "Wrong method").
inline const durl_tls_version *durl_tls_version_of(int32_t selector) {
    constexpr int32_t count =
        static_cast<int32_t>(sizeof kDurlTlsVersions / sizeof kDurlTlsVersions[0]);
    return selector >= 0 && selector < count ? &kDurlTlsVersions[selector] : nullptr;
}
