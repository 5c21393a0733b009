// Install and listing on a scratch trust store: a file is installed exactly when it holds a
// certificate, the listings then show it under its hash (both forms), a second install and
// a factory copy are refused, a refused file is left as it was, and removal empties the
// store again.
//
// Input: the certificate file itself; the byte sum picks the variant (factory copy or not).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <openssl/err.h>

#include "cert_reference.h"
#include "dl_ca.h"
#include "harness.h"

namespace {

int entries(const std::string &dir) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::string trust = fuzz::scratch() + "trust/";
    const std::string file = fuzz::scratch() + "candidate.pem";
    fuzz::remove_tree(trust);
    durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, trust.c_str());
    fuzz::write_file(file, bytes);
    const bool factory = fuzz::checksum(data, size) % 4 == 0;
    if (factory) {
        mkdir(trust.c_str(), 0700);
        mkdir((trust + "phoneca/").c_str(), 0700);
        fuzz::write_file(trust + "phoneca/factory.0", bytes);
    }

    const int rc = dl_install_ca(file.c_str());
    FUZZ_CHECK(rc == 0 || rc == -1 || (factory && rc == -3));
    const uint32_t hash = dl_get_ca_hash(file.c_str());
    // A file that is no certificate is left as it was. A DER certificate is rewritten as PEM
    // while it is hashed, before a refusal for an installed or factory copy: that file must
    // still hold the same certificate. So must a certificate whose re-encoding OpenSSL
    // cannot read back: the store refuses it (-1) rather than keep an unreadable entry.
    const std::string after = fuzz::read_file(file);
    if (rc == -1 && hash == 0) FUZZ_CHECK(after == bytes);
    if (rc != 0 && after != bytes) {
        X509 *again = fuzz::reference_parse(after);
        FUZZ_CHECK(again && static_cast<uint32_t>(X509_subject_name_hash(again)) == hash);
        X509_free(again);
    }
    if (rc == 0) FUZZ_CHECK(dl_install_ca(file.c_str()) == -2);

    // A refused file may leave no store at all: then both listings say so and show nothing.
    const bool store = fuzz::exists(trust);
    FUZZ_CHECK(store || rc != 0);
    dl_trust_ca_list list;
    FUZZ_CHECK(dl_get_trust_ca_info(&list) == (store ? 0 : -2));
    dl_trust_ca_list_ex list_ex;
    dl_ca_status status;
    FUZZ_CHECK(dl_get_trust_ca_info_ex(&list_ex, &status) == (store ? 0 : -1));
    FUZZ_CHECK(status.code == (store ? 0 : 2));
    FUZZ_CHECK(list.count == (rc == 0 ? 1 : 0));
    FUZZ_CHECK(list_ex.count == list.count);
    if (list.count == 1) {
        FUZZ_CHECK(list.entries[0].hash == hash);
        char name[16];
        snprintf(name, sizeof name, "%08x.0", hash);
        FUZZ_CHECK(list.entries[0].path == trust + name);
        if (list_ex.count == 1) FUZZ_CHECK(list_ex.entries[0].hash == hash);
        FUZZ_CHECK(dl_del_ca(list.entries[0].path) == 0);
        FUZZ_CHECK(entries(trust) == 2);  // only ca/ and phoneca/ remain
        FUZZ_CHECK(entries(trust + "ca/") == 0);
    }
    ERR_clear_error();
    return 0;
}
