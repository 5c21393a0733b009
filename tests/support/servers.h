// Real peers for the durl tests, all on 127.0.0.1 and free ports.
//
// Each kind of server starts on first use, once per test binary, and stops when the binary
// exits (the servers also exit on their own when the binary dies: they watch a pipe from it).
// Readiness is awaited (READY line or probe), never slept for. Accessors are thread-safe. When
// a server cannot start, the accessor records a gtest failure with the server's stderr and
// returns a URL on port 0, so the test fails with the reason instead of hanging.
//
// ------------------------------------------------------------------------------------------
// HTTP / HTTPS / mTLS (tests/servers/durl_test_httpd.cpp, cpp-httplib)
//
// One process, three ports: http_url() plain, https_url() TLS with pki().server_pem (signed
// by pki().ca_pem; the certificate names both localhost and 127.0.0.1), mtls_url() TLS that
// requires a client certificate signed by pki().ca_pem (pki().client_combined works;
// pki().other_client_combined is refused), tls12_url() TLS like https_url() but at most
// TLS 1.2 and only ECDHE-AESGCM suites (a client demanding TLS 1.3, or offering only
// static-RSA suites such as "RSA:!EXP:!LOW:!NULL:!MD5:@STRENGTH", fails with 35).
// Keep-alive is on (30 s idle, unlimited requests).
// Every endpoint answers GET, HEAD, POST, PUT, PATCH, DELETE and OPTIONS and consumes any
// request body (raw or multipart, any size, streamed: no 413 for big urlencoded bodies).
// Other method names (CURLOPT_CUSTOMREQUEST "FOO") are refused by cpp-httplib with 400 before
// any endpoint runs, but still appear in the request log with that method and status 400.
//
//   /bytes/N            N pattern bytes (body_pattern.h: byte i == pattern_byte(i)), with
//                       Content-Length, type application/octet-stream. Query options:
//                         chunked=1     no Content-Length, chunked transfer encoding
//                         chunk=C       bytes per write (default 16384)
//                         delay_ms=D    pause before every write after the first
//                         rate=B        about B bytes per second (chunk=B/20, delay 50 ms)
//                         stall_after=K send K bytes, then nothing until stall_ms passes
//                                       (default 30000), then drop the connection
//                         status=S, type=T, header=Name:Value (repeatable)
//                       Streams from a small buffer, so 64 MiB+ bodies cost no memory.
//   /stall              headers with Content-Length 1000000, then no body (stall_ms=M)
//   /say?body=TEXT      the literal TEXT (type=, status=, header= as above)
//   /status/N           status N, body "status N\n"
//   /redirect?to=U&code=C   C (default 302) with Location: U (default "/bytes/10"); U may be
//                       relative or absolute
//   /redirect/N         relative redirect chain: /redirect/N -> /redirect/N-1 ... ->
//                       /redirect/0, which answers 200 "chain end\n" or, with to=U, redirects
//                       to U (code= applies to every hop; the query is carried along)
//   /echo, /echo/...    200 with the request's record (format below) as text/plain body
//   /conn               body: the client's TCP port and "\n" (same port = same connection)
//   /cert               body: the client certificate subject ("/CN=durl-test-client"), "none"
//                       without one, "" on plain HTTP
//   /webticket          401 with header "X-MS-WebTicketURL: https://127.0.0.1/webticket"
//                       (marker=NAME changes the header name, e.g. any letter case;
//                       url=U its value) unless the request carries "X-MS-WebTicket", then
//                       200 with the echo record
//   /auth/basic?user=U&pass=P    Basic challenge (realm "durl"); right credentials -> echo
//   /auth/digest?user=U&pass=P   Digest MD5 qop=auth challenge; right response -> echo
//   /_log, /_reset      the request log / clear it (not recorded themselves)
//
// Request record (one per request, in /_log in arrival order and as /echo's body):
//   request <seq>          header <Name>: <value>   (one line per header, as received)
//   server <port kind>     body_size <n>            (http, https, mtls or tls12)            (raw body, or sum of the part sizes)
//   method <M>             body_md5 <hex>           (raw body; MD5 of "" for multipart)
//   target <path?query>    body <first 4096 bytes>
//   version HTTP/1.1       part <name>              (per multipart part, in order:)
//   remote_port <p>        part_filename <f>  part_type <t>  part_size <n>  part_md5 <hex>
//   client_cert <subject>  part_body <first 4096 bytes>
//   status <code>          end
// Values are escaped: "\\", "\n", "\r" and other non-printable bytes as "\xHH".
// http_log() parses this into HttpRecord; the status is recorded before the response is sent.
//
// ------------------------------------------------------------------------------------------
// FTP / FTPS (tests/servers/ftpd.py, pyftpdlib; one process, three ports)
//
// Logins: "user"/"pass" with home ftp_user_dir(), anonymous (any password) with home
// ftp_anon_dir(); both may read, write, append and delete. Put files there before a download,
// read them after an upload. ftp_url("/a.txt") logs in as user; ftp_url("/a.txt", "") sends
// no credentials (libcurl then logs in as anonymous); ftp_url(p, "bad:creds") gets 530.
//   ftp_url       plain FTP
//   ftpes_url     explicit FTPS: ftp:// to a server that accepts AUTH TLS (with
//                 CURLOPT_USE_SSL) on control and data; plain FTP also works there
//   ftps_url      implicit FTPS: ftps://, TLS from the first byte. The server presents
//                 pki().selfsigned_pem, so libcurl's default verification fails with 60
//                 (CURLE_PEER_FAILED_VERIFICATION); CAINFO = pki().selfsigned_pem succeeds.
// ftp_commands() lists every command received since ftp_commands_reset(), as
// "<ftp|ftpes|ftps> <client port> <COMMAND> <argument>", e.g. "ftp 40112 APPE up.bin".
//
// ------------------------------------------------------------------------------------------
// TFTP (tftpd-hpa: in.tftpd -L -s ROOT -c -p -u nobody; needs root)
//
// tftp_url("/f.bin") serves tftp_root() (mode 0777; uploads create files owned by nobody).
// Files put there for download must be world-readable. Without root or without in.tftpd,
// tftp_available() is false: use DURL_REQUIRE_TFTP() at the top of such tests.
//
// ------------------------------------------------------------------------------------------
// Ports for failure paths (served inside the test process)
//
//   closed_port()      bound but never listening: connects are refused at once (7)
//   black_hole_port()  accepts TCP connections and never sends a byte (time-limit paths, 28)
//   silent_udp_port()  a bound UDP port that swallows every datagram: a TFTP peer that never
//                      answers (libcurl waits for its time limit, 28)
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "body_pattern.h"
#include "pki.h"
#include "test_files.h"

namespace durl_test {

// ---- HTTP ----
std::string http_url(const std::string &path);   // "http://127.0.0.1:P" + path
std::string https_url(const std::string &path);  // "https://127.0.0.1:P" + path
std::string mtls_url(const std::string &path);   // "https://127.0.0.1:P" + path
std::string tls12_url(const std::string &path);  // "https://127.0.0.1:P" + path
int http_port();
int https_port();
int mtls_port();
int tls12_port();

struct HttpPart {
    std::string name, filename, content_type, body, md5;
    uint64_t size = 0;
};

struct HttpRecord {
    uint64_t seq = 0;
    std::string server, method, target, version, client_cert;
    int remote_port = -1;
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
    uint64_t body_size = 0;
    std::string body_md5, body;  // body: first 4096 bytes
    std::vector<HttpPart> parts;

    // First value of the header (name compared without case); "" when absent.
    std::string header(const std::string &name) const;
    bool has_header(const std::string &name) const;
    size_t header_count(const std::string &name) const;
    std::string path() const;  // target without the query
};

// Parses records in the format above (the /_log text or an /echo body).
std::vector<HttpRecord> parse_http_records(const std::string &text);
// Every request since the last http_log_reset(), in arrival order (all four ports).
std::vector<HttpRecord> http_log();
void http_log_reset();

// ---- FTP ----
std::string ftp_url(const std::string &path, const std::string &userinfo = "user:pass");
std::string ftpes_url(const std::string &path, const std::string &userinfo = "user:pass");
std::string ftps_url(const std::string &path, const std::string &userinfo = "user:pass");
int ftp_port();
int ftpes_port();
int ftps_port();
std::string ftp_user_dir();
std::string ftp_anon_dir();
std::vector<std::string> ftp_commands();
void ftp_commands_reset();

// ---- TFTP ----
bool tftp_available();  // starts the server on first call; false when it cannot run here
std::string tftp_url(const std::string &path);  // "tftp://127.0.0.1:P" + path
int tftp_port();
std::string tftp_root();

#define DURL_REQUIRE_TFTP()                                                      \
    do {                                                                         \
        if (!::durl_test::tftp_available()) GTEST_SKIP() << "no TFTP server here (needs root)"; \
    } while (0)

// ---- failure-path ports ----
int closed_port();
int black_hole_port();
int silent_udp_port();

}  // namespace durl_test
