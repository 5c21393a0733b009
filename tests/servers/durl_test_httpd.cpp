// Programmable HTTP/HTTPS peer for the durl tests and the demo (endpoints and request records:
// tests/support/servers.h).
// usage: durl_test_httpd CERT_PEM KEY_PEM CLIENT_CA_PEM [MISNAMED_CERT_PEM MISNAMED_KEY_PEM]
// Serves on free ports of 127.0.0.1: HTTP, HTTPS, HTTPS requiring a client certificate
// signed by CLIENT_CA_PEM ("mtls"), HTTPS with TLS 1.2 and ECDHE suites only ("tls12") and,
// when given, HTTPS with a certificate for another host name ("misnamed").
// Prints "READY http=P1 https=P2 mtls=P3 tls12=P4 [misnamed=P5]" once all listen; exits at the end
// of its standard input, which the harness holds, so a crashed test never leaves it behind.
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/body_pattern.h"

namespace {

using httplib::Request;
using httplib::Response;
using namespace std::chrono_literals;

std::string md5_of(const std::string &s) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(s.data(), s.size(), md, &len, EVP_md5(), nullptr);
    return durl_test::to_hex(md, len);
}

// Record values are one line each: escape what would break the line format, and keep only
// the first 4096 bytes of a body (its size and hash cover all of it).
std::string escape(const std::string &s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s.substr(0, 4096)) {
        if (c == '\\' || c == '\n' || c == '\r') {
            out += {'\\', c == '\n' ? 'n' : c == '\r' ? 'r' : '\\'};
        } else if (c < 0x20 || c >= 0x7f) {
            snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// What a request carried, kept for /_log and returned by /echo.
struct Part {
    std::string name, filename, content_type, data;
};

struct Record {
    std::string server, method, target, body;
    httplib::Headers headers;
    std::vector<Part> parts;
    int status = 200;
};

std::string format_record(const Record &r) {
    std::ostringstream o;
    o << "server " << r.server << "\nmethod " << escape(r.method) << "\ntarget " << escape(r.target)
      << "\n";
    for (const auto &h : r.headers) {
        // cpp-httplib adds the socket addresses as pseudo headers; they were never on the wire.
        if (h.first != "REMOTE_ADDR" && h.first != "REMOTE_PORT" && h.first != "LOCAL_ADDR" &&
            h.first != "LOCAL_PORT")
            o << "header " << escape(h.first) << ": " << escape(h.second) << "\n";
    }
    size_t size = r.body.size();
    for (const auto &p : r.parts) size += p.data.size();
    o << "body_size " << size << "\nbody_md5 " << md5_of(r.body) << "\nbody " << escape(r.body)
      << "\n";
    for (const auto &p : r.parts)
        o << "part " << escape(p.name) << "\npart_filename " << escape(p.filename) << "\npart_type "
          << escape(p.content_type) << "\npart_size " << p.data.size() << "\npart_md5 "
          << md5_of(p.data) << "\npart_body " << escape(p.data) << "\n";
    o << "status " << r.status << "\nend\n";
    return o.str();
}

std::mutex g_log_mutex;
std::string g_log;  // formatted records, in the order their responses were decided

// ---------------------------------------------------------------------------------------------
// Endpoints. Each gets the request, the response and the request's record.
using Endpoint = std::function<void(const Request &, Response &, const Record &)>;

size_t param_num(const Request &req, const char *name, size_t fallback) {
    return req.has_param(name) ? std::stoull(req.get_param_value(name)) : fallback;
}

// Pattern bytes in chunks, optionally paused; from `stall_after` on nothing more comes until
// the stall time is up, then the connection drops. Never more than a chunk is held.
void serve_pattern(const Request &req, Response &res, size_t total, size_t stall_after) {
    size_t chunk = std::max<size_t>(1, param_num(req, "chunk", 16384));
    auto delay = std::chrono::milliseconds(param_num(req, "delay_ms", 0));
    auto stall = std::chrono::milliseconds(param_num(req, "stall_ms", 30000));
    for (size_t i = 0; i < req.get_param_value_count("header"); ++i) {
        std::string h = req.get_param_value("header", i);
        if (h.find(':') != std::string::npos)
            res.set_header(h.substr(0, h.find(':')).c_str(), h.substr(h.find(':') + 1));
    }
    auto provide = [=](size_t offset, size_t length, httplib::DataSink &sink) {
        if (offset >= total) {
            sink.done();
            return true;
        }
        std::this_thread::sleep_for(offset >= stall_after ? stall : offset > 0 ? delay : 0ms);
        if (offset >= stall_after) return false;
        std::string buf = durl_test::pattern_body(
            std::min({length, chunk, total - offset, stall_after - offset}), offset);
        return sink.write(buf.data(), buf.size());
    };
    const char *type = "application/octet-stream";
    if (req.has_param("chunked"))
        res.set_chunked_content_provider(type, [=](size_t offset, httplib::DataSink &sink) {
            return provide(offset, total - std::min(offset, total), sink);
        });
    else if (total == 0)  // a provider of length 0 would send no Content-Length at all
        res.set_content("", type);
    else
        res.set_content_provider(total, type, provide);
}

void redirect_to(Response &res, const std::string &to, int code) {
    res.status = code;
    res.set_header("Location", to);
    res.set_content("redirect to " + to + "\n", "text/plain");
}

void ep_echo(const Request &, Response &res, const Record &rec) {
    res.set_content(format_record(rec), "text/plain");
}

void challenge(Response &res, const std::string &header, const std::string &value) {
    res.status = 401;
    res.set_header(header.c_str(), value);
    res.set_content("authentication required\n", "text/plain");
}

// The subject of the client's certificate ("" without one).
void ep_cert(const Request &req, Response &res, const Record &) {
    char subject[512] = "";
    X509 *peer = req.ssl ? SSL_get1_peer_certificate(const_cast<SSL *>(req.ssl)) : nullptr;
    if (peer) X509_NAME_oneline(X509_get_subject_name(peer), subject, sizeof subject);
    X509_free(peer);
    res.set_content(std::string(subject) + "\n", "text/plain");
}

void ep_basic(const Request &req, Response &res, const Record &rec) {
    std::string plain = req.get_param_value("user") + ":" + req.get_param_value("pass");
    std::string encoded(4 * (plain.size() / 3 + 1) + 1, '\0');
    encoded.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&encoded[0]),
                                   reinterpret_cast<const unsigned char *>(plain.data()),
                                   static_cast<int>(plain.size())));
    if (req.get_header_value("Authorization") == "Basic " + encoded) return ep_echo(req, res, rec);
    challenge(res, "WWW-Authenticate", "Basic realm=\"durl\"");
}

// Value of key="v" or key=v inside a Digest authorization header.
std::string digest_field(const std::string &h, const std::string &key) {
    size_t pos = 0;
    while ((pos = h.find(key + "=", pos)) != std::string::npos && pos > 0 && h[pos - 1] != ' ' &&
           h[pos - 1] != ',')
        pos += key.size();
    if (pos == std::string::npos) return "";
    pos += key.size() + 1;
    if (pos < h.size() && h[pos] == '"') return h.substr(pos + 1, h.find('"', pos + 1) - pos - 1);
    return h.substr(pos, h.find(',', pos) - pos);
}

// RFC 7616 Digest with MD5 and qop=auth; a fixed nonce is enough for a test peer.
void ep_digest(const Request &req, Response &res, const Record &rec) {
    const std::string realm = "durl", nonce = "0123456789abcdef0123456789abcdef";
    std::string auth = req.get_header_value("Authorization");
    std::string ha1 =
        md5_of(req.get_param_value("user") + ":" + realm + ":" + req.get_param_value("pass"));
    std::string ha2 = md5_of(req.method + ":" + digest_field(auth, "uri"));
    std::string expect = md5_of(ha1 + ":" + nonce + ":" + digest_field(auth, "nc") + ":" +
                                digest_field(auth, "cnonce") + ":auth:" + ha2);
    if (auth.rfind("Digest ", 0) == 0 && digest_field(auth, "response") == expect &&
        digest_field(auth, "username") == req.get_param_value("user"))
        return ep_echo(req, res, rec);
    challenge(res, "WWW-Authenticate",
              "Digest realm=\"durl\", qop=\"auth\", nonce=\"" + nonce + "\", algorithm=MD5");
}

// NTLM's handshake without its cryptography: the answer to the challenge must come over the
// connection that got the challenge, as with a real NTLM server. The hashes are not checked.
void ep_ntlm(const Request &req, Response &res, const Record &rec) {
    static std::mutex m;
    static int challenged_port = -1;
    // A type-2 message: signature, type, empty target name, flags (unicode, NTLM), nonce.
    static const char kType2[] = "TlRMTVNTUAACAAAAAAAAACAAAAABAgAAASNFZ4mrze8=";
    const std::string auth = req.get_header_value("Authorization");
    std::lock_guard<std::mutex> lock(m);
    if (auth.rfind("NTLM TlRMTVNTUAAB", 0) == 0) {  // type 1: "NTLMSSP\0" and 1
        challenged_port = req.remote_port;
        return challenge(res, "WWW-Authenticate", std::string("NTLM ") + kType2);
    }
    if (auth.rfind("NTLM TlRMTVNTUAAD", 0) == 0 && req.remote_port == challenged_port)
        return ep_echo(req, res, rec);
    challenge(res, "WWW-Authenticate", "NTLM");
}

// ---------------------------------------------------------------------------------------------
// Every endpoint answers GET (and so HEAD), POST, PUT, PATCH and DELETE. Bodies are read
// through a content reader (which also sidesteps cpp-httplib's 8192-byte limit on urlencoded
// bodies, applied only when it buffers a body itself).
void handle(const std::string &server, const Request &req, Response &res,
            const httplib::ContentReader *reader, const Endpoint &ep) {
    Record rec{server, req.method, req.target, req.body, req.headers, {}, 200};
    if (reader && req.is_multipart_form_data()) {
        (*reader)(
            [&](const httplib::MultipartFormData &f) {
                rec.parts.push_back({f.name, f.filename, f.content_type, ""});
                return true;
            },
            [&](const char *p, size_t n) {
                if (!rec.parts.empty()) rec.parts.back().data.append(p, n);
                return true;
            });
    } else if (reader) {
        (*reader)([&](const char *p, size_t n) {
            rec.body.append(p, n);
            return true;
        });
    }
    ep(req, res, rec);
    // cpp-httplib turns a status left at -1 into 200 only when it writes the response. The
    // record is logged before the response leaves, so a test reading /_log never races it.
    rec.status = res.status == -1 ? 200 : res.status;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_log += format_record(rec);
}

void configure(httplib::Server &srv, const std::string &name) {
    srv.new_task_queue = [] { return new httplib::ThreadPool(64); };
    srv.set_keep_alive_max_count(100000);
    srv.set_keep_alive_timeout(30);
    srv.set_payload_max_length(std::numeric_limits<size_t>::max());
    auto route = [&](const std::string &pattern, Endpoint ep) {
        auto plain = [=](const Request &req, Response &res) {
            handle(name, req, res, nullptr, ep);
        };
        auto reading = [=](const Request &req, Response &res, const httplib::ContentReader &rd) {
            handle(name, req, res, &rd, ep);
        };
        srv.Get(pattern, plain);
        srv.Post(pattern, reading);
        srv.Put(pattern, reading);
        srv.Patch(pattern, reading);
        srv.Delete(pattern, reading);
    };
    route(R"(/bytes/(\d+))", [](const Request &req, Response &res, const Record &) {
        serve_pattern(req, res, std::stoull(req.matches[1]),
                      param_num(req, "stall_after", SIZE_MAX));
    });
    route("/stall", [](const Request &req, Response &res, const Record &) {
        serve_pattern(req, res, 1000000, 0);
    });
    route("/say", [](const Request &req, Response &res, const Record &) {
        res.set_content(req.get_param_value("body"), "text/plain");
    });
    route(R"(/status/(\d+))", [](const Request &req, Response &res, const Record &) {
        res.status = std::stoi(req.matches[1]);
        res.set_content("status " + std::string(req.matches[1]) + "\n", "text/plain");
    });
    route("/redirect", [](const Request &req, Response &res, const Record &) {
        std::string to = req.has_param("to") ? req.get_param_value("to") : "/bytes/10";
        redirect_to(res, to, static_cast<int>(param_num(req, "code", 302)));
    });
    route(R"(/redirect/(\d+))", [](const Request &req, Response &res, const Record &) {
        size_t n = std::stoull(req.matches[1]);
        if (n > 0) return redirect_to(res, "/redirect/" + std::to_string(n - 1), 302);
        res.set_content("chain end\n", "text/plain");
    });
    route("/echo(/.*)?", ep_echo);
    route("/conn", [](const Request &req, Response &res, const Record &) {
        res.set_content(std::to_string(req.remote_port) + "\n", "text/plain");
    });
    route("/cert", ep_cert);
    // The device's web-ticket login: a 401 naming the ticket service, unless the ticket came.
    route("/webticket", [](const Request &req, Response &res, const Record &rec) {
        if (req.has_header("X-MS-WebTicket")) return ep_echo(req, res, rec);
        challenge(res, "X-MS-WebTicketURL", "https://127.0.0.1/webticket");
    });
    route("/auth/basic", ep_basic);
    route("/auth/digest", ep_digest);
    route("/auth/ntlm", ep_ntlm);
    srv.Get("/_log", [](const Request &, Response &res) {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        res.set_content(g_log, "text/plain");
    });
    srv.Get("/_reset", [](const Request &, Response &res) {
        std::lock_guard<std::mutex> lock(g_log_mutex);
        g_log.clear();
        res.set_content("ok\n", "text/plain");
    });
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4 && argc != 6) {
        fprintf(stderr, "usage: %s CERT_PEM KEY_PEM CLIENT_CA_PEM [CERT_PEM KEY_PEM]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-body must not end the server
    httplib::Server http;
    httplib::SSLServer https(argv[1], argv[2]), mtls(argv[1], argv[2], argv[3]),
        tls12(argv[1], argv[2]);
    if (!https.is_valid() || !mtls.is_valid() || !tls12.is_valid()) {
        fprintf(stderr, "durl_test_httpd: cannot load %s / %s / %s\n", argv[1], argv[2], argv[3]);
        return 1;
    }
    // Forward-secret suites over TLS 1.2 only: a client that insists on TLS 1.3, or offers
    // only static-RSA suites, fails its handshake here.
    SSL_CTX_set_max_proto_version(tls12.ssl_context(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(tls12.ssl_context(), "ECDHE+AESGCM");
    std::vector<std::pair<httplib::Server *, const char *>> listeners = {
        {&http, "http"}, {&https, "https"}, {&mtls, "mtls"}, {&tls12, "tls12"}};
    std::unique_ptr<httplib::SSLServer> misnamed;
    if (argc == 6) {
        misnamed = std::make_unique<httplib::SSLServer>(argv[4], argv[5]);
        if (!misnamed->is_valid()) return 1;
        listeners.push_back({misnamed.get(), "misnamed"});
    }
    std::string ready = "READY";
    for (auto &l : listeners) {
        configure(*l.first, l.second);
        int port = l.first->bind_to_any_port("127.0.0.1");
        if (port <= 0) {
            fprintf(stderr, "durl_test_httpd: bind failed\n");
            return 1;
        }
        ready += std::string(" ") + l.second + "=" + std::to_string(port);
    }
    // Bound sockets already listen, so connects queue until listen_after_bind runs.
    for (auto &l : listeners) std::thread([s = l.first] { s->listen_after_bind(); }).detach();
    printf("%s\n", ready.c_str());
    fflush(stdout);
    for (char c; read(0, &c, 1) > 0;) {
    }
    _exit(0);  // stalled handlers need not be joined: the process is going away
}
