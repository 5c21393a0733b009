// Certificate factory for the certificate tests: X.509 certificates of any shape (subject,
// serial bytes, validity text, digest, CA or leaf, key size), made in memory with the OpenSSL
// API at test time and written out as PEM or DER. Keys come from a per-process pool, so a
// binary generates each key once (RSA-2048 costs about 0.1 s).
//
//   const FactoryPki &p = factory_pki();  // built once per test binary
//   CertShape s;  s.subject = {{"O", "Acme"}, {"OU", "Lab"}};  s.serial = {0x01};
//   durl::X509Ptr c = factory_cert(s, factory_key(3), p.ca.get(), factory_key(0));
//   write_cert(dir + "/leaf.der", c.get(), Encoding::der);
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "raii.h"

namespace durl_test {

enum class Encoding { pem, der };

// Pool key number slot of the given size (RSA, e = 65537). Owned by the pool, valid for the
// life of the process. Slot 0 signs factory_pki().ca, 1 the intermediate, 2 the leaves.
EVP_PKEY *factory_key(int slot, int bits = 2048);

struct CertShape {
    // Subject attributes in order, by short name ("CN", "O", "OU", "C", ...).
    std::vector<std::pair<std::string, std::string>> subject = {{"CN", "durl factory leaf"}};
    // Serial number content octets exactly as DER carries them (two's complement: a first
    // octet >= 0x80 makes a negative serial).
    std::vector<unsigned char> serial = {0x01};
    // Validity as ASN.1 text: 13 characters ("YYMMDDhhmmssZ") make a UTCTime, 15
    // ("YYYYMMDDhhmmssZ") a GeneralizedTime. Empty: now + the day offsets below.
    std::string not_before, not_after;
    long from_days = -1;
    long days = 36500;
    bool ca = false;  // basicConstraints CA:TRUE, keyUsage keyCertSign/cRLSign
    std::string digest = "sha256";
};

// A certificate of the given shape for key's public half, signed by issuer/issuer_key, or
// self-signed when issuer is null (then issuer_key is ignored and key signs). Null on error.
durl::X509Ptr factory_cert(const CertShape &shape, EVP_PKEY *key, X509 *issuer = nullptr,
                           EVP_PKEY *issuer_key = nullptr);

// Writers: create or truncate path. False on failure.
bool write_cert(const std::string &path, X509 *cert, Encoding enc = Encoding::pem);
// An empty password writes the key unencrypted; otherwise encrypted with AES-256-CBC (PEM).
bool write_key(const std::string &path, EVP_PKEY *key, Encoding enc = Encoding::pem,
               const std::string &password = "");
// Certificate followed by its key, PEM (the device certificate layout).
bool write_combined(const std::string &path, X509 *cert, EVP_PKEY *key,
                    const std::string &password = "");
std::string pem_text(X509 *cert);
// Reads the first certificate of a PEM or DER file; null when none.
durl::X509Ptr read_cert(const std::string &path);

// The standard set, built once per process. All RSA 2048 / SHA-256 unless named otherwise.
struct FactoryPki {
    durl::X509Ptr ca;              // "durl Factory Root CA", self-signed CA, key slot 0
    durl::X509Ptr intermediate;    // "durl Factory Intermediate CA", by ca, key slot 1
    durl::X509Ptr leaf;            // "durl factory leaf", by ca, key slot 2, valid 100 years
    durl::X509Ptr leaf_by_inter;   // "durl factory inter leaf", by intermediate, key slot 2
    durl::X509Ptr expired;         // "durl factory expired", by ca, ended yesterday, slot 2
    durl::X509Ptr not_yet_valid;   // "durl factory future", by ca, starts in 10 days, slot 2
    durl::X509Ptr self_signed;     // "durl factory self-signed", key slot 3
    durl::X509Ptr md5_leaf;        // "durl factory md5", by ca, MD5 signature, slot 2
    durl::X509Ptr small_key_leaf;  // "durl factory small key", by ca, RSA 1024 (slot 4)
};
const FactoryPki &factory_pki();

// The certificate's subject hash as OpenSSL names trust-store entries, as a number and as
// eight hex digits.
uint32_t subject_hash(X509 *cert);
std::string hash_name(X509 *cert);

// Permission bits of a file, 0 when missing.
unsigned file_mode(const std::string &path);

// Runs a shell command line, returns its standard output; *status gets the exit status.
// For cross-checks against the openssl command line only.
std::string run_capture(const std::string &command, int *status = nullptr);

}  // namespace durl_test
