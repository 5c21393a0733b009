// Options: one table describes every option id; the setter dispatches on its kind, and the
// settings dump reads the same record.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "frame.h"
#include "handle.h"

namespace {

enum class Kind : uint8_t {
    none,       // unsupported id
    text,       // NUL-terminated text, 1 to capacity-1 characters
    flag,       // non-zero stored as 1
    unsigned_,  // uint32 within [lo, hi], else fallback
    signed_,    // int32 of at least lo, else fallback
    integer     // stored as given
};

struct OptionSpec {
    int id;
    Kind kind;
    bool secret;          // the value never reaches the log
    bool one_line;        // the text goes on the wire as one field: no CR or LF in it
    const char *key;      // text options: the name in their log lines
    size_t offset;        // the member inside durl_handle
    size_t capacity;      // the field's size
    size_t seed;          // text options: field that takes the value while it is empty
    const char *warning;  // level-4 line for a replaced value (without the prefix)
    uint32_t lo, hi;      // accepted range
    int32_t fallback;     // numbers: the default, and what an out-of-range value becomes
    const char *initial;  // text options: the default ("" when none)
};

constexpr size_t cfg_at(size_t member) { return offsetof(durl_handle, cfg) + member; }

// Where a configuration member lives and how big it is.
#define CFG(member) cfg_at(offsetof(durl_config, member)), sizeof(durl_config::member)

constexpr OptionSpec none(int id) {
    return {id, Kind::none, false, false, nullptr, 0, 0, 0, nullptr, 0, 0, 0, ""};
}

constexpr OptionSpec text(int id, const char *key, size_t offset, size_t capacity, size_t seed = 0,
                          bool secret = false, bool one_line = false, const char *initial = "") {
    return {id,   Kind::text, secret, one_line, key, offset, capacity,
            seed, nullptr,    0,      0,        0,   initial};
}

constexpr OptionSpec secret_text(int id, const char *key, size_t offset, size_t capacity) {
    return text(id, key, offset, capacity, 0, true);
}

// A text that becomes part of a request line, a header line or a form part header: a line
// break inside it would let the caller's value start a line of its own on the wire.
constexpr OptionSpec wire_text(int id, const char *key, size_t offset, size_t capacity,
                               const char *initial = "") {
    return text(id, key, offset, capacity, 0, false, true, initial);
}

constexpr OptionSpec number(int id, Kind kind, size_t offset, size_t size, uint32_t lo, uint32_t hi,
                            int32_t fallback, const char *warning) {
    return {id, kind, false, false, nullptr, offset, size, 0, warning, lo, hi, fallback, ""};
}

constexpr OptionSpec flag(int id, size_t offset, size_t size, int32_t initial = 0) {
    return number(id, Kind::flag, offset, size, 0, 0, initial, nullptr);
}

constexpr OptionSpec unsigned_range(int id, size_t offset, size_t size, uint32_t lo, uint32_t hi,
                                    int32_t fallback, const char *warning) {
    return number(id, Kind::unsigned_, offset, size, lo, hi, fallback, warning);
}

constexpr OptionSpec kOptions[] = {
    wire_text(DURL_OPT_USER_AGENT, "USER_AGENT", CFG(user_agent), "Talvora"),
    text(DURL_OPT_MAC_ADDR, "MAC_ADDR", CFG(mac_addr)),
    flag(DURL_OPT_NET_IPV6, CFG(net_ipv6)),
    flag(DURL_OPT_NET_PREFERRED, CFG(net_preferred)),
    unsigned_range(DURL_OPT_CONNECT_TIMEOUT, CFG(connect_timeout), 1, 3600, 5,
                   "The connect time value err, set default 5sec.\n"),
    unsigned_range(DURL_OPT_OPERATE_TIMEOUT, CFG(operate_timeout), 0, 86400, 0,
                   "The operate time value err, set default 0sec(never timeout).\n"),
    unsigned_range(DURL_OPT_LOW_SPEED_TIME, CFG(low_speed_time), 1, 3600, 0,
                   "The low speed time value err, set default never overtime.\n"),
    number(DURL_OPT_LOW_SPEED_LIMIT, Kind::signed_, CFG(low_speed_limit), 1, 0, 1,
           "The low speed limit value err, set default 1byte/s.\n"),
    unsigned_range(DURL_OPT_MAX_REDIRS, CFG(max_redirs), 0, 20, 5,
                   "The redirect value err, set default 5 times.\n"),
    unsigned_range(DURL_OPT_MAX_FILESIZE, CFG(max_filesize), 0, 314572800, 2097152,
                   "The filesize value err, set default 2M.\n"),
    text(DURL_OPT_SSL_CIPHER, "SSL_CIPHER", CFG(ssl_cipher)),
    unsigned_range(DURL_OPT_SSL_VERSION, CFG(ssl_version), 0, 6, 3,
                   "The ssl version value err, set default.\n"),
    flag(DURL_OPT_SSL_VERIFY_PEER, CFG(ssl_verify_peer)),
    flag(DURL_OPT_SSL_VERIFY_HOST, CFG(ssl_verify_host)),
    secret_text(DURL_OPT_SSL_PASSWD, "SSL_PASSWD", CFG(ssl_passwd)),
    text(DURL_OPT_SSL_TRUST_PATH, "SSL_TRUST_PATH", CFG(ssl_trust_path),
         cfg_at(offsetof(durl_config, ssl_user_path))),
    text(DURL_OPT_SSL_USER_PATH, "SSL_USER_PATH", CFG(ssl_user_path)),
    text(DURL_OPT_SSL_CA_FILE, "SSL_CA_FILE", CFG(ssl_ca_file),
         cfg_at(offsetof(durl_config, ssl_ca_usefile))),
    text(DURL_OPT_SSL_CA_USEFILE, "SSL_CA_USEFILE", CFG(ssl_ca_usefile)),
    text(DURL_OPT_SSL_WEB_CAPATH, "SSL_WEB_CAPATH", CFG(ssl_web_capath), 0, false, false, "/tmp"),
    unsigned_range(DURL_OPT_SSL_SIGN_ALGO, CFG(ssl_sign_algo), 0, 3, 0,
                   "The ssl signature algorithm err, set default.\n"),
    none(21),
    flag(DURL_OPT_DEBUG_TRACE, offsetof(durl_handle, debug_trace), sizeof(int32_t)),
    none(23),
    none(24),
    none(25),
    none(26),
    none(27),
    none(28),
    secret_text(DURL_OPT_ENV_RANDOMNESS, "ENV_RANDOMNESS", CFG(env_randomness)),
    text(DURL_OPT_ADDITION_BODY, "ADDITION_BODY", CFG(addition_body)),
    flag(DURL_OPT_SSL_DEF_CERT, CFG(ssl_def_cert)),
    number(DURL_OPT_KEEP_POST, Kind::integer, CFG(keep_post), 0, 0, 7, nullptr),
    wire_text(DURL_OPT_CUSTOM_METHOD, "CUSTOM_METHOD", offsetof(durl_handle, custom_method),
              sizeof(durl_handle::custom_method)),
    flag(DURL_OPT_AUTO_REFERER, CFG(auto_referer), 1),
    flag(DURL_OPT_SSL_EXTRA_FLAG, CFG(ssl_extra_flag)),
    text(DURL_OPT_SSL_USER_FILE, "SSL_USER_FILE", CFG(ssl_user_file)),
    wire_text(DURL_OPT_EXTERN_DISPOSITION, "EXTERN_DISPOSITION", CFG(extern_disposition)),
    wire_text(DURL_OPT_EXTERN_BODY, "EXTERN_BODY", CFG(extern_body)),
    wire_text(DURL_OPT_DISPOSITION, "DISPOSITION", CFG(disposition), "upload"),
    unsigned_range(DURL_OPT_LOG_LEVEL, CFG(log_level), 0, 7, 7,
                   "The log level value err, set default 7.\n"),
    unsigned_range(DURL_OPT_RECV_BUFFER, CFG(recv_buffer), 1024, 524288, 2048,
                   "The receive buffer value err, set default 2048byte.\n"),
};

#undef CFG

// Seeding copies between fields of one size.
static_assert(sizeof(durl_config::ssl_trust_path) == sizeof(durl_config::ssl_user_path));
static_assert(sizeof(durl_config::ssl_ca_file) == sizeof(durl_config::ssl_ca_usefile));

constexpr bool table_is_indexed_by_id() {
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        const OptionSpec &o = kOptions[i];
        if (o.id != static_cast<int>(i)) return false;
        if (o.kind == Kind::text && o.capacity < 2) return false;
        if (o.kind != Kind::text && o.kind != Kind::none && o.capacity != sizeof(int32_t))
            return false;
    }
    return true;
}
static_assert(std::size(kOptions) == DURL_OPT_RECV_BUFFER + 1, "one entry per option id");
static_assert(table_is_indexed_by_id(), "entry i describes option i with a fitting field");

constexpr const char kMask[] = "******";

char *member(durl_handle *h, size_t offset) { return reinterpret_cast<char *>(h) + offset; }

// The one way text enters a record: a value that fits with its terminator, or nothing.
// A value as long as the field is refused like a longer one; a null value like an empty one.
// Returns whether the value was taken.
bool set_strncpy(char *field, const char *value, size_t size, const char *key, bool secret,
                 bool one_line) {
    size_t len = value ? strnlen(value, size) : 0;
    const char *shown = secret ? kMask : (value ? value : "");
    if (size < 1 || len < 1 || len >= size) {
        log_msg(DURL_LOG_ERR, "set %s err,%s.\n", key, shown);
        return false;
    }
    // The value itself stays out of this line: its line breaks would forge log lines too.
    if (one_line && strcspn(value, "\r\n") < len) {
        log_msg(DURL_LOG_ERR, "set %s err, line break in the value.\n", key);
        return false;
    }
    memset(field, 0, size);
    memcpy(field, value, len);
    log_msg(DURL_LOG_INFO, "SET %s: %s\n", key, shown);
    return true;
}

bool set_text(durl_handle *h, const OptionSpec &o, const char *value) {
    char *field = member(h, o.offset);
    bool taken = set_strncpy(field, value, o.capacity, o.key, o.secret, o.one_line);
    char *seeded = o.seed ? member(h, o.seed) : nullptr;
    if (seeded && seeded[0] == '\0') memcpy(seeded, field, o.capacity);
    return taken;
}

void set_number(durl_handle *h, const OptionSpec &o, int value) {
    int32_t stored = value;
    bool in_range = true;
    switch (o.kind) {
        case Kind::flag:
            stored = value != 0;
            break;
        case Kind::unsigned_: {
            auto u = static_cast<uint32_t>(value);
            in_range = u >= o.lo && u <= o.hi;
            break;
        }
        case Kind::signed_:
            in_range = value >= static_cast<int32_t>(o.lo);
            break;
        default:
            break;
    }
    if (!in_range) {
        stored = o.fallback;
        log_msg(DURL_LOG_WARNING, "%s", o.warning);
    }
    memcpy(member(h, o.offset), &stored, sizeof stored);
}

// Resolve a setter's handle: null is the default handle (usable before durl_init()).
durl_handle *resolve_for_set(durl_handle *handle) {
    if (!handle) {
        log_msg(DURL_LOG_INFO, "set option to global, handle is empty.\n");
        return &g_durl.default_handle;
    }
    if (durl_check_global_type(handle) != 0) {
        log_msg(DURL_LOG_ERR, "set option fails, handle is empty.\n");
        return nullptr;
    }
    if (handle->in_use != 1) {
        log_msg(DURL_LOG_ERR, "set option fails, handle is no init.\n");
        return nullptr;
    }
    return handle;
}

// Session description lines, each logged in pieces of at most 249 characters; a last
// piece without its line feed is not a complete line and stays unlogged.
void log_session_lines(const char *text, size_t size) {
    if (text[0] == '0') return;
    const size_t kPiece = 249;
    size_t pos = 0;
    while (pos < size && text[pos] != '\0') {
        const auto *nl = static_cast<const char *>(memchr(text + pos, '\n', size - pos));
        size_t end = nl ? static_cast<size_t>(nl - text) : size;
        if (!nl || memchr(text + pos, '\0', end - pos)) return;
        size_t len = end - pos;
        size_t off = 0;
        do {
            size_t n = len - off < kPiece ? len - off : kPiece;
            log_msg(DURL_LOG_INFO, "dump:%.*s\n", static_cast<int>(n), text + pos + off);
            off += n;
        } while (off < len);
        pos = end + 1;
    }
}

}  // namespace

void durl_option_defaults(durl_handle *h) {
    for (const OptionSpec &o : kOptions) {
        if (o.kind == Kind::text)
            snprintf(member(h, o.offset), o.capacity, "%s", o.initial);
        else if (o.kind != Kind::none)
            memcpy(member(h, o.offset), &o.fallback, sizeof o.fallback);
    }
    if (h == &g_durl.default_handle) durl_log_publish_default(h->cfg.log_level);
}

namespace {

// durl_set_option() with its value argument in ap.
int set_option(durl_handle *handle, int option, va_list ap) {
    durl_handle *h = resolve_for_set(handle);
    if (!h) return -102;
    const OptionSpec *o = nullptr;
    if (option >= 0 && option < static_cast<int>(std::size(kOptions))) o = &kOptions[option];

    // The one value argument: a text or an int, as the option's kind says.
    const char *text = nullptr;
    int number = 0;
    // The analyzer loses va_start's state after inlining the log funnel's own varargs.
    // NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
    if (o && o->kind == Kind::text)
        text = va_arg(ap, const char *);
    else if (o && o->kind != Kind::none)
        number = va_arg(ap, int);
    // NOLINTEND(clang-analyzer-valist.Uninitialized)

    durl_lock_guard guard(&h->lock);
    if (!o || o->kind == Kind::none) {
        log_msg(DURL_LOG_ERR, "set option fails, option is no support.\n");
        return -148;
    }
    // A refused text is an argument error: the caller must learn that the old value stays.
    if (o->kind == Kind::text) return set_text(h, *o, text) ? 0 : -2;
    set_number(h, *o, number);
    if (h == &g_durl.default_handle) durl_log_publish_default(h->cfg.log_level);
    return 0;
}

}  // namespace

extern "C" int durl_set_option(durl_handle *handle, int option, ...) {
    va_list ap;
    va_start(ap, option);
    int rc = durl_frame(DURL_RC_NO_MEMORY, [&] { return set_option(handle, option, ap); });
    va_end(ap);
    return rc;
}

extern "C" int durl_get_option(durl_handle *handle, ...) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        // Settings are write-only by design; durl_dump() shows them.
        if (!handle)
            log_msg(DURL_LOG_INFO, "get option form global, handle is empty.\n");
        else if (durl_check_global_type(handle) != 0)
            log_msg(DURL_LOG_ERR, "get option fails, handle is empty.\n");
        return -102;
    });
}

extern "C" int durl_dump(durl_handle *handle, char *buf, size_t size) {
    return durl_frame(DURL_RC_NO_MEMORY, [&]() -> int {
        durl_handle *h = handle;
        if (!h || h == &g_durl.default_handle) {
            h = &g_durl.default_handle;
            log_msg(DURL_LOG_INFO, "dump the global info.\n");
        } else if (durl_check_global_type(h) != 0) {
            log_msg(DURL_LOG_ERR, "dump fails, You must call the init function.\n");
            return -102;
        }
        durl_config c = durl_config_snapshot(h);
        // The engine writes the session text; never trust it to be terminated.
        c.ssl_session_dump[sizeof c.ssl_session_dump - 1] = '\0';
        log_session_lines(c.ssl_session_dump, sizeof c.ssl_session_dump);
        if (!buf || size == 0) return 0;

        memset(buf, 0, size);
        snprintf(buf, size - 1,
                 "durl_version=%s\nnet_ipv6=%d\nnet_preferred=%d\nconnect_timeout=%d\n"
                 "operate_timeout=%d\nmax_filesize=%d\nmac=%s\nlow_speed=%dbyte-%ds\nkeep_post=%d\n"
                 "user_agent=%s\nssl_version=%d\nssl_verify_peer=%d\nssl_verify_host=%d\n"
                 "ssl_sign_algo=%d\nssl_def_cert=%d\nssl_trust_path=%s\nssl_dev_cert=%s\n"
                 "ssl_web_cert_path=%s\nssl_cipher=%s\nlog_level=%d\nrecv_buffer=%d\n%s",
                 DURL_VERSION_TEXT, c.net_ipv6, c.net_preferred, c.connect_timeout,
                 c.operate_timeout, static_cast<int>(c.max_filesize), c.mac_addr, c.low_speed_limit,
                 c.low_speed_time, c.keep_post, c.user_agent, c.ssl_version, c.ssl_verify_peer,
                 c.ssl_verify_host, c.ssl_sign_algo, c.ssl_def_cert, c.ssl_user_path,
                 c.ssl_ca_usefile, c.ssl_web_capath, c.ssl_cipher, c.log_level, c.recv_buffer,
                 c.ssl_session_dump);
        return 0;
    });
}
