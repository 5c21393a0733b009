// durl get / put: download a URL to a file or standard output, upload a file, with a flag
// for every request field and handle setting that applies to a transfer.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "durl.h"

namespace {

enum class Kind { text, number, flag };

// Handle settings reachable from the command line, applied to the default handle.
struct Setting {
    cli::Option option;
    int id;
    Kind kind;
};

const Setting kSettings[] = {
    {{"user-agent", 'A', "TEXT", "User-Agent header text"}, DURL_OPT_USER_AGENT, Kind::text},
    {{"ipv6", '6', nullptr, "allow IPv6 addresses (default IPv4 only)"},
     DURL_OPT_NET_IPV6,
     Kind::flag},
    {{"net-preferred", 0, nullptr, "address-family preference when IPv6 is allowed"},
     DURL_OPT_NET_PREFERRED,
     Kind::flag},
    {{"connect-timeout", 0, "S", "connection time limit, 1..3600 (default 5)"},
     DURL_OPT_CONNECT_TIMEOUT,
     Kind::number},
    {{"max-time", 'm', "S", "whole-transfer time limit, 0 = none (default)"},
     DURL_OPT_OPERATE_TIMEOUT,
     Kind::number},
    {{"low-speed-time", 0, "S", "seconds below --low-speed-limit before giving up"},
     DURL_OPT_LOW_SPEED_TIME,
     Kind::number},
    {{"low-speed-limit", 0, "B", "bytes per second counted as stalled (default 1)"},
     DURL_OPT_LOW_SPEED_LIMIT,
     Kind::number},
    {{"max-redirs", 0, "N", "redirects followed at most, 0..20 (default 5)"},
     DURL_OPT_MAX_REDIRS,
     Kind::number},
    {{"max-filesize", 0, "BYTES", "largest accepted body and FTP append size (default 2 MiB)"},
     DURL_OPT_MAX_FILESIZE,
     Kind::number},
    {{"keep-post", 0, "MASK", "redirect codes that keep a POST (default 7)"},
     DURL_OPT_KEEP_POST,
     Kind::number},
    {{"auto-referer", 0, "0|1", "send Referer when following redirects (default 1)"},
     DURL_OPT_AUTO_REFERER,
     Kind::number},
    {{"recv-buffer", 0, "BYTES", "HTTP receive buffer, 1024..524288 (default 2048)"},
     DURL_OPT_RECV_BUFFER,
     Kind::number},
    {{"ciphers", 0, "LIST", "TLS cipher list (a rejected list falls back to RSA suites)"},
     DURL_OPT_SSL_CIPHER,
     Kind::text},
    {{"ssl-version", 0, "N", "TLS selector: 0 TLSv1+, 3 default, 4 1.1, 5 1.2, 6 1.3"},
     DURL_OPT_SSL_VERSION,
     Kind::number},
    {{"capath", 0, "DIR", "verify servers against this hashed CA directory only"},
     DURL_OPT_SSL_USER_PATH,
     Kind::text},
    {{"cafile", 0, "FILE", "verify servers against this CA bundle only"},
     DURL_OPT_SSL_USER_FILE,
     Kind::text},
    {{"cert", 0, "FILE", "client certificate with its unencrypted key (PEM)"},
     DURL_OPT_SSL_CA_USEFILE,
     Kind::text},
    {{"default-cert", 0, nullptr, "present the device certificate when --cert is missing"},
     DURL_OPT_SSL_DEF_CERT,
     Kind::flag},
    {{"trace", 0, nullptr, "full protocol trace in the log (see it with -v)"},
     DURL_OPT_DEBUG_TRACE,
     Kind::flag},
    {{"addition-body", 0, "TEXT", "extra body of a POST with --auth 6"},
     DURL_OPT_ADDITION_BODY,
     Kind::text},
    {{"disposition", 0, "NAME", "form field name of the uploaded file (default upload)"},
     DURL_OPT_DISPOSITION,
     Kind::text},
    {{"field-name", 0, "NAME", "name of an extra form field sent before the file"},
     DURL_OPT_EXTERN_DISPOSITION,
     Kind::text},
    {{"field-value", 0, "TEXT", "contents of that extra form field"},
     DURL_OPT_EXTERN_BODY,
     Kind::text},
};

// Request fields and the switches that are not plain settings.
const cli::Option kRequestOptions[] = {
    {"request", 'X', "METHOD", "GET, POST, PUT, DELETE, HEAD or any other method name"},
    {"header", 'H', "LINE", "extra request header line (repeatable)"},
    {"data", 'd', "TEXT", "request body (POST unless -X says otherwise)"},
    {"user", 'u', "USER:PASS", "credentials, used when the URL carries none"},
    {"auth", 0, "N", "1 basic, 2 digest, 3 NTLM, 4 negotiate, 5 SIP header, else any"},
    {"keep-alive", 0, nullptr, "keep the connection (and TCP keep-alive) for reuse"},
    {"no-redirect", 0, nullptr, "do not follow redirects; a final 301/302 counts as success"},
    {"verify", 0, nullptr, "verify the server's certificate and host name"},
    {"insecure", 'k', nullptr, "do not verify the server (the default)"},
};
const cli::Option kGetOptions[] = {
    {"output", 'o', "FILE", "write the body here (moved into place only on success)"},
    {"max-size", 0, "BYTES", "keep only the first BYTES of the body (a cut is a success)"},
};
const cli::Option kPutOptions[] = {
    {"name", 'n', "NAME", "name the server is told (default: the file's last component)"},
    {"raw", 0, nullptr, "send the file as the request body instead of a form"},
    {"append", 0, nullptr, "FTP: append to the remote file"},
    {"append-limit", 0, "N", "append beyond --max-filesize: 1 replace, 2 cancel, else refuse"},
};

template <size_t N>
void add(std::vector<cli::Option> &out, const cli::Option (&options)[N]) {
    out.insert(out.end(), options, options + N);
}

std::vector<cli::Option> options_for(const cli::Option *own, size_t own_count) {
    std::vector<cli::Option> all(own, own + own_count);
    add(all, kRequestOptions);
    for (const Setting &s : kSettings) all.push_back(s.option);
    return all;
}

bool apply_settings(const cli::Command &self, const cli::Parsed &args) {
    for (const Setting &s : kSettings) {
        if (!args.has(s.option.long_name)) continue;
        long number = 1;
        if (s.kind == Kind::number && !args.get_int(s.option.long_name, number)) return false;
        if (s.kind == Kind::text) {
            if (!cli::set_text_option(self, s.id, s.option.long_name, args.get(s.option.long_name)))
                return false;
            continue;
        }
        if (durl_set_option(nullptr, s.id, static_cast<int>(number)) != 0) {
            cli::fail(self, std::string("--") + s.option.long_name + " was refused");
            return false;
        }
    }
    const bool verify = args.has("verify") && !args.has("insecure");
    durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_PEER, verify ? 1 : 0);
    durl_set_option(nullptr, DURL_OPT_SSL_VERIFY_HOST, verify ? 1 : 0);
    return true;
}

int method_code(const std::string &name) {
    static const struct {
        const char *name;
        int code;
    } known[] = {{"GET", DURL_METHOD_GET},
                 {"POST", DURL_METHOD_POST},
                 {"PUT", DURL_METHOD_PUT},
                 {"DELETE", DURL_METHOD_DELETE},
                 {"HEAD", DURL_METHOD_HEAD}};
    for (const auto &k : known)
        if (name == k.name) return k.code;
    return DURL_METHOD_CUSTOM;
}

// The request and the texts it points into; filled in place, never copied.
struct Request {
    durl_url_param param;
    std::string headers, data;
    Request() { std::memset(&param, 0, sizeof param); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;
};

template <size_t N>
bool copy_text(const cli::Command &self, char (&field)[N], const std::string &value,
               const char *what) {
    if (value.size() >= N) {
        cli::fail(self, std::string(what) + " is too long");
        return false;
    }
    std::snprintf(field, N, "%s", value.c_str());
    return true;
}

bool build_request(const cli::Command &self, const cli::Parsed &args, Request &r) {
    durl_url_param &p = r.param;
    if (!copy_text(self, p.url, args.positional[0], "the URL")) return false;
    for (const std::string &line : args.all("header")) r.headers += line + "\r\n";
    if (!r.headers.empty()) p.headers = r.headers.data();
    if (args.has("data")) {
        r.data = args.get("data");
        p.post_data = r.data.data();
        p.post_size = static_cast<int32_t>(r.data.size());
        p.method = DURL_METHOD_POST;
    }
    if (args.has("request")) {
        const std::string method = args.get("request");
        p.method = method_code(method);
        if (p.method == DURL_METHOD_CUSTOM &&
            !cli::set_text_option(self, DURL_OPT_CUSTOM_METHOD, "request", method))
            return false;
    }
    if (args.has("user")) {
        const std::string login = args.get("user");
        const size_t colon = login.find(':');
        if (!copy_text(self, p.user, login.substr(0, colon), "the user name")) return false;
        if (colon != std::string::npos &&
            !copy_text(self, p.password, login.substr(colon + 1), "the password"))
            return false;
    }
    long auth = 0;
    long max_size = 0;
    long append_limit = 0;
    if (!args.get_int("auth", auth) || !args.get_int("max-size", max_size) ||
        !args.get_int("append-limit", append_limit))
        return false;
    p.auth = static_cast<int32_t>(auth);
    p.max_size = static_cast<int32_t>(max_size);
    p.append_limit = static_cast<int32_t>(append_limit);
    p.keep_alive = args.has("keep-alive");
    p.no_redirect = args.has("no-redirect");
    p.raw_upload = args.has("raw");
    p.ftp_append = args.has("append");
    return apply_settings(self, args);
}

const char *code_text(int n) {
    switch (n) {
        case 1:
            return "unsupported protocol";
        case 3:
            return "malformed URL";
        case 6:
            return "could not resolve host";
        case 7:
            return "could not connect";
        case 9:
            return "access denied by the server";
        case 23:
            return "local write failed";
        case 26:
            return "local file could not be read";
        case 28:
            return "timed out";
        case 35:
            return "TLS handshake failed";
        case 42:
            return "stopped";
        case 43:
            return "setting refused (a TLS version libcurl no longer offers?)";
        case 55:
            return "send failed";
        case 56:
            return "receive failed";
        case 58:
            return "client certificate could not be used";
        case 59:
            return "cipher list refused";
        case 60:
            return "server certificate not trusted";
        case 63:
            return "size limit exceeded";
        case 67:
            return "login denied";
        case 68:
            return "TFTP file not found";
        case 77:
            return "CA certificates could not be loaded";
        case 78:
            return "remote file not found";
        default:
            return "transfer failed";
    }
}

// One line on stderr and the exit status: 0 success, the libcurl number n for -100-n,
// 22 for a refusing server status, 1 for the library's own refusals and local failures.
int report(const cli::Command &self, int rc, int recode, const std::string &where) {
    if (rc == 0) {
        std::fprintf(stderr, "durl %s: ok%s\n", self.name, where.c_str());
        return 0;
    }
    if (rc == -1 && recode >= 100) {
        cli::fail(self, "server answered " + std::to_string(recode) + " (code -1)");
        return 22;
    }
    if (rc <= -101 && rc >= -199) {
        cli::fail(self, std::string(code_text(-100 - rc)) + " (code " + std::to_string(rc) + ")");
        return -100 - rc;
    }
    // -1 with no status: a local file could not be used, or memory ran out.
    const char *what = rc == -1     ? "local file could not be used or memory ran out"
                       : rc == -2   ? "missing or bad argument"
                       : rc == -3   ? "no transfer handle"
                       : rc == -102 ? "library not initialised"
                       : rc == -127 ? "out of memory"
                                    : "failed";
    return cli::fail(self, std::string(what) + " (code " + std::to_string(rc) + ")");
}

std::string effective(const durl_result &r) {
    return r.effective_url[0] ? std::string(" (final URL ") + r.effective_url + ")" : "";
}

int run_get(const cli::Command &self, const cli::Parsed &args) {
    if (!cli::start_library(self, args)) return 1;
    Request req;
    if (!build_request(self, args, req)) {
        cli::stop_library();
        return 2;
    }
    durl_result result;
    std::memset(&result, 0, sizeof result);
    int rc;
    std::string where;
    // The meter never mixes into a body on standard output.
    cli::start_progress(args.has("output") && cli::meter_wanted(args));
    if (args.has("output")) {
        const std::string path = args.get("output");
        rc = durl_download_to_file(nullptr, &result, &req.param, path.c_str());
        where = ", saved to " + path;
    } else {
        rc = durl_download_to_memory(nullptr, &result, &req.param);
        if (rc == 0 && result.detail && result.detail->data)
            std::fwrite(result.detail->data, 1, result.detail->size, stdout);
        std::fflush(stdout);
        if (result.detail) where = ", " + std::to_string(result.detail->size) + " bytes";
    }
    const bool interrupted = cli::end_progress();
    int status = report(self, rc, result.recode, where + effective(result));
    if (interrupted && rc != 0) status = 130;  // the shell's code for an interrupt
    durl_free_result(&result);
    cli::stop_library();
    return status;
}

int run_put(const cli::Command &self, const cli::Parsed &args) {
    if (!cli::start_library(self, args)) return 1;
    Request req;
    if (!build_request(self, args, req)) {
        cli::stop_library();
        return 2;
    }
    const std::string file = args.positional.size() > 1 ? args.positional[1] : "";
    const std::string name = args.get("name");
    durl_result result;
    std::memset(&result, 0, sizeof result);
    cli::start_progress(cli::meter_wanted(args));
    int rc = durl_upload(nullptr, &result, &req.param, file.empty() ? nullptr : file.c_str(),
                         name.empty() ? nullptr : name.c_str());
    const bool interrupted = cli::end_progress();
    int status = report(self, rc, result.recode, effective(result));
    if (interrupted && rc != 0) status = 130;
    durl_free_result(&result);
    cli::stop_library();
    return status;
}

}  // namespace

const cli::Command kGetCommand = {
    "get",
    "URL [-o FILE]",
    "download a URL (HTTP, HTTPS, FTP, FTPS, TFTP) to a file or standard output",
    options_for(kGetOptions, sizeof kGetOptions / sizeof kGetOptions[0]),
    run_get,
    1,
    1};

const cli::Command kPutCommand = {
    "put",
    "URL [FILE]",
    "upload a file: HTTP form or raw body, PUT (no FILE: empty PUT), FTP store/append, TFTP",
    options_for(kPutOptions, sizeof kPutOptions / sizeof kPutOptions[0]),
    run_put,
    1,
    2};

// Shared with `durl stream` (cmd_stream.cpp): the same request and handle flags as get and
// put, and the same one-line report of the result.
std::vector<cli::Option> transfer_options(const cli::Option *own, size_t own_count) {
    return options_for(own, own_count);
}

int run_transfer(const cli::Command &self, const cli::Parsed &args,
                 int (*transfer)(const durl_url_param &param, durl_result &result)) {
    if (!cli::start_library(self, args)) return 1;
    Request req;
    if (!build_request(self, args, req)) {
        cli::stop_library();
        return 2;
    }
    durl_result result;
    std::memset(&result, 0, sizeof result);
    const int rc = transfer(req.param, result);
    const int status = report(self, rc, result.recode, effective(result));
    durl_free_result(&result);
    cli::stop_library();
    return status;
}
