// The PKI the TLS test servers and the TLS tests share, written to PEM files once per test
// binary (on first use) by the certificate factory. Keys are RSA 2048, signatures SHA-256.
//
//   ca_pem / ca_key        "durl Test CA"; signs the server and client certificates
//   server_pem / _key      CN=localhost, SAN DNS:localhost + IP:127.0.0.1 (the HTTPS peers);
//   server_combined        the same, certificate then key (the FTPS peer)
//   client_combined        CN=durl-test-client by the CA, certificate then key (client_key)
//   other_ca_pem / _key    "durl Other CA", unrelated to the first
//   other_client_combined  CN=durl-other-client by the other CA, certificate then key
//   ca_dir                 "<subject hash>.0" copy of ca_pem, the CAPATH layout
//   misnamed_pem / _key    CN=elsewhere.invalid by the CA, SAN DNS:elsewhere.invalid only
#pragma once

#include <string>

namespace durl_test {

struct Pki {
    std::string ca_pem, ca_key, server_pem, server_key, server_combined, client_combined,
        client_key;
    std::string other_ca_pem, other_ca_key, other_client_combined, ca_dir;
    std::string misnamed_pem, misnamed_key;
};

const Pki &pki();  // thread-safe; aborts the binary when the files cannot be made

// Writes "<subject hash>.0" (or .1, .2 when taken) into dir for the certificate file.
// Returns the path written, empty on failure.
std::string add_hashed_copy(const std::string &cert_file, const std::string &dir);

}  // namespace durl_test
