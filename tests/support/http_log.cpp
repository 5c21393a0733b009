// The HTTP test server's request records: parsing, and fetching /_log over a plain socket
// (not through libcurl, so the harness never touches the library's libcurl state).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "servers.h"

namespace durl_test {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n') {
            out += '\n';
        } else if (c == 'r') {
            out += '\r';
        } else if (c == 'x' && i + 2 < s.size()) {
            out += static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

uint64_t num(const std::string &s) { return std::strtoull(s.c_str(), nullptr, 10); }

void apply(HttpRecord &r, const std::string &key, const std::string &raw) {
    std::string v = unescape(raw);
    if (key == "request") r.seq = num(v);
    else if (key == "server") r.server = v;
    else if (key == "method") r.method = v;
    else if (key == "target") r.target = v;
    else if (key == "version") r.version = v;
    else if (key == "remote_port") r.remote_port = std::atoi(v.c_str());
    else if (key == "client_cert") r.client_cert = v;
    else if (key == "status") r.status = std::atoi(v.c_str());
    else if (key == "body_size") r.body_size = num(v);
    else if (key == "body_md5") r.body_md5 = v;
    else if (key == "body") r.body = v;
    else if (key == "header") {
        size_t colon = v.find(": ");
        r.headers.emplace_back(v.substr(0, colon), colon == std::string::npos ? "" : v.substr(colon + 2));
    } else if (key == "part") {
        r.parts.emplace_back();
        r.parts.back().name = v;
    } else if (!r.parts.empty()) {
        HttpPart &p = r.parts.back();
        if (key == "part_filename") p.filename = v;
        else if (key == "part_type") p.content_type = v;
        else if (key == "part_size") p.size = num(v);
        else if (key == "part_md5") p.md5 = v;
        else if (key == "part_body") p.body = v;
    }
}

// GET over HTTP/1.0 on a fresh connection; the server closes after the body.
std::string plain_get(int port, const std::string &path) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
            char buf[65536];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0) response.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    size_t body = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.", 0) != 0 || body == std::string::npos) {
        ADD_FAILURE() << "test HTTP server did not answer " << path;
        return "";
    }
    return response.substr(body + 4);
}

}  // namespace

std::string HttpRecord::header(const std::string &name) const {
    for (const auto &h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return "";
}

bool HttpRecord::has_header(const std::string &name) const { return header_count(name) > 0; }

size_t HttpRecord::header_count(const std::string &name) const {
    size_t n = 0;
    for (const auto &h : headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) ++n;
    return n;
}

std::string HttpRecord::path() const { return target.substr(0, target.find('?')); }

std::vector<HttpRecord> parse_http_records(const std::string &text) {
    std::vector<HttpRecord> out;
    std::istringstream in(text);
    HttpRecord cur;
    bool open = false;
    for (std::string line; std::getline(in, line);) {
        if (line == "end") {
            if (open) out.push_back(cur);
            cur = HttpRecord();
            open = false;
            continue;
        }
        size_t sp = line.find(' ');
        std::string key = line.substr(0, sp);
        apply(cur, key, sp == std::string::npos ? "" : line.substr(sp + 1));
        open = true;
    }
    return out;
}

std::vector<HttpRecord> http_log() {
    int port = http_port();
    return port ? parse_http_records(plain_get(port, "/_log")) : std::vector<HttpRecord>{};
}

void http_log_reset() {
    int port = http_port();
    if (port) plain_get(port, "/_reset");
}

}  // namespace durl_test
