// Request rate of small GETs from a local nginx: the handle's kept connection against a bare
// libcurl program that reuses one easy handle, kept against short connections over HTTP and
// HTTPS, and short HTTPS connections that verify the peer against a CA directory against the
// same without verification.
//
// usage: keepalive_bench [REQUESTS]     (default 1000 per kept-connection run; 3 runs each)
#include "bench_common.h"

namespace {

using bench::Nginx;

// One download to memory through the library.
void durl_get(durl_handle *h, const durl_url_param &p) {
    durl_result r{};
    int rc = durl_download_to_memory(h, &r, &p);
    bool whole = r.detail && r.detail->size == Nginx::kSmallSize;
    durl_free_result(&r);
    if (rc != 0 || !whole) bench::die("durl request failed: " + std::to_string(rc));
}

// A bare program's reused easy handle, options set once.
class BareReuse {
public:
    explicit BareReuse(const std::string &url) : c_(curl_easy_init()) {
        if (!c_) bench::die("curl_easy_init failed");
        headers_ = curl_slist_append(bench::bare_http_options(c_, url), "Connection:keep-alive");
        curl_easy_setopt(c_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(c_, CURLOPT_WRITEFUNCTION, bench::bare_memory);
    }
    ~BareReuse() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(c_);
    }
    void get() {
        bench::BareMemory sink;
        curl_easy_setopt(c_, CURLOPT_WRITEDATA, &sink);
        if (curl_easy_perform(c_) != CURLE_OK || sink.size != Nginx::kSmallSize)
            bench::die("bare request failed");
    }

private:
    CURL *c_;
    curl_slist *headers_ = nullptr;
};

// A bare program's short verifying request: a fresh easy handle and nothing kept between
// requests, as every short request of the library was before sessions were kept.
void bare_short_verified(const std::string &url) {
    CURL *c = curl_easy_init();
    if (!c) bench::die("curl_easy_init failed");
    curl_slist *headers = bench::bare_http_options(c, url);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_CAPATH, durl_test::pki().ca_dir.c_str());
    curl_easy_setopt(c, CURLOPT_CAINFO, static_cast<const char *>(nullptr));
    bench::BareMemory sink;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, bench::bare_memory);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    CURLcode rc = curl_easy_perform(c);
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    if (rc != CURLE_OK || sink.size != Nginx::kSmallSize) bench::die("bare short request failed");
}

struct Rates {
    double a, b, ratio;  // requests/s of each side; median of the per-batch ratios a/b
};

// Two request kinds measured in alternating batches, so that drift of this shared machine
// affects both sides alike. Which side goes first alternates too: the batch after the other
// side's finds the caches and the server's state as that side left them, and neither side
// should always be the one that does.
Rates alternate(int n, const std::function<void()> &a, const std::function<void()> &b) {
    const int batch = std::max(1, n / 20);
    bench::Paired pairs;
    double ta = 0, tb = 0;
    int total = 0;
    for (int round = 0; total < n; total += batch, ++round) {
        double t[2];
        for (int step = 0; step < 2; ++step) {
            const int side = step ^ (round & 1);
            auto t0 = bench::Clock::now();
            for (int i = 0; i < batch; ++i) (side ? b : a)();
            t[side] = bench::seconds_since(t0);
        }
        pairs.add(t[0], t[1]);
        ta += t[0];
        tb += t[1];
    }
    return {total / ta, total / tb, pairs.speed_ratio()};
}

}  // namespace

int main(int argc, char **argv) {
    const int n = argc > 1 ? std::max(20, std::atoi(argv[1])) : 1000;
    const int short_n = std::max(20, n / 5);  // short connections are slow: fewer of them

    Nginx nginx;
    bench::start_library();
    durl_handle *plain = nullptr, *verify = nullptr, *quiet = nullptr;
    if (durl_create(&plain) != 0 || durl_create(&verify) != 0 || durl_create(&quiet) != 0)
        bench::die("durl_create failed");
    // An application that reads warnings and errors only: nothing else is formatted.
    durl_set_option(quiet, DURL_OPT_LOG_LEVEL, DURL_LOG_WARNING);
    durl_set_option(verify, DURL_OPT_SSL_VERIFY_PEER, 1);
    durl_set_option(verify, DURL_OPT_SSL_USER_PATH, durl_test::pki().ca_dir.c_str());

    bench::Verdicts v;
    std::printf("%-52s %-44s %6s\n", "figure (requests/s; ratio: median of batches)",
                "durl vs reference", "ratio");
    for (const bool tls : {false, true}) {
        const std::string url = tls ? nginx.https("/small.txt") : nginx.http("/small.txt");
        const std::string scheme = tls ? "HTTPS" : "HTTP";
        const durl_url_param kept = bench::request(url, 1), fresh = bench::request(url, 0);
        BareReuse bare(url);
        durl_get(plain, kept);  // both sides start with an open connection
        bare.get();
        auto reuse = alternate(
            n, [&] { durl_get(plain, kept); }, [&] { bare.get(); });
        v.add(std::to_string(n) + " GETs, kept connection vs bare reuse, " + scheme,
              bench::fmt("%.0f vs %.0f", reuse.a, reuse.b), reuse.ratio, 0.9);
        durl_get(quiet, kept);
        auto quiet_reuse = alternate(
            n, [&] { durl_get(quiet, kept); }, [&] { bare.get(); });
        v.add(std::to_string(n) + " GETs, kept, log level 4 vs bare reuse, " + scheme,
              bench::fmt("%.0f vs %.0f", quiet_reuse.a, quiet_reuse.b), quiet_reuse.ratio, 1.0);
        auto mixed = alternate(
            short_n, [&] { durl_get(plain, kept); }, [&] { durl_get(plain, fresh); });
        v.add("kept vs short connections, " + scheme, bench::fmt("%.0f vs %.0f", mixed.a, mixed.b),
              // Short HTTPS connections resume their TLS sessions: the gap is smaller than
              // with a full handshake each time.
              mixed.ratio, tls ? 5.0 : 1.8);
    }
    const durl_url_param fresh = bench::request(nginx.https("/small.txt"), 0);
    durl_get(verify, fresh);  // fails loudly if the CA directory does not verify nginx
    auto checked = alternate(
        short_n, [&] { durl_get(verify, fresh); }, [&] { durl_get(plain, fresh); });
    v.add("short HTTPS, peer verified by CA directory vs not",
          bench::fmt("%.0f vs %.0f", checked.a, checked.b), checked.ratio, 0.8);
    auto resumed = alternate(
        n, [&] { durl_get(verify, fresh); },
        [&] { bare_short_verified(nginx.https("/small.txt")); });
    v.add(std::to_string(n) + " short verifying HTTPS GETs vs no session kept",
          bench::fmt("%.0f vs %.0f", resumed.a, resumed.b), resumed.ratio, 1.5);
    durl_cleanup();
    return v.exit_code();
}
