/*
 * durl: file transfer over HTTP, HTTPS, FTP, FTPS and TFTP for device applications.
 *
 * The library is driven through plain fixed-size records and integer result codes.
 * Call durl_init() once with a log hook, create handles (or pass NULL to use the
 * default handle), set options by number, then transfer.
 *
 * Threads:
 *   - durl_init() and durl_cleanup() run while no other durl_ call runs: the application
 *     initialises before its threads use the library and cleans up after they stopped.
 *     durl_cleanup() releases every handle still registered.
 *   - Between them, any calls on different handles may run at once on different threads,
 *     durl_create() and durl_destroy() included.
 *   - On one handle, durl_set_option(), durl_dump() and the transfers (durl_download_to_file,
 *     durl_download_to_memory, durl_upload) may run at once: settings are copied under the
 *     handle's lock, and a transfer that finds the kept connection busy opens its own.
 *   - A handle's stream (durl_open, durl_read, durl_close) is driven by one thread at a time.
 *   - durl_destroy() must not run while another call uses the same handle: the record is
 *     released. Destroying one handle twice at once destroys it once; the other call gets -3.
 *
 * Result codes of the transfer functions:
 *    0     success
 *   -1     the server answered with a status that counts as failure: durl_result.recode
 *          holds that status (100 or above, for example 404); or a local step failed and
 *          recode is -1: the target file of a download could not be created, the local
 *          file of an upload could not be opened, the request header list could not be built
 *          (memory), an FTP append would exceed the size limit with append_limit neither 1
 *          nor 2, or a stream's pipe could not be read
 *   -2     a required argument is missing or empty, or a text was refused: a text option
 *          that does not fit its field, or a text bound for the wire (user agent, method,
 *          form field names and values, user name, password, file name, header lines) that
 *          holds a line break where none may be
 *   -3     no transfer handle could be created
 *   -102   the library is not initialised, or the handle is unknown or not live
 *   -127   out of memory / handle creation failed. Any function of this header returns it
 *          when memory runs out inside it (durl_init returns -102 then, with nothing left
 *          initialised); no failure ever ends the calling process.
 *   -142   stopped by the application: its progress callback returned non-zero (libcurl's
 *          "aborted by callback", 42, folded); a file download leaves the old file as it was
 *   -148   unsupported option identifier
 *   -101..-199  the transfer engine failed with its error n (1..99): the code is -100 - n
 *   -103, -128, -163  malformed URL, time-out, size limit exceeded (engine's own)
 *   -108   an FTP append got a remote size it cannot trust (see durl_upload)
 */
#ifndef DURL_H
#define DURL_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DURL_EXPORT __attribute__((visibility("default")))
#else
#define DURL_EXPORT
#endif

#include <stddef.h>
#include <stdint.h>

/* ---------------------------------------------------------------- constants */

/** Version text reported by durl_dump() and the command-line tool. */
#define DURL_VERSION_TEXT "5.6.1.39-release Built-at:Feb 13 2020-15:55:19"

/** Log levels handed to the log hook (syslog numbering). */
#define DURL_LOG_ERR 3
#define DURL_LOG_WARNING 4
#define DURL_LOG_NOTICE 5
#define DURL_LOG_INFO 6
#define DURL_LOG_DEBUG 7

/** Maximum number of handles created with durl_create() at once (besides the default). */
#define DURL_MAX_HANDLES 16

/** Option identifiers for durl_set_option(). Gaps (21, 23..28) are unsupported. */
enum {
    DURL_OPT_USER_AGENT = 0,          /* text, 1..511 chars */
    DURL_OPT_MAC_ADDR = 1,            /* text, 1..63 chars, shown by durl_dump only */
    DURL_OPT_NET_IPV6 = 2,            /* flag: allow IPv6 (0 = IPv4 only) */
    DURL_OPT_NET_PREFERRED = 3,       /* flag: address-family preference when IPv6 allowed */
    DURL_OPT_CONNECT_TIMEOUT = 4,     /* seconds 1..3600, else 5 */
    DURL_OPT_OPERATE_TIMEOUT = 5,     /* seconds 0..86400 (0 = none), else 0 */
    DURL_OPT_LOW_SPEED_TIME = 6,      /* seconds 1..3600, else 0 (= use connect time-out) */
    DURL_OPT_LOW_SPEED_LIMIT = 7,     /* bytes/s >= 1, else 1 */
    DURL_OPT_MAX_REDIRS = 8,          /* 0..20, else 5 */
    DURL_OPT_MAX_FILESIZE = 9,        /* bytes 0..314572800 (0 = none), else 2097152; see below */
    DURL_OPT_SSL_CIPHER = 10,         /* text: TLS cipher list */
    DURL_OPT_SSL_VERSION = 11,        /* 0..6 protocol selector, else 3 */
    DURL_OPT_SSL_VERIFY_PEER = 12,    /* flag */
    DURL_OPT_SSL_VERIFY_HOST = 13,    /* flag */
    DURL_OPT_SSL_PASSWD = 14,         /* text: password of the device key (never logged) */
    DURL_OPT_SSL_TRUST_PATH = 15,     /* text: trusted CA directory root; seeds SSL_USER_PATH */
    DURL_OPT_SSL_USER_PATH = 16,      /* text: CA directory used to verify servers */
    DURL_OPT_SSL_CA_FILE = 17,        /* text: device certificate file; seeds SSL_CA_USEFILE */
    DURL_OPT_SSL_CA_USEFILE = 18,     /* text: client certificate presented to servers */
    DURL_OPT_SSL_WEB_CAPATH = 19,     /* text: shown by durl_dump only */
    DURL_OPT_SSL_SIGN_ALGO = 20,      /* 0..3 digest for issued certificates, else 0 */
    DURL_OPT_DEBUG_TRACE = 22,        /* flag: verbose protocol trace (not inherited) */
    DURL_OPT_ENV_RANDOMNESS = 29,     /* text: seed of the key generator (never logged) */
    DURL_OPT_ADDITION_BODY = 30,      /* text: extra body with auth code 6 on POST */
    DURL_OPT_SSL_DEF_CERT = 31,       /* flag: present the built-in device certificate */
    DURL_OPT_KEEP_POST = 32,          /* integer: redirect codes that keep a POST */
    DURL_OPT_CUSTOM_METHOD = 33,      /* text, 1..127 chars: request method (not inherited) */
    DURL_OPT_AUTO_REFERER = 34,       /* flag */
    DURL_OPT_SSL_EXTRA_FLAG = 35,     /* flag: generator start-up variant for CSR keys */
    DURL_OPT_SSL_USER_FILE = 36,      /* text: CA bundle used to verify servers */
    DURL_OPT_EXTERN_DISPOSITION = 37, /* text: name of an extra upload form field */
    DURL_OPT_EXTERN_BODY = 38,        /* text: contents of that field */
    DURL_OPT_DISPOSITION = 39,        /* text: form field name of an uploaded file */
    /* 0..7, else 7: log lines of a higher level (less severe) are neither formatted nor
     * handed to the hook; 7 (the default) delivers every line. A handle's level governs the
     * lines of its calls (a stream's worker thread included); the default handle's level
     * governs every other line, among them each call's entry line, logged before the
     * handle is known. */
    DURL_OPT_LOG_LEVEL = 40,
    /* bytes 1024..524288, else 2048: receive buffer of HTTP and HTTPS transfers; a larger
     * buffer costs that much memory per running transfer and buys throughput */
    DURL_OPT_RECV_BUFFER = 41
};

/** Request method codes (durl_url_param.method). Any other value behaves as GET. */
enum {
    DURL_METHOD_CUSTOM = -1, /* the handle's CUSTOM_METHOD text, post_data as body */
    DURL_METHOD_GET = 0,
    DURL_METHOD_POST = 1,
    DURL_METHOD_PUT = 2,
    DURL_METHOD_DELETE = 3,
    DURL_METHOD_HEAD = 4
};

/** Scheme codes, from the URL prefix (case ignored). */
enum {
    DURL_PROTO_HTTP = 0,
    DURL_PROTO_HTTPS = 1,
    DURL_PROTO_FTP = 2,
    DURL_PROTO_FTPS = 3,
    DURL_PROTO_TFTP = 4,
    DURL_PROTO_UNKNOWN = 5
};

/* ------------------------------------------------------------------ records */

/** Opaque handle. NULL always means the library's default handle. */
typedef struct durl_handle durl_handle;

/**
 * Log hook: called as hook(log_context, level, format, ...) with a printf format.
 * Every message starts with "[DCMN]". The result is ignored.
 */
typedef int (*durl_log_fn)(void *log_context, int level, const char *format, ...);

/** One transfer request. Owned by the caller; the library only reads it. */
typedef struct durl_url_param {
    char url[1024];       /* the URL, non-empty */
    char user[256];       /* user name, used when the URL carries none */
    char password[256];   /* password, same rule */
    int32_t method;       /* DURL_METHOD_* */
    int32_t auth;         /* HTTP auth: 1 basic, 2 digest, 3 NTLM, 4 negotiate, 5 SIP, else any */
    int32_t ftp_append;   /* 1: FTP upload appends to the remote file */
    int32_t append_limit; /* append beyond max_filesize: 1 replace, 2 cancel, else refuse */
    int32_t raw_upload;   /* non-zero: HTTP upload sends the file as the body, not a form */
    int32_t max_size;     /* download limit in bytes, 0 = none; a cut body is a partial success */
    int32_t keep_alive;   /* non-zero: reuse the handle's kept connection */
    int32_t reserved1;    /* copied, never interpreted */
    int32_t no_redirect;  /* 1: do not follow redirects; a final 301/302 is success */
    int32_t reserved2;    /* copied, never interpreted */
    int32_t post_size;    /* bytes of post_data, 0 = its text length */
    char *headers;        /* extra header lines separated by "\r\n", or NULL */
    char *post_data;      /* request body for POST and custom methods, or NULL */
} durl_url_param;

/**
 * Progress callback: called as callback(context, download_done, download_total, upload_done,
 * upload_total) with byte counts of the running transfer; a total is 0 while unknown. It is
 * called on the thread that runs the transfer (for a stream: the thread calling durl_open
 * until the body starts, then the stream's worker thread), at most about four times per
 * second while data flows or the transfer waits, and once more with the final counts after
 * a transfer that succeeded (that call's result is ignored).
 * Return 0 to continue; any other value stops the transfer at once with -142.
 */
typedef int (*durl_progress_fn)(void *context, int64_t download_done, int64_t download_total,
                                int64_t upload_done, int64_t upload_total);

/** Body of a download to memory; released by durl_free_result(). */
typedef struct durl_result_detail {
    int32_t reserved1;  /* always 0 */
    int32_t reserved2;  /* always 0 */
    uint32_t size;      /* bytes in data, the terminating NUL not counted */
    char *reserved_buf; /* always NULL */
    char *data;         /* received bytes followed by a NUL, or NULL when nothing arrived */
} durl_result_detail;

/** Outcome of a transfer. Pass a zeroed (or freed) record. */
typedef struct durl_result {
    int32_t recode;             /* folded result, or the server status when it is -1 */
    char reserved_text[512];    /* only ever cleared */
    char effective_url[1024];   /* final URL after redirects, or the redirect target */
    durl_result_detail *detail; /* set by durl_download_to_memory() only */
} durl_result;

/* -------------------------------------------------- lifecycle and handles */

/**
 * Initialise the library. log_context is handed back to every hook call; both must be
 * non-NULL. Resets the default handle to its defaults.
 * Returns 0 when initialised on return (a second call keeps the first hook), -102 when an
 * argument is NULL or OpenSSL's lock table cannot be allocated (nothing is then left
 * initialised).
 */
DURL_EXPORT int durl_init(void *log_context, durl_log_fn log_hook);

/**
 * Stop the library. Handles still registered, and the default handle's engine state, are
 * released (their streams closed, their stream threads joined, their kept connections
 * dropped); their pointers become unknown to every call.
 * Returns 0, or -102 when the library was not initialised.
 */
DURL_EXPORT int durl_cleanup(void);

/**
 * Create a handle holding a copy of the default handle's settings (except the debug trace
 * flag and the custom method). out must be non-NULL.
 * Returns 0 and stores the handle in *out; -127 when not initialised, 16 handles already
 * exist, or memory is short.
 */
DURL_EXPORT int durl_create(durl_handle **out);

/**
 * Destroy a handle made by durl_create(): close its open stream, join the thread that ran
 * its streams (it waits between them for the next durl_open), release its kept connection
 * and the record. NULL changes nothing (see the result codes).
 * Returns 0 when destroyed (and for NULL while a slot is free); -3 for an unknown handle,
 * for NULL while all 16 slots are taken, and for the default handle, which belongs to the
 * library and is never destroyed; -102 when not initialised.
 */
DURL_EXPORT int durl_destroy(durl_handle *handle);

/** Placeholder kept for compatibility: performs nothing. Always returns 0. */
DURL_EXPORT int durl_perform(void);

/* ------------------------------------------------------------------ options */

/**
 * Set one option. handle NULL = default handle (usable even before durl_init()).
 * The single value argument is an int for numeric options and a NUL-terminated text for
 * text options. Out-of-range numbers fall back with a warning (and count as handled).
 * Texts that do not fit (NULL, empty, or as long as the field or longer) are refused with an
 * error line and the field keeps its value; so are texts with a CR or LF for the options that
 * go on the wire: USER_AGENT, CUSTOM_METHOD, DISPOSITION, EXTERN_DISPOSITION, EXTERN_BODY.
 * Returns 0 when the option was handled, -2 when a text was refused, -102 for a bad handle,
 * -148 for an unsupported id.
 */
DURL_EXPORT int durl_set_option(durl_handle *handle, int option, ...);

/** No read-back is offered: always returns -102. Use durl_dump(). */
DURL_EXPORT int durl_get_option(durl_handle *handle, ...);

/**
 * Log a handle's settings and write them as text into buf (size bytes, NUL-terminated,
 * cut to fit). buf NULL or size 0 only logs. handle NULL = default handle.
 * Returns 0, or -102 for an unknown handle.
 */
DURL_EXPORT int durl_dump(durl_handle *handle, char *buf, size_t size);

/**
 * Set the progress callback of a handle's transfers (downloads, uploads and streams opened
 * afterwards). callback NULL removes it; context is handed back to every call and may be
 * NULL. handle NULL = default handle. Handles made by durl_create() do not inherit it.
 * Returns 0, or -102 when the library is not initialised or the handle is unknown.
 */
DURL_EXPORT int durl_set_progress(durl_handle *handle, durl_progress_fn callback, void *context);

/* ---------------------------------------------------------------- transfers */

/*
 * Size cap (DURL_OPT_MAX_FILESIZE): a body larger than the cap fails with -163, for every
 * scheme and whether or not the server announced its size: the bytes are counted as they
 * arrive (after any decoding the transfer engine does), and the block that would pass the
 * cap is not kept. A download to memory never holds more than the cap; a download to a file
 * leaves the old file whole; a stream delivers at most the cap before its read fails with
 * -163. A body of exactly the cap succeeds. A request's max_size (downloads only) replaces
 * the cap: the body is cut there and the cut counts as success.
 *
 * Redirects: the user name and password, and an Authorization line among the request's
 * headers (or the one built for auth 5), are sent on after a redirect only when it stays on
 * the same scheme, host and port. A redirect elsewhere is still followed, without them (a
 * server there that asks for a login gets none: -1 with recode 401).
 */

/**
 * Download a URL into the file at path. The file appears under its name only when the
 * transfer succeeded; a failure leaves whatever was there before untouched.
 * result and param must be non-NULL. Returns 0 or a code of the list at the top.
 */
DURL_EXPORT int durl_download_to_file(durl_handle *handle, durl_result *result,
                                      const durl_url_param *param, const char *path);

/**
 * Download a URL into memory: result->detail receives the body (release it with
 * durl_free_result()). Returns 0 or a code of the list at the top.
 */
DURL_EXPORT int durl_download_to_memory(durl_handle *handle, durl_result *result,
                                        const durl_url_param *param);

/**
 * Upload the file at path (NULL allowed only with DURL_METHOD_PUT: empty body) under
 * send_name (NULL or empty: the last component of path). result may be NULL.
 * An FTP append (ftp_append 1) first asks the server for the remote size; an answer that
 * is not a plain count fitting in 64 bits (negative, too long, not a number) refuses the
 * append with -108 and nothing is sent. No size at all counts as 0.
 * Returns 0 or a code of the list at the top.
 */
DURL_EXPORT int durl_upload(durl_handle *handle, durl_result *result, const durl_url_param *param,
                            const char *path, const char *send_name);

/**
 * Open a URL as a stream on the handle; returns once the body starts to flow or the
 * transfer ended. result may be NULL. Close the stream with durl_close() in every case.
 * Returns 0 or a code of the list at the top (-128: nothing arrived in time).
 */
DURL_EXPORT int durl_open(durl_handle *handle, durl_result *result, const durl_url_param *param);

/**
 * Read what has arrived of the handle's open stream into buf, at most size bytes. Only the
 * first byte is waited for, at most the handle's low-speed time in seconds (its connect
 * time-out when that is 0); bytes that are there are returned at once, so a read may return
 * fewer than size bytes anywhere in the body, the end included, and that is no failure.
 * result may be NULL; its recode holds the code of a failed read.
 * Returns the number of bytes read (> 0); 0 at the end of a body that arrived whole; -128
 * when nothing arrived in time; -101..-199 when the transfer failed (its libcurl code, after
 * the bytes that came before the failure were read); -1 when the pipe could not be read;
 * -2 when there is no open stream, buf is NULL or size is not positive.
 */
DURL_EXPORT int durl_read(durl_handle *handle, durl_result *result, char *buf, int size);

/** Close the handle's stream (if any) and release it. Returns 0, or -102 for a bad handle. */
DURL_EXPORT int durl_close(durl_handle *handle);

/** Release what a transfer left in result (detail and its buffers) and zero it. NULL is
 *  accepted. Returns 0. */
DURL_EXPORT int durl_free_result(durl_result *result);

/**
 * MD5 of the text in, copied raw into out: the digest bytes up to (not including) the first
 * zero byte, at most 16 and at most outlen; the rest of outlen is zero-filled. Returns 0.
 */
DURL_EXPORT int durl_md5_encrypt(const char *in, char *out, int outlen);

#ifdef __cplusplus
}
#endif

#endif /* DURL_H */
