// Test certificates, made with OpenSSL at test time (committed fixtures would expire).
//
// durl_test::pki() generates, once per test binary and on first use, a small PKI in a private
// temporary directory that is removed when the process exits. Every key is RSA 2048, every
// signature SHA-256, every certificate valid from yesterday for 100 years. All files are PEM;
// keys are unencrypted PKCS#8 ("BEGIN PRIVATE KEY"). RSA key generation dominates the cost, so
// only three keys are made (in parallel): one per CA and one shared by all end-entity
// certificates (server, client, other client, self-signed).
//
//   ca_pem / ca_key              "durl Test CA" (CA:TRUE); signs the server and client certs
//   server_pem / server_key      CN=localhost, SAN DNS:localhost + IP:127.0.0.1, serverAuth
//   server_combined              server certificate followed by its key
//   client_pem / client_key      CN=durl-test-client, clientAuth, signed by the CA
//   client_combined              client certificate followed by its key
//   other_ca_pem / other_ca_key  "durl Other CA", unrelated to the first CA
//   other_client_*               CN=durl-other-client, clientAuth, signed by the other CA
//   selfsigned_pem / _key        self-signed CN=localhost (SAN as the server's): the FTPS server
//   selfsigned_combined          self-signed certificate followed by its key
//   ca_dir                       directory holding "<subject hash>.0" copies of ca_pem, the
//                                layout CURLOPT_CAPATH and the trusted store expect
//
// make_cert() issues further certificates for tests that need other shapes (weak digests,
// small keys, expired, CA or not).
#pragma once

#include <string>

namespace durl_test {

struct Pki {
    std::string dir;
    std::string ca_pem, ca_key;
    std::string server_pem, server_key, server_combined;
    std::string client_pem, client_key, client_combined;
    std::string other_ca_pem, other_ca_key;
    std::string other_client_pem, other_client_key, other_client_combined;
    std::string selfsigned_pem, selfsigned_key, selfsigned_combined;
    std::string ca_dir;
};

// The test PKI; generated on first call (thread-safe). Aborts the test binary with a message
// when OpenSSL cannot produce it, since no TLS test could run without it.
const Pki &pki();

struct CertSpec {
    std::string cn = "durl-test";
    std::string san;              // e.g. "DNS:localhost,IP:127.0.0.1"; empty = none
    std::string eku;              // e.g. "clientAuth" or "serverAuth,clientAuth"; empty = none
    bool is_ca = false;           // basicConstraints CA:TRUE plus keyCertSign/cRLSign
    int bits = 2048;              // RSA modulus size
    std::string digest = "sha256";
    long valid_from_days = -1;    // not-before, days from now (negative = in the past)
    long valid_days = 36500;      // not-after, days from now
    bool traditional_key = false; // "BEGIN RSA PRIVATE KEY" instead of PKCS#8
    std::string key_file;         // reuse this PEM key (copied to key_out) instead of a new one
};

// Writes a new key to key_out and a certificate for it to cert_out. Signed by the issuer's
// certificate and key when both are given, else self-signed. Returns an error text, empty on
// success.
std::string make_cert(const CertSpec &spec, const std::string &cert_out, const std::string &key_out,
                      const std::string &issuer_cert = "", const std::string &issuer_key = "");

// Writes "<subject hash>.0" (or .1, .2 when taken) into dir for the certificate file.
// Returns the path written, empty on failure.
std::string add_hashed_copy(const std::string &cert_file, const std::string &dir);

}  // namespace durl_test
