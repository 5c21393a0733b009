// Internal: certificate-half pieces shared between its source files.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "dl_ca.h"
#include "handle.h"
#include "raii.h"

// ---------------------------------------------- file primitives (file_primitives.cpp)

// MD5 of a file as 32 lowercase hex digits plus NUL (out: at least 33 bytes). 0 or -1.
int dl_get_file_md5(const char *path, char *out);
// Copy source to target (through a temporary sibling renamed into place). 0 or -1.
int dl_copy_file(const char *source, const char *target);
// 1 when path names a directory, else 0.
int dl_path_is_directory(const char *path);
// DL_CA_TYPE_PEM, DL_CA_TYPE_DER, or -1 when the file can't be opened.
int dl_get_ca_type(const char *path);
// Read a certificate / private key in the given encoding from an open BIO (caller frees).
X509 *dl_get_x509(int type, BIO *bio);
EVP_PKEY *dl_get_pri_key(int type, BIO *bio);
// PEM password callback: the given pass phrase, or the default handle's ssl_passwd.
int dl_password_cb(char *buf, int size, int rwflag, void *userdata);
// The stream form of dl_get_ca_type: the same line scan over an open stream.
int dl_get_ca_type_stream(FILE *f);
// dl_get_x509 with the certificate decoded in the given library context (nullptr: default).
X509 *dl_read_x509(int type, BIO *bio, OSSL_LIB_CTX *libctx, bool *out_of_memory = nullptr);

// ------------------------------------------ reading certificate files (file_primitives.cpp)

// The one way the certificate half reads a certificate file, for every operation: hash,
// install, information, listing, device certificate, verification and issuance. Lines are
// read the way the TLS library reads certificate files itself (trusted CA files, hashed CA
// directories: what verification and TLS transfers see), so a NUL byte ends a line's text
// here exactly as it does there, and no operation accepts a file another one refuses.
class dl_cert_file {
public:
    // Open a regular file and detect its encoding (dl_get_ca_type). False when it can't be
    // opened or is no regular file.
    bool open(const char *path);
    // The same over a file's content already read into memory; bytes must outlive the
    // reading (or the next open/close). False when bytes is empty or memory is short.
    bool open_memory(const std::string &bytes);
    void close();
    int type() const { return type_; }
    // The next certificate in the file's encoding, from where reading stands. keyless: the
    // public key is not decoded (names and hashes only; far cheaper).
    durl::X509Ptr certificate(bool keyless = false);
    // open() and then certificate(), logging the caller's text for either failure (at
    // error level; nullptr logs nothing). The file stays open for further reads.
    durl::X509Ptr first_certificate(const char *path, const char *open_failed,
                                    const char *no_certificate, bool keyless = false);
    // The next private key in the file's encoding (dl_get_pri_key).
    durl::EvpPkeyPtr private_key();
    // The next PEM private key whatever the file's encoding, opened through cb.
    durl::EvpPkeyPtr pem_private_key(pem_password_cb *cb);
    void rewind();
    // True when a read failed, as opposed to reaching the end of the file.
    bool read_error() const;
    // True when a certificate read failed for want of memory rather than for its bytes.
    bool out_of_memory() const { return out_of_memory_; }

private:
    bool attach(FILE *f);  // takes f over, also on failure

    durl::BioPtr bio_;
    FILE *file_ = nullptr;  // owned by bio_
    int type_ = -1;
    bool read_any_ = false;  // a certificate read was tried since open()
    bool out_of_memory_ = false;
};

// dl_get_ca_hash, also handing back the certificate read (keyless) when keep is given.
uint32_t dl_read_ca_hash(const char *file, durl::X509Ptr *keep);

// ------------------------------------------ replacing files in place (fs_util.cpp)

// Permission bits of a file written through dl_write_file_atomic().
enum class dl_file_mode {
    keep_or_default,  // an existing target keeps its bits; a new one gets 0666 minus umask
    owner_only        // always 0600: the file holds a private key
};

// Results of dl_write_file_atomic().
enum { DL_WRITE_OK = 0, DL_WRITE_NO_TEMP = -1, DL_WRITE_FAILED = -2 };

// Write target by filling a new, uniquely named sibling (".dltmp-XXXXXX", a name the trust
// store never takes for an entry) and renaming it over target: readers see the old content
// or the new, never a part, and a failure leaves target as it was. fill returns false when
// a write failed. A symbolic link at target is followed, so the file it names is replaced
// and the link stays.
int dl_write_file_atomic(const char *target, dl_file_mode mode,
                         const std::function<bool(FILE *)> &fill);

// Write cert as PEM to target (replaced in place, mode kept). DL_WRITE_OK or the failure.
int dl_write_pem_cert(const char *target, X509 *cert);

// dl_copy_file with the given permission bits for the target.
int dl_copy_file_mode(const char *source, const char *target, dl_file_mode mode);

// 1 when path can be opened as a directory (opendir), else 0.
int dl_can_open_dir(const std::string &path);

// Make sure path can be opened as a directory: when it can't, mkdir(path, mode) once and
// look again. 1 when it can be opened afterwards.
int dl_ensure_dir(const std::string &path, mode_t mode);

// ------------------------------------------ certificate information (cert_info.cpp)

// ASN.1 time as "Mon DD hh:mm:ss YYYY[ GMT]" into out (at least 25 bytes). 0, or -1 for a
// time that is not a valid UTCTime/GeneralizedTime (out untouched).
int asn1_time_parse(const ASN1_TIME *time, char *out);

// ------------------------------------------ trusted CA store (trust_store.cpp)

// True only when path could be opened and read to its end and holds no certificate in the
// encoding it shows: the one case in which a listing may delete an entry.
bool dl_entry_is_unusable(const char *path);

// ------------------------------------------ key/certificate pair check (pair_check.cpp)

enum class dl_pair_result {
    ok,
    wrong_method,
    no_context,
    no_ca_file,
    no_certificate,
    no_key,
    mismatch
};
// Load the PEM file as CA file, certificate and (possibly encrypted) private key into a TLS
// context of the ssl_version selector, and check that key and certificate match. Logs each
// failure; key_failure_log is the text for a key that can't be loaded.
dl_pair_result dl_check_pair(const char *file, int32_t ssl_version, const char *key_failure_log);

// ------------------------------------------ verification (verify.cpp)

// Verification callback of the chain check: lets a fixed set of tolerated errors pass.
int dl_cb(int ok, X509_STORE_CTX *ctx);

// ------------------------------------------ subjects, keys, seeded generator (keys_random.cpp)

// Subject text "/type=value/..." (backslash escapes the next character) as a new X509_NAME
// with values of the given MBSTRING_* type; unknown types and empty values are skipped.
// nullptr when the text does not parse.
X509_NAME *dl_do_subject(const char *subject, unsigned long chtype);
// Parse subject and set it on req. 1 done, 0 failed.
int dl_build_subject(X509_REQ *req, const char *subject, unsigned long chtype);
// Unsigned version-1 request with the parsed subject and pkey's public half. 0 or -1.
int dl_make_REQ(X509_REQ *req, EVP_PKEY *pkey, const char *subject, unsigned long chtype);

// PEM password callback that supplies none, for keys read without a pass phrase: a library
// must never fall back to asking at the terminal.
int dl_no_password_cb(char *buf, int size, int rwflag, void *userdata);

// The key step (dl_cert_build_rsa_key and the seeded key generation) returns DL_OK,
// DL_CSR_FILE_FAILED (no file BIO), DL_CSR_KEY_UNREADABLE or DL_CSR_KEY_GEN_FAILED.
// Reuse the PEM private key in key_file (reused = 1), or generate an RSA key of bits with
// exponent 65537 from whatever random method is in place. A file holding no key is logged,
// deleted and replaced; a file holding an encrypted key is kept (DL_CSR_KEY_UNREADABLE).
int dl_cert_build_rsa_key(const char *key_file, int bits, durl::EvpPkeyPtr &key, int &reused);
// Write key unencrypted as PEM to key_file (replaced in place, mode 0600). 0 or -1.
int dl_cert_write_key(const char *key_file, EVP_PKEY *key);

// The seeded generator, shaped like RAND_METHOD.bytes; always 1. The two entry points differ
// only in the start-up step run by the first call after dl_ssleay_rand_cleanup().
int dl_ssleay_rand_bytes(unsigned char *buf, int num);
int dl_ssleay_open_rand_bytes(unsigned char *buf, int num);
void dl_ssleay_rand_cleanup();
using dl_rand_fn = int (*)(unsigned char *buf, int num);

// Common-name text of a subject: what follows the first "CN=" up to the next "/", taken
// without escape processing, at most 511 characters; "" without "CN=". out: 512 bytes.
void dl_subject_common_name(const char *subject, char out[512]);
// Seeded key generation: seed the generator from seed_text (first 16 bytes) and cn, install
// it for this thread only while dl_cert_build_rsa_key runs, and restore OpenSSL's method.
// Other threads keep drawing from OpenSSL's generator meanwhile. Generations are serialised.
int dl_seeded_build_key(const char *key_file, int bits, const char *cn, const char *seed_text,
                        dl_rand_fn gen, durl::EvpPkeyPtr &key, int &reused);

// ------------------------------------------ signed requests (csr.cpp)

// The key and the signed request both issuing operations start from.
struct dl_keyed_request {
    durl::EvpPkeyPtr key;
    int reused = 0;  // the key came from key_file
    durl::X509ReqPtr req;
    // Write a newly generated key to key_file before anything that needs it is written:
    // should a later file fail, the next call reuses the key, and nothing ever exists whose
    // key was lost. A reused key is there already. DL_OK or DL_CSR_FILE_FAILED (logged).
    int keep_new_key(const char *key_file) const;
};

// Obtain the key for subject (reused from key_file, else from the seeded generator with
// seed_text, the common-name text cn and gen), then make a request for it with subject,
// signed with md and checked. DL_OK, a key step failure (logged) or DL_CSR_NO_REQUEST,
// DL_CSR_MAKE_FAILED, DL_CSR_SIGN_FAILED, DL_CSR_VERIFY_FAILED.
int dl_keyed_request_for(const char *key_file, int key_bits, const char *subject, const char *cn,
                         const char *seed_text, dl_rand_fn gen, const EVP_MD *md,
                         dl_keyed_request &out);

// ------------------------------------------ client certificate issuance (issuance.cpp)

// Append a non-critical-by-default X509v3 extension given in OpenSSL's configuration syntax,
// with cert as issuer and subject. 1 added, 0 failed.
int dl_add_cert_ext(X509 *cert, int nid, const char *value);
