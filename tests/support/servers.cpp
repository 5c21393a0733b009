// Starting the test servers on first use; see servers.h for what each one offers.
#include "servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>

#include "child_process.h"

#ifndef DURL_TEST_HTTPD_PATH
#error "DURL_TEST_HTTPD_PATH must name the durl_test_httpd binary"
#endif
#ifndef DURL_TEST_FTPD_PATH
#error "DURL_TEST_FTPD_PATH must name tests/servers/ftpd.py"
#endif

namespace durl_test {

namespace {

constexpr int kReadyTimeoutMs = 20000;

struct Started {
    std::map<std::string, int> ports;
    std::string error;  // why it did not start
    std::string dir;    // its working directory
};

int port_of(const Started &s, const char *key, const char *what) {
    if (!s.error.empty()) {
        ADD_FAILURE() << what << " server unavailable: " << s.error;
        return 0;
    }
    auto it = s.ports.find(key);
    return it == s.ports.end() ? 0 : it->second;
}

Started start_with_ready(const std::vector<std::string> &argv, const std::string &dir, const char *name) {
    Started s;
    s.dir = dir;
    ChildProcess child;
    s.error = spawn_child(argv, dir + "/" + name + ".log", child);
    if (!s.error.empty()) return s;
    s.ports = await_ready(child, kReadyTimeoutMs);
    if (s.ports.empty()) s.error = std::string("no READY line from ") + name + "; its log:\n" + child_log_tail(child);
    return s;
}

const Started &httpd() {
    static std::once_flag once;
    static Started s;
    std::call_once(once, [] {
        const Pki &p = pki();
        std::string dir = scratch_dir("httpd");
        s = start_with_ready({DURL_TEST_HTTPD_PATH, p.server_pem, p.server_key, p.ca_pem}, dir, "httpd");
    });
    return s;
}

const Started &ftpd() {
    static std::once_flag once;
    static Started s;
    std::call_once(once, [] {
        const Pki &p = pki();
        std::string dir = scratch_dir("ftpd");
        mkdir((dir + "/root").c_str(), 0755);
        write_file(dir + "/commands.log", "");
        s = start_with_ready({"/usr/bin/python3", DURL_TEST_FTPD_PATH, dir + "/root", p.selfsigned_combined,
                              dir + "/commands.log"},
                             dir, "ftpd");
    });
    return s;
}

// A UDP port that was free a moment ago (tftpd cannot be told to pick one and report it).
int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

// Sends a read request for a missing file until the server answers (with an error packet).
bool tftp_answers(int port, int timeout_ms) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    static const char rrq[] = "\0\1durl-readiness-probe\0octet";  // opcode 1, name, mode
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    bool ok = false;
    while (!ok && std::chrono::steady_clock::now() < deadline) {
        sendto(fd, rrq, sizeof rrq, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
        pollfd p{fd, POLLIN, 0};
        ok = poll(&p, 1, 100) > 0;
    }
    close(fd);
    return ok;
}

const Started &tftpd() {
    static std::once_flag once;
    static Started s;
    std::call_once(once, [] {
        const char *bin = "/usr/sbin/in.tftpd";
        if (geteuid() != 0 || access(bin, X_OK) != 0) {
            s.error = "in.tftpd needs root and the tftpd-hpa package";
            return;
        }
        s.dir = scratch_dir("tftpd");
        std::string root = s.dir + "/root";
        mkdir(root.c_str(), 0777);
        chmod(root.c_str(), 0777);  // uploads are written as nobody
        for (int attempt = 0; attempt < 3; ++attempt) {
            int port = free_udp_port();
            // The shell holds our pipe on its stdin and ends tftpd when the pipe closes.
            std::vector<std::string> argv = {
                "/bin/sh", "-c",
                std::string(bin) + " -L -a 127.0.0.1:\"$0\" -s \"$1\" -c -p -u nobody </dev/null & p=$!; "
                                   "cat >/dev/null; kill $p",
                std::to_string(port), root};
            ChildProcess child;
            s.error = spawn_child(argv, s.dir + "/tftpd.log", child);
            if (!s.error.empty()) return;
            if (tftp_answers(port, 5000)) {
                s.ports["tftp"] = port;
                return;
            }
            stop_child(child);  // most likely the port was taken in between: try another
            s.error = "tftpd did not answer; its log:\n" + child_log_tail(child);
        }
    });
    return s;
}

std::string with_user(const char *scheme, int port, const std::string &path, const std::string &userinfo) {
    std::string url = std::string(scheme) + "://";
    if (!userinfo.empty()) url += userinfo + "@";
    return url + "127.0.0.1:" + std::to_string(port) + path;
}

}  // namespace

int http_port() { return port_of(httpd(), "http", "HTTP"); }
int https_port() { return port_of(httpd(), "https", "HTTPS"); }
int mtls_port() { return port_of(httpd(), "mtls", "mTLS"); }
int tls12_port() { return port_of(httpd(), "tls12", "TLS 1.2"); }
std::string http_url(const std::string &path) { return "http://127.0.0.1:" + std::to_string(http_port()) + path; }
std::string https_url(const std::string &path) { return "https://127.0.0.1:" + std::to_string(https_port()) + path; }
std::string mtls_url(const std::string &path) { return "https://127.0.0.1:" + std::to_string(mtls_port()) + path; }
std::string tls12_url(const std::string &path) { return "https://127.0.0.1:" + std::to_string(tls12_port()) + path; }

int ftp_port() { return port_of(ftpd(), "ftp", "FTP"); }
int ftpes_port() { return port_of(ftpd(), "ftpes", "explicit FTPS"); }
int ftps_port() { return port_of(ftpd(), "ftps", "implicit FTPS"); }
std::string ftp_url(const std::string &path, const std::string &userinfo) {
    return with_user("ftp", ftp_port(), path, userinfo);
}
std::string ftpes_url(const std::string &path, const std::string &userinfo) {
    return with_user("ftp", ftpes_port(), path, userinfo);
}
std::string ftps_url(const std::string &path, const std::string &userinfo) {
    return with_user("ftps", ftps_port(), path, userinfo);
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
int tftp_port() { return port_of(tftpd(), "tftp", "TFTP"); }
std::string tftp_url(const std::string &path) { return "tftp://127.0.0.1:" + std::to_string(tftp_port()) + path; }
std::string tftp_root() { return tftpd().dir + "/root"; }

}  // namespace durl_test
