// Client certificate issuance: the device acts as its own small certificate authority and
// signs a client certificate for a key from the seeded generator.
//
// The certificate must not depend on the clock or on chance: its validity period is fixed,
// its serial number is the common name's bytes, and its key is reproducible from the seed
// setting and the common name.
#include <cstring>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include "dl_frame.h"
#include "dl_internal.h"

namespace {

// 2014-03-01 00:00:00 UTC and 7300 days after it.
constexpr time_t kNotBeforeInstant = 1393632000;
constexpr long kValiditySeconds = 630720000L;

// Signing digest of the ssl_sign_algo setting; MD5 is the device's historical default.
const EVP_MD *dl_sign_digest(int32_t sign_algo) {
    switch (sign_algo) {
        case 1:
            return EVP_sha256();
        case 2:
            return EVP_sha384();
        case 3:
            return EVP_sha512();
        default:
            return EVP_md5();
    }
}

// The serial number: the common-name text as the big-endian bytes of a positive integer.
durl::Asn1IntPtr dl_serial_from_cn(const char *cn) {
    durl::Asn1IntPtr serial(ASN1_INTEGER_new());
    if (serial && !ASN1_STRING_set(serial.get(), cn, static_cast<int>(strlen(cn)))) serial.reset();
    return serial;
}

// CA certificate (PEM or DER) and its key; both null on failure (logged).
bool dl_load_ca(const char *ca_cert_file, const char *ca_key_file, durl::X509Ptr &ca_cert,
                durl::EvpPkeyPtr &ca_key) {
    dl_cert_file in;
    ca_cert = in.first_certificate(ca_cert_file, "Bio_new_file error root ca\n",
                                   "unable to load certificate filename\n");
    if (!ca_cert) return false;
    if (!in.open(ca_key_file)) {
        log_msg(DURL_LOG_ERR, "Bio_new_file error filename\n");
        return false;
    }
    ca_key = in.pem_private_key(dl_no_password_cb);
    if (!ca_key || X509_check_private_key(ca_cert.get(), ca_key.get()) != 1) {
        log_msg(DURL_LOG_ERR, "CA certificate and CA private key do not match\n");
        return false;
    }
    return true;
}

// Fills the certificate from the request and the CA, in the order the fields are defined.
bool dl_fill_cert(X509 *cert, X509_REQ *req, X509 *ca_cert, ASN1_INTEGER *serial) {
    if (!X509_set_version(cert, 2)) return false;
    if (serial ? !X509_set_serialNumber(cert, serial)
               : !ASN1_INTEGER_set(X509_get_serialNumber(cert), 1))
        return false;
    time_t base = kNotBeforeInstant;
    if (!X509_time_adj(X509_getm_notBefore(cert), 0, &base)) return false;
    if (!X509_time_adj(X509_getm_notAfter(cert), kValiditySeconds, &base)) return false;
    if (!X509_set_subject_name(cert, X509_REQ_get_subject_name(req))) return false;
    durl::EvpPkeyPtr pub(X509_REQ_get_pubkey(req));
    if (!pub || !X509_set_pubkey(cert, pub.get())) return false;
    if (!X509_set_issuer_name(cert, X509_get_subject_name(ca_cert))) return false;
    return dl_add_cert_ext(cert, NID_key_usage,
                           "digitalSignature,keyEncipherment,dataEncipherment") == 1 &&
           dl_add_cert_ext(cert, NID_ext_key_usage, "serverAuth,clientAuth") == 1;
}

// Certificate followed by the client's unencrypted key; the file is private to its owner.
bool dl_write_cert_and_key(const char *path, X509 *cert, EVP_PKEY *key) {
    return dl_write_file_atomic(path, dl_file_mode::owner_only, [cert, key](FILE *f) {
               return PEM_write_X509(f, cert) == 1 &&
                      PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
           }) == DL_WRITE_OK;
}

// The body of dl_generate_client_cert once the arguments are known to be present.
int dl_issue(const char *ca_cert_file, const char *ca_key_file, const char *client_key_file,
             const char *client_cert_file, const char *subject, int key_bits) {
    const durl_config cfg = durl_config_snapshot(nullptr);
    const EVP_MD *md = dl_sign_digest(cfg.ssl_sign_algo);
    log_msg(DURL_LOG_DEBUG, "key bits [%d], subject: [%s]\n", key_bits, subject);

    char cn[512];
    dl_subject_common_name(subject, cn);
    durl::Asn1IntPtr serial;
    if (strstr(subject, "CN=")) {
        serial = dl_serial_from_cn(cn);
        if (!serial) return DL_FAILED;
    }
    dl_keyed_request made;
    if (dl_keyed_request_for(client_key_file, key_bits, subject, cn, cfg.env_randomness,
                             dl_ssleay_rand_bytes, md, made) != DL_OK)
        return DL_FAILED;
    durl::X509Ptr ca_cert;
    durl::EvpPkeyPtr ca_key;
    if (!dl_load_ca(ca_cert_file, ca_key_file, ca_cert, ca_key)) return DL_FAILED;

    durl::X509Ptr cert(X509_new());
    if (!cert || !dl_fill_cert(cert.get(), made.req.get(), ca_cert.get(), serial.get()))
        return DL_FAILED;
    if (X509_sign(cert.get(), ca_key.get(), md) <= 0) return DL_FAILED;
    if (made.keep_new_key(client_key_file) != DL_OK) return DL_FAILED;
    if (!dl_write_cert_and_key(client_cert_file, cert.get(), made.key.get())) {
        log_msg(DURL_LOG_ERR, "write certificate file %s failed\n", client_cert_file);
        return DL_FAILED;
    }
    return DL_OK;
}

}  // namespace

int dl_add_cert_ext(X509 *cert, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    durl::X509ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext) return 0;
    return X509_add_ext(cert, ext.get(), -1) == 1 ? 1 : 0;
}

extern "C" int dl_generate_client_cert(const char *ca_cert_file, const char *ca_key_file,
                                       const char *client_key_file, const char *client_cert_file,
                                       const char *subject, int key_bits) {
    return dl_entry(DL_FAILED, [&]() -> int {
        if (!ca_cert_file || !ca_key_file || !client_key_file || !client_cert_file || !subject) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            return DL_BAD_ARGUMENT;
        }
        return dl_issue(ca_cert_file, ca_key_file, client_key_file, client_cert_file, subject,
                        key_bits);
    });
}
