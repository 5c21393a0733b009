// Subject texts and the seeded key path: "/type=value/..." parses into a name that, written
// back as text, parses into the same name; signing requests and client certificates carry
// exactly that name, and the same seed and common name give the same key again. Keys are
// 512 bits so that a run makes many of them.
//
// Input: control byte, subject text, seed text (separated by '\x01').
#include <unistd.h>

#include <cstring>
#include <string>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "cert_reference.h"
#include "dl_internal.h"
#include "harness.h"

namespace {

constexpr int kBits = 512;

bool same_subject(X509_NAME *name, const std::string &subject) {
    X509_NAME *want = dl_do_subject(subject.c_str(), MBSTRING_UTF8);
    const bool same = want && X509_NAME_cmp(name, want) == 0;
    X509_NAME_free(want);
    return same;
}

void check_csr(const std::string &subject) {
    const std::string dir = fuzz::scratch();
    const std::string csr = dir + "req.pem", key = dir + "req.key";
    unlink(key.c_str());
    unlink(csr.c_str());
    const int rc = dl_cert_build_csr_req_file(csr.c_str(), key.c_str(), subject.c_str(), kBits);
    if (rc != 0) {
        FUZZ_CHECK(rc == 14);  // only the subject can be wrong here
        FUZZ_CHECK(!fuzz::exists(csr));
        return;
    }
    FILE *f = fopen(csr.c_str(), "r");
    X509_REQ *req = f ? PEM_read_X509_REQ(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    FUZZ_CHECK(req != nullptr);
    EVP_PKEY *pub = X509_REQ_get0_pubkey(req);
    FUZZ_CHECK(pub && X509_REQ_verify(req, pub) == 1);
    FUZZ_CHECK(same_subject(X509_REQ_get_subject_name(req), subject));
    X509_REQ_free(req);
    // The seeded generator: the same seed and common name give the same key.
    const std::string first = fuzz::read_file(key);
    unlink(key.c_str());
    FUZZ_CHECK(dl_cert_build_csr_req_file(csr.c_str(), key.c_str(), subject.c_str(), kBits) == 0);
    FUZZ_CHECK(fuzz::read_file(key) == first);
}

void check_issue(const std::string &subject) {
    const std::string dir = fuzz::scratch();
    static const bool made = [&] {
        fuzz::make_ca(1024, "Fuzz Issuing CA", dir + "ca.pem", dir + "ca.key");
        return true;
    }();
    (void)made;
    const std::string key = dir + "client.key", out = dir + "client.pem";
    unlink(key.c_str());
    unlink(out.c_str());
    const int rc = dl_generate_client_cert((dir + "ca.pem").c_str(), (dir + "ca.key").c_str(),
                                           key.c_str(), out.c_str(), subject.c_str(), kBits);
    if (rc != 0) {
        FUZZ_CHECK(!fuzz::exists(out));
        return;
    }
    FILE *f = fopen(out.c_str(), "r");
    X509 *cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY *pkey = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    FUZZ_CHECK(cert && pkey && X509_check_private_key(cert, pkey) == 1);
    FUZZ_CHECK(same_subject(X509_get_subject_name(cert), subject));
    X509_free(cert);
    EVP_PKEY_free(pkey);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    fuzz::Input in(data, size);
    const uint8_t ctl = in.byte();
    const std::string subject = in.part();
    const std::string seed = in.part();

    const unsigned long chtype = (ctl & 1) ? MBSTRING_UTF8 : MBSTRING_ASC;
    X509_NAME *name = dl_do_subject(subject.c_str(), chtype);
    if (subject.empty() || subject[0] != '/') FUZZ_CHECK(name == nullptr);
    if (name) {
        const std::string text = fuzz::as_text(name);
        if (!text.empty() || X509_NAME_entry_count(name) == 0) {
            X509_NAME *again = dl_do_subject(text.empty() ? "/" : text.c_str(), MBSTRING_UTF8);
            FUZZ_CHECK(again && X509_NAME_cmp(name, again) == 0);
            X509_NAME_free(again);
        }
        X509_NAME_free(name);
    }
    ERR_clear_error();

    // Key generation is the dear part: one input in eight makes requests, one in eight
    // issues a certificate.
    if ((ctl & 0x0e) == 0 || (ctl & 0x0e) == 2) {
        durl_set_option(nullptr, DURL_OPT_ENV_RANDOMNESS, seed.c_str());
        if ((ctl & 0x0e) == 0)
            check_csr(subject);
        else
            check_issue(subject);
    }
    ERR_clear_error();
    return 0;
}
