// Real peers for the durl tests on 127.0.0.1 and free ports. Each starts on first use, once
// per test binary, and ends with it. When one cannot start, its accessor records a failure
// with the server's log and the URL names port 0.
//
// HTTP (tests/servers/durl_test_httpd.cpp): http_url() plain, https_url() TLS with
// pki().server_pem, mtls_url() TLS requiring a client certificate by pki().ca_pem. Keep-alive
// is on. misnamed_url(): TLS with a certificate by pki().ca_pem for "elsewhere.invalid" only.
// Every endpoint answers GET, HEAD, POST, PUT, PATCH and DELETE and takes any body:
//   /bytes/N          N pattern bytes (body_pattern.h) with Content-Length. Options: chunked=1,
//                     chunk=C bytes per write, delay_ms=D before each later write,
//                     header=Name:Value (repeatable), stall_after=K: after K bytes nothing
//                     more for stall_ms=M (30000), then a hang-up
//   /stall            Content-Length 1000000 and no body for stall_ms=M (30000), then a hang-up
//   /say?body=T       T;  /status/N: status N with "status N\n"
//   /redirect?to=U&code=C   C (302) to U (/bytes/10);  /redirect/N: N relative hops to
//                     /redirect/0, which answers "chain end\n"
//   /echo, /echo/...  the request's record as the body
//   /conn             the client's TCP port and "\n" (the same port: the same connection)
//   /cert             the client certificate's subject ("" without one) and "\n"
//   /webticket        401 with "X-MS-WebTicketURL: ...", or the echo when "X-MS-WebTicket" came
//   /auth/basic?user=U&pass=P, /auth/digest?...  a challenge, or the echo for the right login
// http_log(): a record per request since http_log_reset(), logged with its final status before
// the response leaves.
//
// FTP (tests/servers/ftpd.py): "user"/"pass" with home ftp_user_dir(), anonymous with home
// ftp_anon_dir(); both may write. ftp_url(p, "") sends no credentials; wrong ones get 530.
// ftps_url(): implicit FTPS with the server certificate (the system trust store refuses it).
// ftp_commands(): "<ftp|ftps> <client port> <COMMAND> <argument>" since ftp_commands_reset().
// TFTP (in.tftpd, needs root): tftp_url() serves tftp_root(); files there must be
// world-readable. tftp_available() is false where it cannot run.
//
// Misbehaving HTTP (tests/servers/hostile.py, Python's standard library): listeners "http" and
// "http2" (the same endpoints on two ports), "https" (the same over TLS, pki().server_pem) and
// "stall" (TLS whose handshake is never answered). hostile_url(path, listener, host) names one;
// host "localhost" instead of "127.0.0.1" reaches the same listener as another host. Every
// answer closes its connection; bodies are printable filler bytes:
//   /ok?size=N              N bytes with Content-Length
//   /chunked?size=N         N bytes, chunked;  /close?size=N: N bytes framed by the hang-up
//   /gzip?size=N[&as=content]  N bytes gzip-compressed, as "Transfer-Encoding: gzip, chunked"
//                           (as=content: "Content-Encoding: gzip" over chunked)
//   /length?declared=D&size=N  Content-Length D, then N bytes and a hang-up (a cut body: N < D)
//   /endless-header         one header line that never ends
//   /header-flood           header lines without end
//   /trickle?size=N&every_ms=T  Content-Length N, one byte every T ms (1000)
//   /loop                   302 to itself;  /redirect?to=U&code=C: C (302) to U, e.g. file:...
// hostile_log(): a record per request on any listener since hostile_log_reset() (the format of
// http_log(); `server` is the listener), so a redirect target shows the Authorization it got.
// FTP SIZE (see above) of a name starting "size-negative" answers -1048576, of "size-huge" a
// number beyond 64 bits; the files need not exist. Of "size-none" it answers 502, so a download
// of such a file comes without any size announcement.
//
// closed_port() refuses connections (7); black_hole_port() accepts and never answers (28).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "body_pattern.h"
#include "pki.h"
#include "test_files.h"

namespace durl_test {

std::string http_url(const std::string &path);  // "http://127.0.0.1:P" + path
std::string https_url(const std::string &path);
std::string mtls_url(const std::string &path);
std::string misnamed_url(const std::string &path);
int http_port();

struct HttpPart {
    std::string name, filename, content_type, body, md5;  // body: the first 4096 bytes
    uint64_t size = 0;
};

struct HttpRecord {
    std::string server, method, target;  // server: the listener that took the request
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
    uint64_t body_size = 0;      // raw body, or the sum of the part sizes
    std::string body_md5, body;  // body: the first 4096 bytes
    std::vector<HttpPart> parts;

    // First value of the header, its name compared without case; "" when absent.
    std::string header(const std::string &name) const;
    size_t header_count(const std::string &name) const;
    bool has_header(const std::string &name) const { return header_count(name) > 0; }
};

std::vector<HttpRecord> parse_http_records(const std::string &text);  // /_log text or /echo body
std::vector<HttpRecord> http_log();
void http_log_reset();

int hostile_port(const char *listener = "http");
std::string hostile_url(const std::string &path, const char *listener = "http",
                        const char *host = "127.0.0.1");
std::vector<HttpRecord> hostile_log();
void hostile_log_reset();
std::string filler(size_t n);  // the hostile server's body bytes: "0123456789" over and over

std::string ftp_url(const std::string &path, const std::string &userinfo = "user:pass");
std::string ftps_url(const std::string &path, const std::string &userinfo = "user:pass");
std::string ftp_user_dir();
std::string ftp_anon_dir();
std::vector<std::string> ftp_commands();
void ftp_commands_reset();
bool ftp_sent(const std::string &command);  // some command since the reset starts so

bool tftp_available();  // starts the server on first call
std::string tftp_url(const std::string &path);
std::string tftp_root();

int closed_port();
int black_hole_port();

}  // namespace durl_test
