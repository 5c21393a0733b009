/*
 * durl certificate half: trusted CA store, device certificate, certificate information,
 * verification, issuance and signing requests, on files and directories whose paths are
 * settings of the default transfer handle (see durl.h).
 */
#ifndef DL_CA_H
#define DL_CA_H

#ifdef __cplusplus
extern "C" {
#endif

#include "durl.h"

#include <stddef.h>
#include <stdint.h>

/* Certificate file encodings. */
#define DL_CA_TYPE_PEM 0
#define DL_CA_TYPE_DER 1

/**
 * Result codes of the certificate functions, named after what happened. Each function has
 * its own few codes, so one value has a name per function family; the comment of each
 * function lists the ones it returns.
 */
typedef enum dl_result {
    DL_OK = 0,
    DL_FAILED = -1, /* the extended calls, verification, issuance, dl_install_ser_ca_separate */
    DL_BAD_ARGUMENT = -1, /* a required argument is NULL */

    /* dl_install_ca */
    DL_CA_NOT_INSTALLED = -1,     /* no usable certificate, or the store can't be made or written */
    DL_CA_ALREADY_INSTALLED = -2, /* same subject hash installed by the user */
    DL_CA_FACTORY_CA = -3,        /* same subject hash among the factory CAs */

    /* dl_get_trust_ca_info, dl_get_ca_info, dl_get_ser_ca_info */
    DL_NO_TRUST_DIR = -2,     /* the trust directory can't be opened */
    DL_NO_CERTIFICATE = -2,   /* no readable certificate */
    DL_KEY_NOT_MATCHING = -3, /* dl_get_ser_ca_info: the key is missing or of another pair */

    /* dl_install_ser_ca */
    DL_DEV_KEY_UNLOADABLE = -2,  /* the private key can't be loaded */
    DL_DEV_CERT_UNLOADABLE = -3, /* the certificate can't be loaded or is refused */
    DL_DEV_KEY_MISMATCH = -4,    /* key and certificate are of different pairs */
    DL_DEV_TLS_FAILURE = -5,     /* TLS context failure, or no certificate to trust */
    DL_DEV_NO_DIRECTORY = -6,    /* a directory can't be opened or made, or the copy failed */
    DL_DEV_BAD_PATH = -7,        /* the device path has no directory two levels up */
    DL_DEV_WRONG_METHOD = -7,    /* the protocol setting names no protocol */
    DL_DEV_SAME_AS_CUSTOM = -7,  /* the file is the custom device certificate already */
    DL_DEV_SAME_AS_FACTORY = -8, /* the file is the factory device certificate */

    /* dl_ca_status.code of dl_get_ca_info_ex, dl_get_trust_ca_info_ex and dl_cert_verify */
    DL_STATUS_BAD_ARGUMENT = 1,   /* an argument is NULL */
    DL_STATUS_UNREADABLE = 1,     /* information: no readable certificate */
    DL_STATUS_TLS_FAILURE = 2,    /* TLS library, context, store or trust source failed */
    DL_STATUS_NO_TRUST_DIR = 2,   /* listing: the trust directory can't be opened */
    DL_STATUS_BAD_SIGNATURE = 3,  /* verification: bad signature */
    DL_STATUS_NOT_YET_VALID = 4,  /* verification: not yet valid */
    DL_STATUS_EXPIRED = 5,        /* verification: expired */
    DL_STATUS_NO_ISSUER = 6,      /* verification: issuer not among the trusted CAs */
    DL_STATUS_WRONG_METHOD = 7,   /* advance check: the protocol setting names no protocol */
    DL_STATUS_NO_CERTIFICATE = 8, /* advance check: the certificate can't be loaded */
    DL_STATUS_NO_PRIVATE_KEY = 9, /* advance check: the private key can't be loaded */
    DL_STATUS_KEY_MISMATCH = 10,  /* advance check: the key does not match */
    DL_STATUS_NOT_VERIFIED = 11,  /* verification: any other failure */

    /* dl_cert_build_csr_req_file (positive codes) */
    DL_CSR_BAD_ARGUMENT = 1,    /* csr_file, key_file or subject is NULL */
    DL_CSR_NO_REQUEST = 13,     /* the request object can't be made */
    DL_CSR_MAKE_FAILED = 14,    /* version, subject or public key can't be set */
    DL_CSR_SIGN_FAILED = 15,    /* signing failed */
    DL_CSR_VERIFY_FAILED = 16,  /* the signature does not verify */
    DL_CSR_FILE_FAILED = 17,    /* a file can't be written, or no file BIO can be made */
    DL_CSR_KEY_UNREADABLE = 18, /* the key file exists but can't be read */
    DL_CSR_KEY_GEN_FAILED = 20  /* RSA key generation failed */
} dl_result;

/*
 * When memory runs out inside a function of this header (or anything else fails inside the
 * library), the function returns the failure code its comment gives for that case, logs one
 * line "<function> failed: out of memory.", and never ends the calling process.
 */

/** Status block of the extended calls: cleared, then filled by the call. */
typedef struct dl_ca_status {
    int32_t code;      /* outcome code, given per function */
    char message[256]; /* text for the caller; empty unless the function writes one */
} dl_ca_status;

/* ---- certificate file primitives, information, trusted store, device certificate ---- */

/*
 * Paths used below are settings of the default transfer handle:
 *   T = DURL_OPT_SSL_TRUST_PATH: trust directory, must end in "/". It holds one PEM file per
 *       installed CA named by its subject-name hash ("%08x.0"), a link named by the bare
 *       eight digits beside each, a directory "ca/" with a link per installed CA, and the
 *       factory CA directory "phoneca/" (never written here).
 *   D = DURL_OPT_SSL_CA_FILE: the device certificate file (PEM certificate and private key).
 * Files are replaced through a temporary sibling renamed into place, so a failed or
 * interrupted write never leaves a truncated file; files that hold a private key are made
 * readable by their owner only. The functions of this section are meant to be called from
 * one thread at a time.
 */

/** Flag of dl_get_ca_info_ex(): also describe the private key that follows the certificate. */
#define DL_CA_INFO_CLIENT_CERT 0x1

/** Capacity of the trusted CA listings. */
#define DL_TRUST_CA_MAX 10

/** Short description of a certificate. Texts are NUL-terminated, cut to fit. */
typedef struct dl_ca_info {
    char common_name[64];  /* the subject's first CN value, cut at its first "/"; else empty */
    char organization[64]; /* the subject's first O value, cut at its first "/"; else empty */
    char not_after[64];    /* end of validity, e.g. "Dec 31 23:59:59 2049 GMT" */
    uint32_t hash;         /* subject-name hash (the trust-store key) */
    char path[64];         /* entry's file path; written only by dl_get_trust_ca_info() */
} dl_ca_info;

/** Long description of a certificate (and optionally its private key). */
typedef struct dl_ca_info_ex {
    uint8_t version;       /* X.509 version: 1, 2 or 3; 0 when the file states another */
    char serial[64];       /* "4096 (0x1000)" up to 4 bytes, else "xx:xx:...:xx " */
    char sig_algo[64];     /* signature algorithm, e.g. "sha256WithRSAEncryption" */
    char key_algo[64];     /* public key algorithm, e.g. "rsaEncryption" */
    int32_t key_bits;      /* public key size in bits, 0 when unusable */
    char pri_key_algo[64]; /* private key algorithm; only with DL_CA_INFO_CLIENT_CERT */
    int32_t pri_key_bits;  /* private key size; only with DL_CA_INFO_CLIENT_CERT */
    char issuer[64];       /* issuer's first CN, else OU, else O value, cut at "/" */
    char subject[64];      /* subject's first CN, else OU, else O value, cut at "/" */
    uint32_t hash;         /* subject-name hash */
    char not_before[64];   /* start of validity, display text */
    char not_after[64];    /* end of validity, display text */
    char path[64];         /* entry's file path; written only by dl_get_trust_ca_info_ex() */
    uint8_t ext_count;     /* number of extensions (kept in 8 bits) */
} dl_ca_info_ex;

/** Trusted CA listing: the first count entries are filled. */
typedef struct dl_trust_ca_list {
    int32_t count; /* 0..DL_TRUST_CA_MAX */
    dl_ca_info entries[DL_TRUST_CA_MAX];
} dl_trust_ca_list;

/** Extended trusted CA listing: the first count entries are filled. */
typedef struct dl_trust_ca_list_ex {
    int32_t count; /* 0..DL_TRUST_CA_MAX */
    dl_ca_info_ex entries[DL_TRUST_CA_MAX];
} dl_trust_ca_list_ex;

/**
 * Compare two files by MD5 digest. Both paths must be non-NULL.
 * Returns 0 when the digests are equal, -1 when a file can't be read (or memory ran out),
 * otherwise another non-zero value (possibly -1 as well) that only says they differ.
 */
DURL_EXPORT int dl_ca_cmp(const char *file1, const char *file2);

/**
 * Subject-name hash of the certificate in file (PEM or DER). A DER file is rewritten as PEM
 * in place (through a new file renamed over it; on failure the file is left as it was).
 * Returns the hash, or 0 when the path is NULL or a directory, can't be opened, holds no
 * certificate, a DER file could not be rewritten, or memory ran out. A hash of 0 reads as a
 * failure.
 */
DURL_EXPORT uint32_t dl_get_ca_hash(const char *file);

/**
 * Install the CA certificate in file (PEM or DER; a DER file is rewritten as PEM) into the
 * trust directory T: writes the certificate read (the file's first one) as PEM to T"%08x.0"
 * and adds the links T"%08x" and T"ca/%08x.0". Every certificate function reads files as the
 * TLS library's own CA loader does (a NUL byte ends a line), so what installs is exactly what
 * the listing and verification can use; anything else is refused with -1, writing nothing.
 * Creates T, T"ca/" and T"phoneca/" when missing.
 * Returns 0 installed; -1 not a readable certificate, a directory can't be opened or made,
 * the copy failed (then no link is made), or memory ran out; -2 a CA with the same subject hash is
 * already installed; -3 one is among the factory CAs in T"phoneca/".
 */
DURL_EXPORT int dl_install_ca(const char *file);

/**
 * Remove file (normally an entry's path from a listing) and, when it holds a certificate,
 * the store's file and links for its subject hash. NULL is ignored. Returns 0, or -1 when
 * memory ran out (possibly after file was removed).
 */
DURL_EXPORT int dl_del_ca(const char *file);

/**
 * List up to DL_TRUST_CA_MAX installed CAs (names containing ".0", directory order) into
 * list, which is cleared first. An entry that was read and holds no certificate is deleted;
 * one that can't be opened is skipped and kept; one whose path does not fit path[64] is
 * skipped. Returns 0 (possibly none listed); -1 list is NULL; -2 T can't be opened or memory
 * ran out (entries listed so far stay in list).
 */
DURL_EXPORT int dl_get_trust_ca_info(dl_trust_ca_list *list);

/**
 * As dl_get_trust_ca_info() with long records. status is cleared; status->code: 0 no error,
 * 1 bad argument or (for the last entry read) unreadable certificate, 2 T can't be opened
 * or memory ran out. Returns 0 listed; -1 list or status NULL (code 1 when status is given),
 * T can't be opened or memory ran out (code 2). DER entries are rewritten as PEM.
 */
DURL_EXPORT int dl_get_trust_ca_info_ex(dl_trust_ca_list_ex *list, dl_ca_status *status);

/**
 * Install a new device certificate: file is PEM with the certificate and its private key
 * (an encrypted key is opened with DURL_OPT_SSL_PASSWD). The pair is checked in a TLS
 * context of the DURL_OPT_SSL_VERSION protocol, then file is copied to D (mode 0600).
 * Returns 0 installed; -2 private key can't be loaded; -3 certificate can't be loaded (also
 * one the TLS library refuses, e.g. MD5/SHA-1 signed or a key under 2048 bits); -4 they
 * don't match; -5 TLS context failure (including SSLv2/SSLv3, not available here), no
 * certificate in file, or memory ran out; -6 a directory can't be opened or made, or the copy
 * failed (D is left as it was); -7 bad device path, bad protocol setting, or file equals the custom
 * device certificate; -8 file equals the factory device certificate.
 */
DURL_EXPORT int dl_install_ser_ca(const char *file);

/**
 * Install a certificate, a private key, or both from file (PEM or DER); the missing half is
 * taken from the current D. D is rewritten as PEM, certificate first, key unencrypted,
 * mode 0600. No match between the halves is checked.
 * Returns 0 written; -1 file NULL or unreadable, neither half found, D's key can't be read
 * while it must be kept, D has no "server" directory, D can't be written (D unchanged), or
 * memory ran out.
 */
DURL_EXPORT int dl_install_ser_ca_separate(const char *file);

/** Delete the device certificate file D. Returns 0, or -1 when memory ran out. */
DURL_EXPORT int dl_del_ser_ca(void);

/**
 * Describe the device certificate D into info (cleared first).
 * Returns 0 certificate read and key matches; -1 info NULL; -2 D holds no readable
 * certificate or memory ran out; -3 the key is missing or does not match (info stays filled).
 */
DURL_EXPORT int dl_get_ser_ca_info(dl_ca_info *info);

/**
 * Describe the certificate in file (PEM or DER; a DER file stays DER) into info. Names are
 * read from the subject's own attributes; a field the certificate has no value for is left
 * empty (path is not touched).
 * Returns 0 filled; -1 an argument NULL; -2 file is a directory, can't be opened, holds
 * no certificate, or memory ran out.
 */
DURL_EXPORT int dl_get_ca_info(const char *file, dl_ca_info *info);

/**
 * Describe the certificate in file into info (cleared first); with DL_CA_INFO_CLIENT_CERT in
 * flags also the PEM private key that follows it (a missing key is no error). A DER file
 * is rewritten as PEM. status is cleared; status->code: 0 no error, 1 bad argument or
 * unreadable certificate, 2 the TLS library can't be initialised or memory ran out.
 * Returns 0 filled, -1 otherwise.
 */
DURL_EXPORT int dl_get_ca_info_ex(const char *file, dl_ca_info_ex *info, int flags,
                                  dl_ca_status *status);

/* ---- verification, issuance, signing requests ---- */

/** Flag of dl_cert_verify(): also check that the file is a complete PEM device credential. */
#define DL_VERIFY_ADVANCE 0x1

/**
 * Verify a certificate against trusted CA certificates.
 *
 * cert_file:  the certificate to check, PEM or DER; only its first certificate counts.
 *             With DL_VERIFY_ADVANCE it must be one PEM file holding the certificate and its
 *             private key (an encrypted key is opened with the DURL_OPT_SSL_PASSWD setting).
 * trust_dir:  directory of trusted CA certificates under OpenSSL hash names, or NULL for
 *             OpenSSL's default directory.
 * trust_file: PEM file of trusted CA certificates, or NULL for OpenSSL's default file.
 * flags:      DL_VERIFY_ADVANCE or 0; other bits are ignored.
 * status:     filled by the call (caller-owned, must be non-NULL).
 *
 * Returns 0 when the certificate verified, -1 otherwise. status->code then says why:
 *   0 verified; 1 cert_file or status NULL (status untouched apart from code);
 *   2 the TLS library, a TLS context, the store or a lookup could not be set up (memory
 *     ran out included), the trust file or directory could not be loaded, or (advance)
 *     cert_file holds no PEM certificate;
 *   3 bad signature; 4 not yet valid; 5 expired; 6 issuer not found among the trusted CAs;
 *   7 (advance) the DURL_OPT_SSL_VERSION setting names no protocol;
 *   8 (advance) the certificate can't be used, message "Can't load public key\n";
 *   9 (advance) the private key can't be loaded, message "Can't load private key\n";
 *  10 (advance) the key does not match, message "Private key does not match";
 *  11 any other verification error, or the certificate could not be read.
 * For codes 3-6 and 11 message holds "verify err:" and OpenSSL's text for the error.
 * Errors loading the trust file or directory are also written to standard error.
 * Safe to call from several threads at once.
 */
DURL_EXPORT int dl_cert_verify(const char *cert_file, const char *trust_dir, const char *trust_file,
                               int flags, dl_ca_status *status);

/**
 * Issue a client certificate signed by a CA.
 *
 * ca_cert_file:     the CA certificate, PEM or DER.
 * ca_key_file:      the CA private key, PEM and unencrypted.
 * client_key_file:  the client key: reused when it holds a readable PEM private key, otherwise
 *                   made by the seeded generator (DURL_OPT_ENV_RANDOMNESS and the subject's
 *                   common name decide the key) and written here, readable by the owner only.
 * client_cert_file: output, replaced: the certificate followed by the client's unencrypted
 *                   private key, both PEM, readable by the owner only.
 * subject:          "/type=value/..." (a backslash takes the next character literally).
 * key_bits:         RSA key size of a new key.
 *
 * The certificate is X.509 v3, serial number = the common name's bytes (1 without CN),
 * valid 2014-03-01 to 2034-02-24 UTC, with key usage and extended key usage (server and
 * client authentication). It is signed with the digest of DURL_OPT_SSL_SIGN_ALGO:
 * 1 SHA-256, 2 SHA-384, 3 SHA-512, 0 (the default) or any other value MD5. Note that
 * OpenSSL 3 at its usual security level refuses MD5-signed certificates for TLS.
 * All pointer arguments are required. Returns 0 when issued and written, -1 otherwise (memory
 * running out included).
 */
DURL_EXPORT int dl_generate_client_cert(const char *ca_cert_file, const char *ca_key_file,
                                        const char *client_key_file, const char *client_cert_file,
                                        const char *subject, int key_bits);

/**
 * Write a PKCS#10 certificate signing request (PEM, signed with SHA-1).
 *
 * csr_file: output, replaced.
 * key_file: the private key: reused when it holds a readable PEM private key, otherwise made
 *           by the seeded generator (start-up variant chosen by DURL_OPT_SSL_EXTRA_FLAG) and
 *           written here, readable by the owner only.
 * subject:  "/type=value/..." as for dl_generate_client_cert().
 * key_bits: RSA key size of a new key.
 *
 * Returns 0 written; 1 an argument is NULL; 13 the request can't be made; 14 version,
 * subject or public key can't be set (a subject not starting with "/" included);
 * 15 signing failed; 16 the signature does not verify; 17 a file could not be written
 * (the request, or the new key), no file BIO could be made, or memory ran out; 18 the key file
 * exists but can't be read (or holds an encrypted key, which is kept); 20 RSA key generation
 * failed.
 */
DURL_EXPORT int dl_cert_build_csr_req_file(const char *csr_file, const char *key_file,
                                           const char *subject, int key_bits);

#ifdef __cplusplus
}
#endif

#endif /* DL_CA_H */
