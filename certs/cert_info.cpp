// Certificate information: the display records an application shows for a certificate
// file (subject, issuer, validity, serial, algorithms), and the ASN.1 time formatter they
// share.
#include <cctype>
#include <cstring>
#include <initializer_list>

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include "dl_frame.h"
#include "dl_internal.h"

namespace {

const char *const mon[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool all_digits(const unsigned char *s, int n) {
    for (int i = 0; i < n; ++i)
        if (!std::isdigit(s[i])) return false;
    return true;
}

int two(const unsigned char *s) { return (s[0] - '0') * 10 + (s[1] - '0'); }

// Bounded copy of the text [from, from + n) into a 64-byte record field: longer values are
// cut to 63 characters, so a record never overflows whatever the certificate holds.
template <size_t N>
void set_field(char (&field)[N], const char *from, size_t n) {
    if (n > N - 1) n = N - 1;
    std::memcpy(field, from, n);
    field[n] = '\0';
}

// The first attribute nid of name into field, as OpenSSL's one-line form of the name shows
// its value (the same escapes) and cut at the value's first "/", so every ordinary name
// shows as it always has. The value comes from the attribute itself: text inside another
// attribute's value ("O=Acme/CN=www.bank.example") is never taken for a name of its own.
// False, with the field left empty, when the name has no such attribute.
template <size_t N>
bool fill_attribute(X509_NAME *name, int nid, char (&field)[N]) {
    field[0] = '\0';
    const int at = X509_NAME_get_index_by_NID(name, nid, -1);
    if (at < 0) return false;
    durl::X509NamePtr alone(X509_NAME_new());
    if (!alone || !X509_NAME_add_entry(alone.get(), X509_NAME_get_entry(name, at), -1, 0))
        return true;
    durl::OpensslCharPtr text(X509_NAME_oneline(alone.get(), nullptr, 0));  // "/CN=value"
    const char *value = text ? std::strchr(text.get(), '=') : nullptr;
    if (!value) return true;
    ++value;
    // The one-line form writes a "/" inside a value as "\/": the cut drops that escape too.
    size_t len = std::strcspn(value, "/");
    if (value[len] == '/' && len > 0 && value[len - 1] == '\\') --len;
    set_field(field, value, len);
    return true;
}

// Short record: the first CN and the first O; a field the name lacks stays empty.
void fill_subject_values(X509_NAME *name, dl_ca_info *info) {
    fill_attribute(name, NID_commonName, info->common_name);
    fill_attribute(name, NID_organizationName, info->organization);
}

// Long record: the first CN; without one the first OU; without one the first O.
template <size_t N>
void fill_display_name(X509_NAME *name, char (&field)[N]) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName})
        if (fill_attribute(name, nid, field)) return;
}

void fill_serial(const ASN1_INTEGER *serial, char (&out)[64]) {
    int len = ASN1_STRING_length(serial);
    const unsigned char *data = ASN1_STRING_get0_data(serial);
    bool negative = ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER;
    if (len <= 4) {
        // Read as a signed 32-bit value, as the display has always shown it: a 4-byte
        // magnitude with its top bit set shows as negative.
        uint32_t magnitude = 0;
        for (int i = 0; i < len; ++i) magnitude = (magnitude << 8) | data[i];
        int64_t value = static_cast<int32_t>(magnitude);
        if (negative) value = -value;
        const char *sign = value < 0 ? "-" : "";
        unsigned long shown = static_cast<unsigned long>(value < 0 ? -value : value);
        std::snprintf(out, sizeof out, "%s%lu (%s0x%lx)", sign, shown, sign, shown);
        return;
    }
    // Long serials as colon-joined hex pairs; a serial too long for the field is cut at a
    // whole pair.
    size_t used =
        static_cast<size_t>(std::snprintf(out, sizeof out, "%s", negative ? "(Negative)" : ""));
    for (int i = 0; i < len && used + 3 < sizeof out; ++i)
        used += static_cast<size_t>(std::snprintf(out + used, sizeof out - used, "%02x%c", data[i],
                                                  i + 1 < len ? ':' : ' '));
}

template <size_t N>
void object_text(const ASN1_OBJECT *obj, char (&out)[N]) {
    if (obj) i2t_ASN1_OBJECT(out, static_cast<int>(N), obj);
}

// The file and its first certificate in the encoding it shows. Logs the two failures
// exactly as both readers report them.
bool open_certificate(const char *file, dl_cert_file &in, durl::X509Ptr &cert) {
    cert = in.first_certificate(file, "Bio_new_file error filename\n",
                                "unable to load certificate filename\n");
    return cert != nullptr;
}

// Private key following the certificate in the same file (no rewind).
void fill_private_key(dl_cert_file &in, dl_ca_info_ex *info) {
    durl::EvpPkeyPtr key = in.pem_private_key(dl_password_cb);
    if (!key) return;
    object_text(OBJ_nid2obj(EVP_PKEY_get_base_id(key.get())), info->pri_key_algo);
    info->pri_key_bits = EVP_PKEY_get_bits(key.get());
}

void fill_algorithms(X509 *cert, dl_ca_info_ex *info) {
    const X509_ALGOR *tbs_sig = X509_get0_tbs_sigalg(cert);
    const ASN1_OBJECT *obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, tbs_sig);
    object_text(obj, info->sig_algo);
    ASN1_OBJECT *key_obj = nullptr;
    if (X509_PUBKEY_get0_param(&key_obj, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(cert)) ==
        1)
        object_text(key_obj, info->key_algo);
    durl::EvpPkeyPtr pub(X509_get_pubkey(cert));
    info->key_bits = pub ? EVP_PKEY_get_bits(pub.get()) : 0;
    ERR_clear_error();
}

int ex_fail(dl_ca_status *status, int code) {
    status->code = code;
    return DL_FAILED;
}

}  // namespace

int asn1_time_parse(const ASN1_TIME *time, char *out) {
    const unsigned char *s = time ? ASN1_STRING_get0_data(time) : nullptr;
    int n = time ? ASN1_STRING_length(time) : 0;
    int type = time ? ASN1_STRING_type(time) : -1;
    int year = 0;
    const unsigned char *rest = nullptr;  // MMDDhh[mm[ss]]
    if (type == V_ASN1_UTCTIME && n >= 10 && all_digits(s, 10)) {
        year = 1900 + two(s);
        if (year < 1950) year += 100;
        rest = s + 2;
    } else if (type == V_ASN1_GENERALIZEDTIME && n >= 12 && all_digits(s, 12)) {
        year = two(s) * 100 + two(s + 2);
        rest = s + 4;
    }
    int month = rest ? two(rest) : 0;
    if (month < 1 || month > 12) {
        log_msg(DURL_LOG_ERR, "Bad time value\n");
        return -1;
    }
    long secs_at = (rest - s) + 8;
    int sec = n >= secs_at + 2 && all_digits(s + secs_at, 2) ? two(s + secs_at) : 0;
    // Every number comes from two or four checked digits, so the text is at most 24
    // characters; formatting through a roomier buffer keeps the bound obvious.
    char text[64];
    std::snprintf(text, sizeof text, "%s %2d %02d:%02d:%02d %d%s", mon[month - 1], two(rest + 2),
                  two(rest + 4), two(rest + 6), sec, year, s[n - 1] == 'Z' ? " GMT" : "");
    size_t len = strnlen(text, 24);
    std::memcpy(out, text, len);
    out[len] = '\0';
    return 0;
}

extern "C" int dl_get_ca_info(const char *file, dl_ca_info *info) {
    return dl_entry(DL_NO_CERTIFICATE, [&]() -> int {
        if (!file || !info) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            return DL_BAD_ARGUMENT;
        }
        log_msg(DURL_LOG_DEBUG, "Bio_new_file %s\n", file);
        if (dl_path_is_directory(file)) {
            log_msg(DURL_LOG_NOTICE, "path is directory, ret\n");
            return DL_NO_CERTIFICATE;
        }
        dl_cert_file in;
        durl::X509Ptr cert;
        if (!open_certificate(file, in, cert)) return DL_NO_CERTIFICATE;
        info->hash = static_cast<uint32_t>(X509_subject_name_hash(cert.get()));
        X509_NAME *subject = X509_get_subject_name(cert.get());
        if (!subject) {
            log_msg(DURL_LOG_ERR, "X509_get_subject_name error\n");
            return DL_NO_CERTIFICATE;
        }
        fill_subject_values(subject, info);
        info->not_after[0] = '\0';
        if (const ASN1_TIME *end = X509_get0_notAfter(cert.get()))
            asn1_time_parse(end, info->not_after);
        return DL_OK;
    });
}

extern "C" int dl_get_ca_info_ex(const char *file, dl_ca_info_ex *info, int flags,
                                 dl_ca_status *status) {
    return dl_entry(DL_FAILED, status, DL_STATUS_TLS_FAILURE, [&]() -> int {
        if (!file || !info || !status) {
            log_msg(DURL_LOG_ERR, "Invalid Parameter\n");
            if (status) status->code = DL_STATUS_BAD_ARGUMENT;
            return DL_FAILED;
        }
        std::memset(status, 0, sizeof *status);
        std::memset(info, 0, sizeof *info);
        log_msg(DURL_LOG_DEBUG, "Bio_new_file %s\n", file);
        if (dl_path_is_directory(file)) {
            log_msg(DURL_LOG_NOTICE, "path is directory, ret\n");
            return ex_fail(status, DL_STATUS_UNREADABLE);
        }
        dl_cert_file in;
        durl::X509Ptr cert;
        if (!open_certificate(file, in, cert)) return ex_fail(status, DL_STATUS_UNREADABLE);
        X509 *x = cert.get();
        // The field is an INTEGER of any size and the parser takes any value; only v1 to v3
        // exist, and a byte would wrap the others into ones that look valid.
        const long version = X509_get_version(x);
        info->version = version >= X509_VERSION_1 && version <= X509_VERSION_3
                            ? static_cast<uint8_t>(version + 1)
                            : 0;
        fill_serial(X509_get0_serialNumber(x), info->serial);
        X509_NAME *issuer = X509_get_issuer_name(x);
        if (!issuer) {
            log_msg(DURL_LOG_ERR, "X509_get_issuer_name error\n");
            return ex_fail(status, DL_STATUS_UNREADABLE);
        }
        fill_display_name(issuer, info->issuer);
        X509_NAME *subject = X509_get_subject_name(x);
        if (!subject) {
            log_msg(DURL_LOG_ERR, "X509_get_subject_name error\n");
            return ex_fail(status, DL_STATUS_UNREADABLE);
        }
        fill_display_name(subject, info->subject);
        if (const ASN1_TIME *t = X509_get0_notAfter(x)) asn1_time_parse(t, info->not_after);
        if (const ASN1_TIME *t = X509_get0_notBefore(x)) asn1_time_parse(t, info->not_before);
        fill_algorithms(x, info);
        // Hashing through dl_get_ca_hash rewrites a DER file as PEM; the open file keeps reading
        // the original, which the rename leaves intact.
        info->hash = dl_get_ca_hash(file);
        info->ext_count = static_cast<uint8_t>(X509_get_ext_count(x));
        if (flags & DL_CA_INFO_CLIENT_CERT) {
            log_msg(DURL_LOG_INFO, "client cert\n");
            if (SSL_library_init() != 1) {
                log_msg(DURL_LOG_ERR, "SSL_library_init error\n");
                return ex_fail(status, DL_STATUS_TLS_FAILURE);
            }
            fill_private_key(in, info);
        }
        return DL_OK;
    });
}
