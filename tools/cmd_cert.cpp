// durl verify / issue / csr: check a certificate against trusted CAs, issue a client
// certificate from a CA key, and write a certificate signing request.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>

#include "commands.h"
#include "dl_ca.h"
#include "durl.h"

namespace {

const cli::Option kPassword = {"password", 0, "TEXT",
                               "pass phrase of an encrypted device key (--advance)"};
const cli::Option kSeed = {"seed", 0, "TEXT",
                           "seed of the key generator (same seed + CN + bits = same key)"};
// RSA size of a new key when --bits is not given.
constexpr long kDefaultBits = 2048;

const cli::Option kBits = {"bits", 'b', "N", "RSA size of a new key (default 2048)"};
const cli::Option kKey = {"key", 'k', "FILE",
                          "client key: reused when it holds a key, else created (mode 0600)"};
const cli::Option kSubject = {"subject", 's', "TEXT", "subject, e.g. \"/C=CN/O=Acme/CN=phone\""};

// Applies the settings the certificate commands share. False when one is refused.
bool apply_settings(const cli::Command &self, const cli::Parsed &args) {
    if (args.has("password") &&
        !cli::set_text_option(self, DURL_OPT_SSL_PASSWD, "password", args.get("password")))
        return false;
    if (args.has("seed") &&
        !cli::set_text_option(self, DURL_OPT_ENV_RANDOMNESS, "seed", args.get("seed")))
        return false;
    return true;
}

// Fetches the options every issuing command needs; false (error printed) when one is missing.
bool required(const cli::Command &self, const cli::Parsed &args,
              std::initializer_list<const char *> names) {
    const auto missing = std::find_if(names.begin(), names.end(),
                                      [&](const char *name) { return args.get(name).empty(); });
    if (missing == names.end()) return true;
    cli::fail(self, std::string("--") + *missing + " is required (see --help)");
    return false;
}

const char *verify_meaning(int code) {
    switch (code) {
        case DL_STATUS_BAD_ARGUMENT:
            return "missing argument";
        case DL_STATUS_TLS_FAILURE:
            return "trust store, TLS context or credential file could not be loaded";
        case DL_STATUS_BAD_SIGNATURE:
            return "bad signature";
        case DL_STATUS_NOT_YET_VALID:
            return "not yet valid";
        case DL_STATUS_EXPIRED:
            return "expired";
        case DL_STATUS_NO_ISSUER:
            return "issuer not among the trusted CAs";
        case DL_STATUS_WRONG_METHOD:
            return "the protocol setting names no protocol";
        case DL_STATUS_NO_CERTIFICATE:
            return "certificate refused by a TLS context";
        case DL_STATUS_NO_PRIVATE_KEY:
            return "private key can't be loaded";
        case DL_STATUS_KEY_MISMATCH:
            return "private key does not match";
        default:
            return "not verified";
    }
}

int run_verify(const cli::Command &self, const cli::Parsed &args) {
    long version = 0;
    if (!args.get_int("ssl-version", version)) return 2;
    if (!cli::start_library(self, args)) return 1;
    if (!apply_settings(self, args)) {
        cli::stop_library();
        return 2;
    }
    // Without --ssl-version the library's own default protocol applies.
    if (args.has("ssl-version"))
        durl_set_option(nullptr, DURL_OPT_SSL_VERSION, static_cast<int>(version));
    const std::string file = args.positional[0];
    const std::string dir = args.get("ca-dir");
    const std::string ca = args.get("ca-file");
    dl_ca_status status{};
    const int rc = dl_cert_verify(file.c_str(), args.has("ca-dir") ? dir.c_str() : nullptr,
                                  args.has("ca-file") ? ca.c_str() : nullptr,
                                  args.has("advance") ? DL_VERIFY_ADVANCE : 0, &status);
    cli::stop_library();
    if (rc == DL_OK) {
        std::printf("%s: OK\n", file.c_str());
        return 0;
    }
    std::string message = status.message;
    while (!message.empty() && message.back() == '\n') message.pop_back();
    std::printf("%s: FAILED (code %d: %s)%s%s\n", file.c_str(), status.code,
                verify_meaning(status.code), message.empty() ? "" : " ", message.c_str());
    return 1;
}

int run_issue(const cli::Command &self, const cli::Parsed &args) {
    long bits = kDefaultBits;
    long algo = 1;
    if (!args.get_int("bits", bits) || !args.get_int("sign-algo", algo)) return 2;
    if (!required(self, args, {"ca-cert", "ca-key", "key", "out", "subject"})) return 2;
    if (!cli::start_library(self, args)) return 1;
    if (!apply_settings(self, args)) {
        cli::stop_library();
        return 2;
    }
    durl_set_option(nullptr, DURL_OPT_SSL_SIGN_ALGO, static_cast<int>(algo));
    const int rc = dl_generate_client_cert(args.get("ca-cert").c_str(), args.get("ca-key").c_str(),
                                           args.get("key").c_str(), args.get("out").c_str(),
                                           args.get("subject").c_str(), static_cast<int>(bits));
    cli::stop_library();
    if (rc != DL_OK) return cli::fail(self, "issuance failed (run with -v for the reason)");
    std::printf("issued %s for %s (key %s)\n", args.get("out").c_str(), args.get("subject").c_str(),
                args.get("key").c_str());
    return 0;
}

const char *csr_meaning(int code) {
    switch (code) {
        case DL_CSR_BAD_ARGUMENT:
            return "missing argument";
        case DL_CSR_NO_REQUEST:
            return "request can't be made";
        case DL_CSR_MAKE_FAILED:
            return "subject, version or key can't be set (subject must start with /)";
        case DL_CSR_SIGN_FAILED:
            return "signing failed";
        case DL_CSR_VERIFY_FAILED:
            return "signature does not verify";
        case DL_CSR_FILE_FAILED:
            return "a file could not be written";
        case DL_CSR_KEY_UNREADABLE:
            return "key file can't be read (encrypted keys are kept, not replaced)";
        case DL_CSR_KEY_GEN_FAILED:
            return "key generation failed";
        default:
            return "failed";
    }
}

int run_csr(const cli::Command &self, const cli::Parsed &args) {
    long bits = kDefaultBits;
    if (!args.get_int("bits", bits)) return 2;
    if (!required(self, args, {"key", "out", "subject"})) return 2;
    if (!cli::start_library(self, args)) return 1;
    if (!apply_settings(self, args)) {
        cli::stop_library();
        return 2;
    }
    durl_set_option(nullptr, DURL_OPT_SSL_EXTRA_FLAG, args.has("libc-startup") ? 1 : 0);
    const int rc = dl_cert_build_csr_req_file(args.get("out").c_str(), args.get("key").c_str(),
                                              args.get("subject").c_str(), static_cast<int>(bits));
    cli::stop_library();
    if (rc != DL_OK) return cli::fail(self, "code " + std::to_string(rc) + ": " + csr_meaning(rc));
    std::printf("wrote %s for %s (key %s)\n", args.get("out").c_str(), args.get("subject").c_str(),
                args.get("key").c_str());
    return 0;
}

}  // namespace

const cli::Command kVerifyCommand = {
    "verify",
    "FILE [--ca-dir D] [--ca-file F] [--advance]",
    "verify a certificate (PEM or DER) against trusted CAs",
    {{"ca-dir", 0, "DIR", "directory of trusted CAs under hash names (default: OpenSSL's)"},
     {"ca-file", 0, "FILE", "PEM file of trusted CAs (default: OpenSSL's bundle)"},
     {"advance", 0, nullptr, "also check FILE is a PEM certificate with its matching key"},
     kPassword,
     {"ssl-version", 0, "N",
      "protocol of the --advance check: 0 TLS1.0, 3 any (default), "
      "4 TLS1.1, 5 TLS1.2, 6 TLS1.3"}},
    run_verify,
    1,
    1};

const cli::Command kIssueCommand = {
    "issue",
    "--ca-cert F --ca-key F --key F --out F --subject S [--bits N] [--sign-algo N]",
    "issue a client certificate signed by a CA; OUT gets the certificate and its key",
    {{"ca-cert", 0, "FILE", "CA certificate (PEM or DER)"},
     {"ca-key", 0, "FILE", "CA private key (PEM, unencrypted)"},
     kKey,
     {"out", 'o', "FILE", "output: certificate followed by the client key (mode 0600)"},
     kSubject,
     kBits,
     {"sign-algo", 0, "N",
      "digest: 1 SHA-256 (the default here), 2 SHA-384, 3 SHA-512, 0 MD5 (the library's "
      "default, refused by TLS at OpenSSL's usual security level)"},
     kSeed},
    run_issue,
    0,
    0};

const cli::Command kCsrCommand = {
    "csr",
    "--key F --out F --subject S [--bits N] [--seed S] [--libc-startup]",
    "write a certificate signing request (PEM, SHA-1) for a kept or new key",
    {kKey,
     {"out", 'o', "FILE", "output: the request in PEM"},
     kSubject,
     kBits,
     kSeed,
     {"libc-startup", 0, nullptr, "start the key generator from the C library's rand()"}},
    run_csr,
    0,
    0};
