#include "pki.h"

#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "cert_factory.h"
#include "test_files.h"

namespace durl_test {

namespace {

// Key slots of the factory's pool that its own standard set leaves alone.
enum Slot { kCaKey = 10, kOtherCaKey = 11, kLeafKey = 12 };

void must(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "durl tests: cannot make the test PKI (%s)\n", what);
    std::abort();
}

// A factory certificate. Peers on 127.0.0.1 need a subjectAltName, which the factory does not
// make: end-entity certificates get one here and are signed again.
durl::X509Ptr cert(const char *cn, unsigned char serial, bool ca, EVP_PKEY *key,
                   X509 *issuer = nullptr, EVP_PKEY *issuer_key = nullptr,
                   const char *names = "DNS:localhost,IP:127.0.0.1") {
    CertShape shape;
    shape.subject = {{"CN", cn}};
    shape.serial = {serial};
    shape.ca = ca;
    durl::X509Ptr c = factory_cert(shape, key, issuer, issuer_key);
    must(c != nullptr, cn);
    if (ca) return c;
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, c.get(), nullptr, nullptr, 0);
    durl::X509ExtPtr ext(
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, const_cast<char *>(names)));
    must(ext && X509_add_ext(c.get(), ext.get(), -1) == 1 &&
             X509_sign(c.get(), issuer_key, EVP_sha256()) > 0,
         cn);
    return c;
}

Pki generate() {
    const std::string dir = scratch_dir("pki");
    auto f = [&](const char *name) { return dir + "/" + name; };
    Pki p{f("ca.pem"),         f("ca.key"),
          f("server.pem"),     f("server.key"),
          f("server-all.pem"), f("client-all.pem"),
          f("client.key"),     f("other-ca.pem"),
          f("other-ca.key"),   f("other-client-all.pem"),
          f("cadir"),          f("misnamed.pem"),
          f("misnamed.key")};
    EVP_PKEY *ca_key = factory_key(kCaKey), *other_key = factory_key(kOtherCaKey);
    EVP_PKEY *leaf = factory_key(kLeafKey);
    durl::X509Ptr ca = cert("durl Test CA", 1, true, ca_key);
    durl::X509Ptr other = cert("durl Other CA", 1, true, other_key);
    durl::X509Ptr server = cert("localhost", 2, false, leaf, ca.get(), ca_key);
    durl::X509Ptr client = cert("durl-test-client", 3, false, leaf, ca.get(), ca_key);
    durl::X509Ptr other_client = cert("durl-other-client", 2, false, leaf, other.get(), other_key);
    durl::X509Ptr misnamed =
        cert("elsewhere.invalid", 4, false, leaf, ca.get(), ca_key, "DNS:elsewhere.invalid");
    must(write_cert(p.ca_pem, ca.get()) && write_key(p.ca_key, ca_key) &&
             write_cert(p.other_ca_pem, other.get()) && write_key(p.other_ca_key, other_key) &&
             write_cert(p.server_pem, server.get()) && write_key(p.server_key, leaf) &&
             write_combined(p.server_combined, server.get(), leaf) &&
             write_key(p.client_key, leaf) &&
             write_combined(p.client_combined, client.get(), leaf) &&
             write_combined(p.other_client_combined, other_client.get(), leaf) &&
             write_cert(p.misnamed_pem, misnamed.get()) && write_key(p.misnamed_key, leaf) &&
             mkdir(p.ca_dir.c_str(), 0755) == 0 && !add_hashed_copy(p.ca_pem, p.ca_dir).empty(),
         "files");
    return p;
}

}  // namespace

std::string add_hashed_copy(const std::string &cert_file, const std::string &dir) {
    durl::X509Ptr c = read_cert(cert_file);
    if (!c) return "";
    char name[32];
    for (int i = 0; i < 10; ++i) {
        std::snprintf(name, sizeof name, "/%08lx.%d", X509_subject_name_hash(c.get()), i);
        if (file_exists(dir + name)) continue;
        return write_file(dir + name, read_file(cert_file)) ? dir + name : "";
    }
    return "";
}

const Pki &pki() {
    static std::once_flag once;
    static Pki p;
    std::call_once(once, [] { p = generate(); });
    return p;
}

}  // namespace durl_test
