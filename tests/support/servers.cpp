// Starting the test servers on first use, and reading the HTTP server's request log.
#include "servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace durl_test {

namespace {

struct Server {
    std::map<std::string, int> ports;
    std::string error;  // why it did not start
    std::string dir;    // its working directory
};

int port_of(const Server &s, const char *key) {
    if (!s.error.empty()) ADD_FAILURE() << key << " server unavailable: " << s.error;
    auto it = s.ports.find(key);
    return it == s.ports.end() ? 0 : it->second;
}

// Runs the shell command with a pipe from this process on its standard input, its standard
// output into dir/ready and its standard error into dir/server.log. The servers end when that
// pipe closes, at the latest when this process ends, so none outlives the test binary. The
// pipe is close-on-exec: another child must not hold it open.
bool launch(const std::string &command, const std::string &dir) {
    std::string line = "exec >/dev/null 2>&1; (" + command + ") >" + dir + "/ready 2>" + dir +
                       "/server.log; echo ENDED >>" + dir + "/ready";
    return popen(line.c_str(), "we") != nullptr;
}

// Waits up to 20 s for the server's "READY k=v ..." line.
Server await_ready(const std::string &name, const std::string &dir) {
    Server s;
    s.dir = dir;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string text;
    while ((text = read_file(dir + "/ready")).find('\n') == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (text.rfind("READY ", 0) != 0) {
        s.error = name + " did not start; its log:\n" + read_file(dir + "/server.log");
        return s;
    }
    std::istringstream words(text.substr(6, text.find('\n') - 6));
    for (std::string w; words >> w;) {
        size_t eq = w.find('=');
        if (eq != std::string::npos) s.ports[w.substr(0, eq)] = std::atoi(w.c_str() + eq + 1);
    }
    return s;
}

const Server &httpd() {
    static std::once_flag once;
    static Server s;
    std::call_once(once, [] {
        const Pki &p = pki();
        std::string dir = scratch_dir("httpd");
        launch(std::string(DURL_TEST_HTTPD_EMULATOR " '") + DURL_TEST_HTTPD_PATH + "' " +
                   p.server_pem + " " + p.server_key + " " + p.ca_pem + " " + p.misnamed_pem + " " +
                   p.misnamed_key,
               dir);
        s = await_ready("httpd", dir);
    });
    return s;
}

const Server &ftpd() {
    static std::once_flag once;
    static Server s;
    std::call_once(once, [] {
        std::string dir = scratch_dir("ftpd");
        write_file(dir + "/commands.log", "");
        launch(std::string("/usr/bin/python3 '") + DURL_TEST_FTPD_PATH + "' " + dir + "/root " +
                   pki().server_combined + " " + dir + "/commands.log",
               dir);
        s = await_ready("ftpd", dir);
    });
    return s;
}

const Server &hostile() {
    static std::once_flag once;
    static Server s;
    std::call_once(once, [] {
        std::string dir = scratch_dir("hostile");
        launch(std::string("/usr/bin/python3 '") + DURL_TEST_HOSTILE_PATH + "' " +
                   pki().server_pem + " " + pki().server_key,
               dir);
        s = await_ready("hostile", dir);
    });
    return s;
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Binds a socket of the type to a free loopback port; returns the port (0 on failure) and
// leaves the socket open in *fd.
int bind_loopback(int type, int *fd) {
    *fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(*fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        ADD_FAILURE() << "cannot bind a loopback port";
        return 0;
    }
    return ntohs(a.sin_port);
}

// Sends a read request for a missing file until the server answers (with an error packet).
bool tftp_answers(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    static const char rrq[] = "\0\1durl-readiness-probe\0octet";  // opcode 1, name, mode
    bool ok = false;
    for (int i = 0; i < 50 && !ok; ++i) {
        sendto(fd, rrq, sizeof rrq, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
        pollfd p{fd, POLLIN, 0};
        ok = poll(&p, 1, 100) > 0;
    }
    close(fd);
    return ok;
}

const Server &tftpd() {
    static std::once_flag once;
    static Server s;
    std::call_once(once, [] {
        s.error = "in.tftpd needs root and the tftpd-hpa package";
        if (geteuid() != 0 || access("/usr/sbin/in.tftpd", X_OK) != 0) return;
        s.dir = scratch_dir("tftpd");
        const std::string root = s.dir + "/root";
        mkdir(root.c_str(), 0777);
        chmod(root.c_str(), 0777);  // uploads are written as nobody
        // tftpd cannot pick a port and report it: take one that is free now, and another when
        // it was taken in between. The shell ends tftpd when our pipe on its stdin closes.
        for (int attempt = 0; attempt < 3 && !s.error.empty(); ++attempt) {
            int probe, port = bind_loopback(SOCK_DGRAM, &probe);
            close(probe);
            launch("/usr/sbin/in.tftpd -L -a 127.0.0.1:" + std::to_string(port) + " -s " + root +
                       " -c -p -u nobody </dev/null & p=$!; cat >/dev/null; kill $p",
                   s.dir);
            if (tftp_answers(port)) {
                s.ports["tftp"] = port;
                s.error.clear();
            } else {
                s.error = "tftpd did not answer; its log:\n" + read_file(s.dir + "/server.log");
            }
        }
    });
    return s;
}

std::string url(const char *scheme, const char *kind, const Server &s, const std::string &path,
                const std::string &userinfo = "") {
    return std::string(scheme) + "://" + (userinfo.empty() ? "" : userinfo + "@") +
           "127.0.0.1:" + std::to_string(port_of(s, kind)) + path;
}

// GET over HTTP/1.0 on a fresh socket (not through libcurl, so the harness never touches the
// library's libcurl state); the server closes after the body.
std::string plain_get(const std::string &path, int port = http_port()) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(port);
    std::string response, req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    char buf[65536];
    ssize_t n;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()))
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, static_cast<size_t>(n));
    close(fd);
    size_t body = response.find("\r\n\r\n");
    if (body == std::string::npos) ADD_FAILURE() << "test HTTP server did not answer " << path;
    return body == std::string::npos ? "" : response.substr(body + 4);
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
        } else if (s[++i] == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == 'n' ? '\n' : s[i] == 'r' ? '\r' : s[i];
        }
    }
    return out;
}

void apply(HttpRecord &r, const std::string &key, const std::string &v) {
    if (key == "part") return r.parts.push_back({v, "", "", "", "", 0});
    if (key == "header" && v.find(": ") != std::string::npos) {
        r.headers.emplace_back(v.substr(0, v.find(": ")), v.substr(v.find(": ") + 2));
        return;
    }
    HttpPart *p = r.parts.empty() ? nullptr : &r.parts.back();
    std::map<std::string, std::string *> texts = {{"server", &r.server},
                                                  {"method", &r.method},
                                                  {"target", &r.target},
                                                  {"body_md5", &r.body_md5},
                                                  {"body", &r.body}};
    std::map<std::string, uint64_t *> numbers = {{"body_size", &r.body_size}};
    if (p) {
        texts.insert({{"part_filename", &p->filename},
                      {"part_type", &p->content_type},
                      {"part_md5", &p->md5},
                      {"part_body", &p->body}});
        numbers["part_size"] = &p->size;
    }
    if (key == "status") r.status = std::atoi(v.c_str());
    if (texts.count(key)) *texts[key] = v;
    if (numbers.count(key)) *numbers[key] = std::strtoull(v.c_str(), nullptr, 10);
}

}  // namespace

int http_port() { return port_of(httpd(), "http"); }
std::string http_url(const std::string &path) { return url("http", "http", httpd(), path); }
std::string https_url(const std::string &path) { return url("https", "https", httpd(), path); }
std::string mtls_url(const std::string &path) { return url("https", "mtls", httpd(), path); }
std::string misnamed_url(const std::string &path) {
    return url("https", "misnamed", httpd(), path);
}

std::string HttpRecord::header(const std::string &name) const {
    for (const auto &h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return "";
}

size_t HttpRecord::header_count(const std::string &name) const {
    size_t n = 0;
    for (const auto &h : headers) n += strcasecmp(h.first.c_str(), name.c_str()) == 0;
    return n;
}

std::vector<HttpRecord> parse_http_records(const std::string &text) {
    std::vector<HttpRecord> out(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line == "end")
            out.emplace_back();
        else if (line.find(' ') != std::string::npos)
            apply(out.back(), line.substr(0, line.find(' ')),
                  unescape(line.substr(line.find(' ') + 1)));
    }
    out.pop_back();  // the record after the last "end" is never filled
    return out;
}

std::vector<HttpRecord> http_log() { return parse_http_records(plain_get("/_log")); }
void http_log_reset() { plain_get("/_reset"); }

int hostile_port(const char *listener) { return port_of(hostile(), listener); }
std::string hostile_url(const std::string &path, const char *listener, const char *host) {
    return std::string(std::strcmp(listener, "https") == 0 ? "https" : "http") + "://" + host +
           ":" + std::to_string(hostile_port(listener)) + path;
}
std::vector<HttpRecord> hostile_log() {
    return parse_http_records(plain_get("/_log", hostile_port("http")));
}
void hostile_log_reset() { plain_get("/_reset", hostile_port("http")); }

std::string ftp_url(const std::string &path, const std::string &userinfo) {
    return url("ftp", "ftp", ftpd(), path, userinfo);
}
std::string ftps_url(const std::string &path, const std::string &userinfo) {
    return url("ftps", "ftps", ftpd(), path, userinfo);
}
std::string ftp_user_dir() { return ftpd().dir + "/root/user"; }
std::string ftp_anon_dir() { return ftpd().dir + "/root/anon"; }

std::vector<std::string> ftp_commands() {
    std::vector<std::string> out;
    std::ifstream in(ftpd().dir + "/commands.log");
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

void ftp_commands_reset() { write_file(ftpd().dir + "/commands.log", ""); }

bool tftp_available() { return tftpd().error.empty(); }
std::string tftp_url(const std::string &path) { return url("tftp", "tftp", tftpd(), path); }
std::string tftp_root() { return tftpd().dir + "/root"; }

// Bound but never listening: the kernel refuses connects (7), and no other program can take
// the port while the socket stays open.
int closed_port() {
    static int fd, port = bind_loopback(SOCK_STREAM, &fd);
    return port;
}

// Listening but never accepting: the kernel completes the handshake and queues the
// connection, and the client then waits for an answer that never comes (28).
int black_hole_port() {
    static int fd, port = bind_loopback(SOCK_STREAM, &fd);
    static bool listening = listen(fd, 128) == 0;
    return listening ? port : 0;
}

bool ftp_sent(const std::string &command) {
    for (const std::string &c : ftp_commands())
        if (c.find(" " + command) != std::string::npos) return true;
    return false;
}

std::string filler(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + i % 10);
    return s;
}

}  // namespace durl_test
