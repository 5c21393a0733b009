// Option texts and numbers, the settings dump, and the TLS session text the dump shows.
//
// Input: a sequence of operations, each an opcode byte followed by its argument: set an
// option (text part or two-byte number), store a session text (part), or describe a TLS
// session (with the peer's common name as a part) into a buffer of a given size. The dump runs at
// the end into a buffer whose size the first byte chooses.
#include <cstring>
#include <string>
#include <vector>

#include <openssl/err.h>

#include "engine.h"
#include "harness.h"

namespace {

bool is_text_option(int id) {
    switch (id) {
        case DURL_OPT_USER_AGENT:
        case DURL_OPT_MAC_ADDR:
        case DURL_OPT_SSL_CIPHER:
        case DURL_OPT_SSL_PASSWD:
        case DURL_OPT_SSL_TRUST_PATH:
        case DURL_OPT_SSL_USER_PATH:
        case DURL_OPT_SSL_CA_FILE:
        case DURL_OPT_SSL_CA_USEFILE:
        case DURL_OPT_SSL_WEB_CAPATH:
        case DURL_OPT_ENV_RANDOMNESS:
        case DURL_OPT_ADDITION_BODY:
        case DURL_OPT_CUSTOM_METHOD:
        case DURL_OPT_SSL_USER_FILE:
        case DURL_OPT_EXTERN_DISPOSITION:
        case DURL_OPT_EXTERN_BODY:
        case DURL_OPT_DISPOSITION:
            return true;
        default:
            return false;
    }
}

// Expected dump values of three texts: a value that fits replaces the old one, anything
// else leaves it.
struct Expected {
    std::string user_agent, mac, cipher;
    // Records a value the library must take; false when it must refuse it (empty, too long
    // for its field, or a line break in the user agent, which goes on the wire).
    bool take(int id, const std::string &value) {
        const size_t len = strnlen(value.c_str(), value.size() + 1);
        const std::string text = value.substr(0, len);
        auto keep = [&](std::string &field, size_t capacity, bool one_line) {
            if (len < 1 || len >= capacity) return false;
            if (one_line && text.find_first_of("\r\n") != std::string::npos) return false;
            field = text;
            return true;
        };
        if (id == DURL_OPT_USER_AGENT)
            return keep(user_agent, sizeof(durl_config::user_agent), true);
        if (id == DURL_OPT_MAC_ADDR) return keep(mac, sizeof(durl_config::mac_addr), false);
        if (id == DURL_OPT_SSL_CIPHER) return keep(cipher, sizeof(durl_config::ssl_cipher), false);
        return true;  // not followed: any answer of 0 or -2 is fine
    }
    static bool followed(int id) {
        return id == DURL_OPT_USER_AGENT || id == DURL_OPT_MAC_ADDR || id == DURL_OPT_SSL_CIPHER;
    }
};

void describe(size_t size, const std::string &cn) {
    fuzz::TlsPair session;
    if (!fuzz::tls_pair(session, cn)) {
        ERR_clear_error();
        return;
    }
    std::vector<char> buf(size + 4, '\x7f');
    const size_t n = durl_tls_describe(session.client, buf.data(), size);
    if (size == 0) {
        FUZZ_CHECK(n == 0 && buf[0] == '\x7f');
        return;
    }
    FUZZ_CHECK(n < size && strlen(buf.data()) == n);
    FUZZ_CHECK(n == 0 || buf[n - 1] == '\n');  // cut at whole lines only
    if (size > 18) FUZZ_CHECK(strncmp(buf.data(), "protocol: TLSv1.3\n", 18) == 0);
    // Five lines of at most 100 characters: all of them fit 512 bytes.
    if (size >= 512) FUZZ_CHECK(strstr(buf.data(), "\nnot after: ") != nullptr);
    durl_ssl_dump dump;
    memset(&dump, 0, sizeof dump);
    dump.capacity = static_cast<uint32_t>(size);
    durl_ssl_session(session.client, &dump);
    FUZZ_CHECK(dump.length == strlen(dump.text) && dump.length < sizeof dump.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    durl_handle *h = nullptr;
    if (durl_create(&h) != 0) return 0;
    fuzz::Input in(data, size);
    const size_t dump_size = in.u16() % 9000;
    Expected want{h->cfg.user_agent, h->cfg.mac_addr, h->cfg.ssl_cipher};
    while (!in.empty()) {
        const uint8_t op = in.byte();
        if (op < 0xf0) {
            const int id = op % 44 - 2;  // includes the unsupported and negative ids
            if (is_text_option(id)) {
                const std::string value = in.part();
                const int rc = durl_set_option(h, id, value.c_str());
                FUZZ_CHECK(rc == 0 || rc == -2);
                // A refused text keeps the old value and says so.
                if (Expected::followed(id)) FUZZ_CHECK((rc == 0) == want.take(id, value));
            } else {
                const int value = static_cast<int>(in.u16() * 0x10001u);
                const int rc = durl_set_option(h, id, value);
                FUZZ_CHECK(rc == 0 || rc == -148);
            }
        } else if (op < 0xf8) {
            const std::string text = in.part();
            durl_ssl_dump dump;
            memset(&dump, 0, sizeof dump);
            memcpy(dump.text, text.data(), std::min(text.size(), sizeof dump.text));
            dump.length = static_cast<uint32_t>(strnlen(dump.text, sizeof dump.text));
            durl_ssl_dump_store(h, &dump);
        } else {
            const size_t describe_size = in.u16() % 600;
            describe(describe_size, in.part());
        }
    }
    std::vector<char> buf(dump_size + 1, '\x7f');
    FUZZ_CHECK(durl_dump(h, buf.data(), dump_size) == 0);
    FUZZ_CHECK(buf[dump_size] == '\x7f');
    if (dump_size) FUZZ_CHECK(strnlen(buf.data(), dump_size) < dump_size);
    if (dump_size >= 8192) {  // large enough for every field: the texts come back as set
        const std::string text(buf.data());
        FUZZ_CHECK(text.find("\nuser_agent=" + want.user_agent + "\nssl_version=") !=
                   std::string::npos);
        FUZZ_CHECK(text.find("\nmac=" + want.mac + "\nlow_speed=") != std::string::npos);
        FUZZ_CHECK(text.find("\nssl_cipher=" + want.cipher + "\n") != std::string::npos);
    }
    FUZZ_CHECK(durl_dump(h, nullptr, 0) == 0);
    FUZZ_CHECK(durl_destroy(h) == 0);
    return 0;
}
