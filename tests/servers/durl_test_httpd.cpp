// Programmable HTTP/HTTPS peer for the durl tests.
//
// usage: durl_test_httpd CERT_PEM KEY_PEM CLIENT_CA_PEM
//
// Serves the same endpoints on four free ports of 127.0.0.1: plain HTTP, HTTPS, HTTPS that
// demands a client certificate signed by CLIENT_CA_PEM ("mtls"), and HTTPS limited to TLS 1.2
// with ECDHE suites ("tls12"). Prints "READY http=P1 https=P2 mtls=P3 tls12=P4" once all
// listen, and exits when its standard input reaches end of file (the harness holds the other
// end, so a crashed test never leaves the server behind). The endpoints and the record format are documented in
// tests/support/servers.h, which is the contract tests rely on.
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/body_pattern.h"
#include "../support/hex.h"

namespace {

constexpr size_t kKeepBytes = 4096;  // body bytes kept verbatim in a record (the hash covers all)
std::atomic<bool> g_stopping{false};

// ---------------------------------------------------------------------------------------------
// Incremental MD5 (the content hash in records; tests compare with their own MD5 of the file).
class Md5 {
public:
    Md5() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_md5(), nullptr); }
    ~Md5() { EVP_MD_CTX_free(ctx_); }
    Md5(const Md5 &) = delete;
    Md5 &operator=(const Md5 &) = delete;
    void update(const char *p, size_t n) { EVP_DigestUpdate(ctx_, p, n); }
    std::string hex() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestFinal_ex(ctx_, md, &len);
        return durl_test::to_hex(md, len);
    }

private:
    EVP_MD_CTX *ctx_;
};

std::string md5_of(const std::string &s) {
    Md5 m;
    m.update(s.data(), s.size());
    return m.hex();
}

// Record values are one line each: escape what would break the line format.
std::string escape(const std::string &s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7f) {
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Request records: what each request carried, kept for /_log and returned by /echo.
struct Part {
    std::string name, filename, content_type, kept;
    uint64_t size = 0;
    std::string md5;
};

struct Record {
    uint64_t seq = 0;
    std::string server, method, target, client_cert, version;
    int remote_port = -1;
    int status = 0;
    httplib::Headers headers;
    uint64_t body_size = 0;
    std::string body_md5 = md5_of("");
    std::string body;  // first kKeepBytes bytes
    std::vector<Part> parts;
};

std::string format_record(const Record &r) {
    std::ostringstream o;
    o << "request " << r.seq << "\n";
    o << "server " << r.server << "\n";
    o << "method " << escape(r.method) << "\n";
    o << "target " << escape(r.target) << "\n";
    o << "version " << r.version << "\n";
    o << "remote_port " << r.remote_port << "\n";
    o << "client_cert " << escape(r.client_cert) << "\n";
    for (const auto &h : r.headers) o << "header " << escape(h.first) << ": " << escape(h.second) << "\n";
    o << "body_size " << r.body_size << "\n";
    o << "body_md5 " << r.body_md5 << "\n";
    o << "body " << escape(r.body) << "\n";
    for (const auto &p : r.parts) {
        o << "part " << escape(p.name) << "\n";
        o << "part_filename " << escape(p.filename) << "\n";
        o << "part_type " << escape(p.content_type) << "\n";
        o << "part_size " << p.size << "\n";
        o << "part_md5 " << p.md5 << "\n";
        o << "part_body " << escape(p.kept) << "\n";
    }
    o << "status " << r.status << "\n";
    o << "end\n";
    return o.str();
}

class RequestLog {
public:
    // Returns the index of the new record.
    size_t add(Record r) {
        std::lock_guard<std::mutex> g(mu_);
        r.seq = ++seq_;
        records_.push_back(std::move(r));
        return records_.size() - 1 + base_;
    }
    template <class Fn> void update(size_t index, Fn fn) {
        std::lock_guard<std::mutex> g(mu_);
        if (index >= base_ && index - base_ < records_.size()) fn(records_[index - base_]);
    }
    std::string dump() {
        std::lock_guard<std::mutex> g(mu_);
        std::string out;
        for (const auto &r : records_) out += format_record(r);
        return out;
    }
    void reset() {
        std::lock_guard<std::mutex> g(mu_);
        base_ += records_.size();
        records_.clear();
    }

private:
    std::mutex mu_;
    std::vector<Record> records_;
    size_t base_ = 0;  // indices stay valid across resets: stale updates are dropped
    uint64_t seq_ = 0;
};

RequestLog g_log;
constexpr size_t kNoRecord = static_cast<size_t>(-1);
// cpp-httplib runs pre-routing, handler and logger of one request on the same thread.
thread_local size_t t_record = kNoRecord;

bool internal_path(const std::string &path) { return path == "/_log" || path == "/_reset"; }

std::string peer_subject(const httplib::Request &req) {
    if (!req.ssl) return "";
    X509 *peer = SSL_get1_peer_certificate(const_cast<SSL *>(req.ssl));
    if (!peer) return "none";
    char buf[512];
    X509_NAME_oneline(X509_get_subject_name(peer), buf, sizeof buf);
    X509_free(peer);
    return buf;
}

Record start_record(const httplib::Request &req, const std::string &server) {
    Record r;
    r.server = server;
    r.method = req.method;
    r.target = req.target;
    r.version = req.version;
    r.remote_port = req.remote_port;
    // cpp-httplib adds the socket addresses as pseudo headers; they were never on the wire.
    for (const auto &h : req.headers)
        if (h.first != "REMOTE_ADDR" && h.first != "REMOTE_PORT" && h.first != "LOCAL_ADDR" &&
            h.first != "LOCAL_PORT")
            r.headers.insert(h);
    r.client_cert = peer_subject(req);
    return r;
}

// Reads the request body (raw or multipart) into the record without holding it in memory.
void consume_body(const httplib::Request &req, const httplib::ContentReader *reader, Record &rec) {
    auto keep = [](std::string &dst, const char *p, size_t n) {
        if (dst.size() < kKeepBytes) dst.append(p, std::min(n, kKeepBytes - dst.size()));
    };
    if (!reader) {  // handlers without a reader get the body read by the library
        rec.body_size = req.body.size();
        rec.body_md5 = md5_of(req.body);
        keep(rec.body, req.body.data(), req.body.size());
        return;
    }
    if (req.is_multipart_form_data()) {
        std::vector<std::unique_ptr<Md5>> hashes;
        (*reader)(
            [&](const httplib::MultipartFormData &f) {
                Part p;
                p.name = f.name;
                p.filename = f.filename;
                p.content_type = f.content_type;
                rec.parts.push_back(p);
                hashes.push_back(std::make_unique<Md5>());
                return true;
            },
            [&](const char *p, size_t n) {
                if (rec.parts.empty()) return true;
                Part &part = rec.parts.back();
                part.size += n;
                hashes.back()->update(p, n);
                keep(part.kept, p, n);
                return true;
            });
        for (size_t i = 0; i < rec.parts.size(); ++i) {
            rec.parts[i].md5 = hashes[i]->hex();
            rec.body_size += rec.parts[i].size;
        }
        return;
    }
    Md5 md5;
    (*reader)([&](const char *p, size_t n) {
        rec.body_size += n;
        md5.update(p, n);
        keep(rec.body, p, n);
        return true;
    });
    rec.body_md5 = md5.hex();
}

// ---------------------------------------------------------------------------------------------
// Endpoints. Each gets the request, the response and the finished record of the request.
using Endpoint = std::function<void(const httplib::Request &, httplib::Response &, const Record &)>;

size_t param_num(const httplib::Request &req, const char *name, size_t fallback) {
    if (!req.has_param(name)) return fallback;
    try {
        return static_cast<size_t>(std::stoull(req.get_param_value(name)));
    } catch (...) {
        return fallback;
    }
}

void apply_extra_headers(const httplib::Request &req, httplib::Response &res) {
    size_t n = req.get_param_value_count("header");
    for (size_t i = 0; i < n; ++i) {
        std::string h = req.get_param_value("header", i);
        size_t colon = h.find(':');
        if (colon == std::string::npos) continue;
        size_t v = colon + 1;
        while (v < h.size() && h[v] == ' ') ++v;
        res.set_header(h.substr(0, colon).c_str(), h.substr(v));
    }
    if (req.has_param("status")) res.status = static_cast<int>(param_num(req, "status", 200));
}

// Sleeps in small steps so a server shutdown is never held up by a stalled response.
void pause_ms(size_t ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_stopping && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min<size_t>(ms, 20)));
}

struct BodyPlan {
    size_t total = 0, chunk = 16384, delay_ms = 0, stall_after = SIZE_MAX, stall_ms = 30000;
};

// Streams pattern bytes; never holds more than one chunk, so 64 MiB+ bodies cost no memory.
bool provide(const BodyPlan &plan, size_t offset, size_t length, httplib::DataSink &sink) {
    if (offset >= plan.stall_after) {  // the stall: nothing more, until the time is up
        pause_ms(plan.stall_ms);
        return false;
    }
    if (offset > 0 && plan.delay_ms) pause_ms(plan.delay_ms);
    size_t n = std::min({length, plan.chunk, plan.stall_after - offset});
    std::string buf(n, '\0');
    durl_test::pattern_fill(&buf[0], n, offset);
    return sink.write(buf.data(), n);
}

void ep_bytes(const httplib::Request &req, httplib::Response &res, const Record &) {
    BodyPlan plan;
    plan.total = std::stoull(req.matches[1]);
    plan.chunk = std::max<size_t>(1, param_num(req, "chunk", plan.chunk));
    plan.delay_ms = param_num(req, "delay_ms", 0);
    if (req.has_param("rate")) {  // bytes per second, delivered in 20 steps per second
        plan.chunk = std::max<size_t>(1, param_num(req, "rate", 1) / 20);
        plan.delay_ms = 50;
    }
    plan.stall_after = param_num(req, "stall_after", SIZE_MAX);
    plan.stall_ms = param_num(req, "stall_ms", plan.stall_ms);
    std::string type = req.has_param("type") ? req.get_param_value("type") : "application/octet-stream";
    apply_extra_headers(req, res);
    if (req.has_param("chunked")) {
        res.set_chunked_content_provider(type, [plan](size_t offset, httplib::DataSink &sink) {
            if (offset >= plan.total) {
                sink.done();
                return true;
            }
            return provide(plan, offset, plan.total - offset, sink);
        });
        return;
    }
    res.set_content_provider(plan.total, type, [plan](size_t offset, size_t length, httplib::DataSink &sink) {
        return provide(plan, offset, length, sink);
    });
}

void ep_stall(const httplib::Request &req, httplib::Response &res, const Record &) {
    BodyPlan plan;
    plan.total = 1000000;
    plan.stall_after = 0;
    plan.stall_ms = param_num(req, "stall_ms", plan.stall_ms);
    res.set_content_provider(plan.total, "application/octet-stream",
                             [plan](size_t offset, size_t length, httplib::DataSink &sink) {
                                 return provide(plan, offset, length, sink);
                             });
}

void ep_say(const httplib::Request &req, httplib::Response &res, const Record &) {
    std::string type = req.has_param("type") ? req.get_param_value("type") : "text/plain";
    res.set_content(req.get_param_value("body"), type.c_str());
    apply_extra_headers(req, res);
}

void ep_status(const httplib::Request &req, httplib::Response &res, const Record &) {
    res.status = std::stoi(req.matches[1]);
    res.set_content("status " + std::string(req.matches[1]) + "\n", "text/plain");
}

void redirect_to(httplib::Response &res, const std::string &to, int code) {
    res.status = code;
    res.set_header("Location", to);
    res.set_content("redirect to " + to + "\n", "text/plain");
}

void ep_redirect(const httplib::Request &req, httplib::Response &res, const Record &) {
    std::string to = req.has_param("to") ? req.get_param_value("to") : "/bytes/10";
    redirect_to(res, to, static_cast<int>(param_num(req, "code", 302)));
}

// /redirect/N hops N times (relative Locations) before landing on `to` or a 200 "chain end".
void ep_redirect_chain(const httplib::Request &req, httplib::Response &res, const Record &) {
    size_t n = std::stoull(req.matches[1]);
    int code = static_cast<int>(param_num(req, "code", 302));
    std::string query = req.target.find('?') == std::string::npos ? "" : req.target.substr(req.target.find('?'));
    if (n > 0) return redirect_to(res, "/redirect/" + std::to_string(n - 1) + query, code);
    if (req.has_param("to")) return redirect_to(res, req.get_param_value("to"), code);
    res.set_content("chain end\n", "text/plain");
}

void ep_echo(const httplib::Request &req, httplib::Response &res, const Record &rec) {
    res.set_content(format_record(rec), "text/plain");
    apply_extra_headers(req, res);
}

void ep_conn(const httplib::Request &req, httplib::Response &res, const Record &) {
    res.set_content(std::to_string(req.remote_port) + "\n", "text/plain");
}

void ep_cert(const httplib::Request &req, httplib::Response &res, const Record &) {
    res.set_content(peer_subject(req) + "\n", "text/plain");
}

// A 401 carrying the web-ticket marker unless the request brings the ticket header.
void ep_webticket(const httplib::Request &req, httplib::Response &res, const Record &rec) {
    if (req.has_header("X-MS-WebTicket")) return ep_echo(req, res, rec);
    std::string marker = req.has_param("marker") ? req.get_param_value("marker") : "X-MS-WebTicketURL";
    std::string url = req.has_param("url") ? req.get_param_value("url") : "https://127.0.0.1/webticket";
    res.status = 401;
    res.set_header(marker.c_str(), url);
    res.set_content("web ticket required\n", "text/plain");
}

std::string base64_decode(const std::string &in) {
    std::string out((in.size() / 4 + 1) * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                            reinterpret_cast<const unsigned char *>(in.data()), static_cast<int>(in.size()));
    if (n < 0) return "";
    size_t pad = 0;  // EVP_DecodeBlock counts the '=' padding as zero bytes
    for (size_t i = in.size(); i > 0 && in[i - 1] == '=' && pad < 2; --i) ++pad;
    out.resize(static_cast<size_t>(n) - std::min(pad, static_cast<size_t>(n)));
    return out;
}

void challenge(httplib::Response &res, const std::string &www_authenticate) {
    res.status = 401;
    res.set_header("WWW-Authenticate", www_authenticate);
    res.set_content("authentication required\n", "text/plain");
}

void ep_basic(const httplib::Request &req, httplib::Response &res, const Record &rec) {
    std::string want = req.get_param_value("user") + ":" + req.get_param_value("pass");
    std::string auth = req.get_header_value("Authorization");
    if (auth.rfind("Basic ", 0) == 0 && base64_decode(auth.substr(6)) == want) return ep_echo(req, res, rec);
    challenge(res, "Basic realm=\"durl\"");
}

// Value of key="v" or key=v inside a Digest authorization header.
std::string digest_field(const std::string &h, const std::string &key) {
    size_t pos = 0;
    while ((pos = h.find(key + "=", pos)) != std::string::npos) {
        if (pos == 0 || h[pos - 1] == ' ' || h[pos - 1] == ',') break;
        pos += key.size();
    }
    if (pos == std::string::npos) return "";
    pos += key.size() + 1;
    if (pos < h.size() && h[pos] == '"') {
        size_t end = h.find('"', pos + 1);
        return h.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
    }
    size_t end = h.find(',', pos);
    return h.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

// RFC 7616 Digest with MD5 and qop=auth; a fixed nonce is enough for a test peer.
void ep_digest(const httplib::Request &req, httplib::Response &res, const Record &rec) {
    const std::string realm = "durl", nonce = "0123456789abcdef0123456789abcdef";
    std::string auth = req.get_header_value("Authorization");
    if (auth.rfind("Digest ", 0) == 0 && digest_field(auth, "username") == req.get_param_value("user")) {
        std::string ha1 = md5_of(req.get_param_value("user") + ":" + realm + ":" + req.get_param_value("pass"));
        std::string ha2 = md5_of(req.method + ":" + digest_field(auth, "uri"));
        std::string qop = digest_field(auth, "qop");
        std::string expect = qop.empty() ? md5_of(ha1 + ":" + nonce + ":" + ha2)
                                         : md5_of(ha1 + ":" + nonce + ":" + digest_field(auth, "nc") + ":" +
                                                  digest_field(auth, "cnonce") + ":" + qop + ":" + ha2);
        if (digest_field(auth, "response") == expect) return ep_echo(req, res, rec);
    }
    challenge(res, "Digest realm=\"" + realm + "\", qop=\"auth\", nonce=\"" + nonce + "\", algorithm=MD5");
}

// ---------------------------------------------------------------------------------------------
// Wiring: every endpoint answers every method cpp-httplib knows, and every body is consumed
// through a content reader (this also sidesteps the library's 8192-byte limit on urlencoded
// bodies, which only applies when it buffers the body itself).
void finish(const httplib::Request &req, httplib::Response &res, const httplib::ContentReader *reader,
            const Endpoint &ep) {
    Record rec;
    size_t index = t_record;
    consume_body(req, reader, rec);
    g_log.update(index, [&](Record &r) {
        r.body_size = rec.body_size;
        r.body_md5 = rec.body_md5;
        r.body = rec.body;
        r.parts = rec.parts;
        rec = r;
    });
    if (index == kNoRecord) rec = start_record(req, "unknown");
    rec.status = 200;  // what /echo reports; the log gets the real status below
    ep(req, res, rec);
    // Record the status before the response leaves, so a test reading /_log never races it.
    g_log.update(index, [&](Record &r) { r.status = res.status; });
}

void route(httplib::Server &srv, const std::string &pattern, Endpoint ep) {
    auto plain = [ep](const httplib::Request &req, httplib::Response &res) { finish(req, res, nullptr, ep); };
    auto reading = [ep](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &rd) {
        finish(req, res, &rd, ep);
    };
    srv.Get(pattern, plain);
    srv.Options(pattern, plain);
    srv.Post(pattern, reading);
    srv.Put(pattern, reading);
    srv.Patch(pattern, reading);
    srv.Delete(pattern, reading);
}

void configure(httplib::Server &srv, const std::string &name) {
    srv.new_task_queue = [] { return new httplib::ThreadPool(64); };
    srv.set_keep_alive_max_count(100000);
    srv.set_keep_alive_timeout(30);
    srv.set_payload_max_length(std::numeric_limits<size_t>::max());
    srv.set_pre_routing_handler([name](const httplib::Request &req, httplib::Response &) {
        t_record = internal_path(req.path) ? kNoRecord : g_log.add(start_record(req, name));
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Requests the library refuses before routing (an unknown method gets 400) still get a record.
    srv.set_logger([name](const httplib::Request &req, const httplib::Response &res) {
        if (t_record == kNoRecord && !internal_path(req.path) && !req.method.empty()) {
            Record r = start_record(req, name);
            r.status = res.status;
            g_log.add(r);
        } else if (t_record != kNoRecord) {  // e.g. a path no endpoint serves (404)
            g_log.update(t_record, [&](Record &r) {
                if (!r.status) r.status = res.status;
            });
        }
        t_record = kNoRecord;
    });
    route(srv, R"(/bytes/(\d+))", ep_bytes);
    route(srv, "/stall", ep_stall);
    route(srv, "/say", ep_say);
    route(srv, R"(/status/(\d+))", ep_status);
    route(srv, "/redirect", ep_redirect);
    route(srv, R"(/redirect/(\d+))", ep_redirect_chain);
    route(srv, "/echo(/.*)?", ep_echo);
    route(srv, "/conn", ep_conn);
    route(srv, "/cert", ep_cert);
    route(srv, "/webticket", ep_webticket);
    route(srv, "/auth/basic", ep_basic);
    route(srv, "/auth/digest", ep_digest);
    srv.Get("/_log", [](const httplib::Request &, httplib::Response &res) {
        res.set_content(g_log.dump(), "text/plain");
    });
    srv.Get("/_reset", [](const httplib::Request &, httplib::Response &res) {
        g_log.reset();
        res.set_content("ok\n", "text/plain");
    });
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s CERT_PEM KEY_PEM CLIENT_CA_PEM\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-body must not end the server
    httplib::Server http;
    httplib::SSLServer https(argv[1], argv[2]);
    httplib::SSLServer mtls(argv[1], argv[2], argv[3]);
    httplib::SSLServer tls12(argv[1], argv[2]);
    if (!https.is_valid() || !mtls.is_valid() || !tls12.is_valid()) {
        fprintf(stderr, "durl_test_httpd: cannot load %s / %s / %s\n", argv[1], argv[2], argv[3]);
        return 1;
    }
    // A peer limited to TLS 1.2 with forward-secret suites only: a client that insists on
    // TLS 1.3, or offers only static-RSA suites, fails its handshake here.
    SSL_CTX_set_max_proto_version(tls12.ssl_context(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(tls12.ssl_context(), "ECDHE+AESGCM");
    struct Listener {
        httplib::Server *server;
        const char *name;
        int port;
    } listeners[] = {{&http, "http", 0}, {&https, "https", 0}, {&mtls, "mtls", 0}, {&tls12, "tls12", 0}};
    std::string ready = "READY";
    for (Listener &l : listeners) {
        configure(*l.server, l.name);
        l.port = l.server->bind_to_any_port("127.0.0.1");
        if (l.port <= 0) {
            fprintf(stderr, "durl_test_httpd: bind failed\n");
            return 1;
        }
        ready += std::string(" ") + l.name + "=" + std::to_string(l.port);
    }
    std::vector<std::thread> threads;
    for (Listener &l : listeners) threads.emplace_back([s = l.server] { s->listen_after_bind(); });
    // Sockets are bound and listening before listen_after_bind runs, so connects already queue.
    printf("%s\n", ready.c_str());
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    g_stopping = true;
    // Quick exit: stalled handlers need not be joined, the process is going away.
    _exit(0);
}
