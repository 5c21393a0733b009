// durl ca / dev / cert: the trusted CA store, the device certificate and certificate
// details, from a shell.
//
//   durl ca install FILE | list [--long] | remove FILE|HASH      [--trust-path DIR]
//   durl dev install FILE | install-part FILE | info | remove    [--dev-cert FILE]
//   durl cert info FILE [--long] [--with-key]
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "dl_ca.h"
#include "durl.h"

namespace {

// The device's trust directory, used when --trust-path is not given.
constexpr const char *kDefaultTrustPath = "/config/certs/";

const cli::Option kTrustPath = {"trust-path", 't', "DIR",
                                "trust directory (default: /config/certs/)"};
const cli::Option kDevCert = {"dev-cert", 'd', "FILE",
                              "device certificate file (default: the library's)"};
const cli::Option kPassword = {"password", 'p', "TEXT", "pass phrase of an encrypted key"};
const cli::Option kLong = {"long", 'l', nullptr, "all details (version, serial, algorithms...)"};
const cli::Option kWithKey = {"with-key", 'k', nullptr,
                              "also describe the private key that follows the certificate"};
const cli::Option kSslVersion = {"ssl-version", 0, "N",
                                 "protocol of the pair check: 0 TLSv1, 3 any (default), 4 TLSv1.1, "
                                 "5 TLSv1.2, 6 TLSv1.3; 1, 2 (SSLv2/3) are unavailable"};

// The trust directory the command works on (the library's default unless given), made
// absolute: the store's links hold the directory's text, and a relative one would point
// beside them.
std::string trust_dir(const cli::Parsed &args) {
    std::string t = args.get("trust-path", kDefaultTrustPath);
    if (!t.empty() && t[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) t = std::string(cwd) + "/" + t;
    }
    if (!t.empty() && t.back() != '/') t += '/';  // the store joins names by plain concatenation
    return t;
}

// Starts the library and applies the options every certificate command may carry.
bool start(const cli::Command &self, const cli::Parsed &args) {
    if (!cli::start_library(self, args)) return false;
    bool ok = true;
    if (args.has("trust-path") || self.name == std::string("ca"))
        ok = cli::set_text_option(self, DURL_OPT_SSL_TRUST_PATH, "trust-path", trust_dir(args));
    if (ok && args.has("dev-cert"))
        ok = cli::set_text_option(self, DURL_OPT_SSL_CA_FILE, "dev-cert", args.get("dev-cert"));
    if (ok && args.has("password"))
        ok = cli::set_text_option(self, DURL_OPT_SSL_PASSWD, "password", args.get("password"));
    long version = 0;
    if (ok && args.has("ssl-version")) {
        ok = args.get_int("ssl-version", version);
        if (ok) durl_set_option(nullptr, DURL_OPT_SSL_VERSION, static_cast<int>(version));
    }
    if (!ok) cli::stop_library();
    return ok;
}

int finish(const cli::Command &self, int rc, const char *what, const char *meaning) {
    cli::stop_library();
    if (rc == 0) return 0;
    char text[256];
    std::snprintf(text, sizeof text, "%s failed (%d): %s", what, rc, meaning);
    return cli::fail(self, text);
}

void print_short(const dl_ca_info &e) {
    std::printf("%08x  %-32.32s  %-20.20s  %-24s  %s\n", e.hash, e.common_name, e.organization,
                e.not_after, e.path);
}

void print_long(const dl_ca_info_ex &e, bool with_key) {
    std::printf("subject:     %s\nissuer:      %s\nversion:     %u\nserial:      %s\n", e.subject,
                e.issuer, e.version, e.serial);
    std::printf("signature:   %s\npublic key:  %s, %d bits\nnot before:  %s\nnot after:   %s\n",
                e.sig_algo, e.key_algo, e.key_bits, e.not_before, e.not_after);
    std::printf("hash:        %08x\nextensions:  %u\n", e.hash, e.ext_count);
    if (e.path[0]) std::printf("path:        %s\n", e.path);
    if (with_key) {
        if (e.pri_key_algo[0])
            std::printf("private key: %s, %d bits\n", e.pri_key_algo, e.pri_key_bits);
        else
            std::printf("private key: none found after the certificate\n");
    }
}

const char *install_ca_meaning(int rc) {
    switch (rc) {
        case DL_CA_NOT_INSTALLED:
            return "not a readable certificate, or the store can't be created or written";
        case DL_CA_ALREADY_INSTALLED:
            return "a CA with the same subject is already installed";
        case DL_CA_FACTORY_CA:
            return "a CA with the same subject is among the factory CAs";
        default:
            return "unknown result";
    }
}

int ca_list(const cli::Command &self, const cli::Parsed &args) {
    if (args.has("long")) {
        static dl_trust_ca_list_ex list;
        dl_ca_status status;
        int rc = dl_get_trust_ca_info_ex(&list, &status);
        for (int i = 0; rc == 0 && i < list.count; ++i) {
            if (i) std::printf("\n");
            print_long(list.entries[i], false);
        }
        if (rc == 0) std::printf("%d trusted CA%s\n", list.count, list.count == 1 ? "" : "s");
        return finish(self, rc, "listing", "the trust directory can't be opened");
    }
    static dl_trust_ca_list list;
    int rc = dl_get_trust_ca_info(&list);
    if (rc == 0) {
        std::printf("%-8s  %-32s  %-20s  %-24s  %s\n", "HASH", "COMMON NAME", "ORGANIZATION",
                    "NOT AFTER", "PATH");
        for (int i = 0; i < list.count; ++i) print_short(list.entries[i]);
        std::printf("%d trusted CA%s\n", list.count, list.count == 1 ? "" : "s");
    }
    return finish(self, rc, "listing", "the trust directory can't be opened");
}

// An entry may be named by its file or by its eight-digit hash.
std::string entry_path(const cli::Parsed &args, const std::string &arg) {
    if (arg.size() != 8 || arg.find_first_not_of("0123456789abcdef") != std::string::npos)
        return arg;
    return trust_dir(args) + arg + ".0";
}

int run_ca(const cli::Command &self, const cli::Parsed &args) {
    const std::string &action = args.positional[0];
    bool needs_file = action == "install" || action == "remove";
    if (!needs_file && action != "list") return cli::fail(self, "unknown action '" + action + "'");
    if (needs_file != (args.positional.size() == 2))
        return cli::fail(self, std::string("usage: durl ca ") + self.usage);
    if (!start(self, args)) return 1;
    if (action == "list") return ca_list(self, args);
    if (action == "install") {
        int rc = dl_install_ca(args.positional[1].c_str());
        if (rc == 0) std::printf("installed %s\n", args.positional[1].c_str());
        return finish(self, rc, "install", install_ca_meaning(rc));
    }
    // dl_del_ca removes whatever file it is given: refuse names that are no certificate.
    std::string file = entry_path(args, args.positional[1]);
    if (dl_get_ca_hash(file.c_str()) == 0)
        return finish(self, DL_FAILED, "remove", "not a certificate file");
    dl_del_ca(file.c_str());
    std::printf("removed %s\n", file.c_str());
    return finish(self, DL_OK, "remove", "");
}

const char *install_dev_meaning(int rc) {
    switch (rc) {
        case DL_FAILED:
            return "no certificate or key found, or the device file can't be written";
        case DL_DEV_KEY_UNLOADABLE:
            return "the private key can't be loaded (wrong or missing --password?)";
        case DL_DEV_CERT_UNLOADABLE:
            return "the certificate can't be loaded or is refused (MD5/SHA-1 or < 2048 bits)";
        case DL_DEV_KEY_MISMATCH:
            return "the private key does not match the certificate";
        case DL_DEV_TLS_FAILURE:
            return "no certificate in the file, or no TLS context for --ssl-version";
        case DL_DEV_NO_DIRECTORY:
            return "a directory can't be made, or the copy failed (device file unchanged)";
        case DL_DEV_BAD_PATH:  // also DL_DEV_WRONG_METHOD, DL_DEV_SAME_AS_CUSTOM
            return "bad device path or --ssl-version, or already the device certificate";
        case DL_DEV_SAME_AS_FACTORY:
            return "same as the factory device certificate";
        default:
            return "unknown result";
    }
}

int dev_info(const cli::Command &self) {
    dl_ca_info info;
    int rc = dl_get_ser_ca_info(&info);
    if (rc == DL_OK || rc == DL_KEY_NOT_MATCHING) {
        std::printf("common name:  %s\norganization: %s\nnot after:    %s\nhash:         %08x\n",
                    info.common_name, info.organization, info.not_after, info.hash);
        std::printf("private key:  %s\n",
                    rc == DL_OK ? "present, matches" : "missing or not matching");
    }
    return finish(self, rc == DL_KEY_NOT_MATCHING ? DL_OK : rc, "info",
                  rc == DL_NO_CERTIFICATE ? "no readable device certificate" : "bad argument");
}

int run_dev(const cli::Command &self, const cli::Parsed &args) {
    const std::string &action = args.positional[0];
    bool needs_file = action == "install" || action == "install-part";
    if (!needs_file && action != "info" && action != "remove")
        return cli::fail(self, "unknown action '" + action + "'");
    if (needs_file != (args.positional.size() == 2))
        return cli::fail(self, std::string("usage: durl dev ") + self.usage);
    if (!start(self, args)) return 1;
    if (action == "info") return dev_info(self);
    if (action == "remove") return finish(self, dl_del_ser_ca(), "remove", "");
    const char *file = args.positional[1].c_str();
    int rc = action == "install" ? dl_install_ser_ca(file) : dl_install_ser_ca_separate(file);
    if (rc == 0) std::printf("installed %s as device certificate\n", file);
    return finish(self, rc, action.c_str(), install_dev_meaning(rc));
}

int run_cert(const cli::Command &self, const cli::Parsed &args) {
    if (args.positional[0] != "info" || args.positional.size() != 2)
        return cli::fail(self, std::string("usage: durl cert ") + self.usage);
    if (!start(self, args)) return 1;
    const char *file = args.positional[1].c_str();
    bool with_key = args.has("with-key");
    if (args.has("long") || with_key) {
        dl_ca_info_ex info;
        dl_ca_status status;
        int rc = dl_get_ca_info_ex(file, &info, with_key ? DL_CA_INFO_CLIENT_CERT : 0, &status);
        if (rc == 0) print_long(info, with_key);
        return finish(self, rc, "info",
                      status.code == DL_STATUS_TLS_FAILURE ? "TLS library failure"
                                                           : "no readable certificate");
    }
    dl_ca_info info;
    std::memset(&info, 0, sizeof info);
    int rc = dl_get_ca_info(file, &info);
    if (rc == 0)
        std::printf("common name:  %s\norganization: %s\nnot after:    %s\nhash:         %08x\n",
                    info.common_name, info.organization, info.not_after, info.hash);
    return finish(self, rc, "info", "no readable certificate");
}

}  // namespace

const cli::Command kCaCommand = {"ca",
                                 "install FILE | list [--long] | remove FILE|HASH",
                                 "install, list and remove trusted CA certificates",
                                 {kTrustPath, kLong},
                                 run_ca,
                                 1,
                                 2};

const cli::Command kDevCommand = {
    "dev",
    "install FILE | install-part FILE | info | remove",
    "install (certificate + key, checked), install a certificate or key alone, describe or "
    "remove the device certificate",
    {kDevCert, kPassword, kSslVersion},
    run_dev,
    1,
    2};

const cli::Command kCertCommand = {
    "cert",
    "info FILE [--long] [--with-key]",
    "describe a certificate file (PEM or DER; --long rewrites DER as PEM)",
    {kLong, kWithKey, kPassword},
    run_cert,
    2,
    2};
