// Certificate files into the short and long records and the subject hash: the three readers
// agree with each other and with OpenSSL's own parse, a file they fail on is left as it was,
// and the DER-to-PEM rewrite keeps the certificate. Then the same file into a scratch trust
// store: installed exactly when it holds a certificate, listed under its hash (both forms),
// a second install and a factory copy refused, a refused file left as it was, and removal
// empties the store again.
//
// Input: the certificate file itself (PEM, DER or anything else); the byte sum picks the
// trust store's variant (a factory copy of the file or not).
#include <dirent.h>
#include <sys/stat.h>

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

void check_trust_store(const std::string &bytes, bool factory) {
    const std::string trust = fuzz::scratch() + "trust/";
    const std::string file = fuzz::scratch() + "candidate.pem";
    fuzz::remove_tree(trust);
    durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, trust.c_str());
    fuzz::write_file(file, bytes);
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::string path = fuzz::scratch() + "cert";
    const std::string copy = fuzz::scratch() + "copy";
    fuzz::write_file(path, bytes);
    fuzz::write_file(copy, bytes);

    X509 *ref = fuzz::reference_parse(bytes);
    const uint32_t ref_hash = ref ? static_cast<uint32_t>(X509_subject_name_hash(ref)) : 0;
    X509_free(ref);

    // Short record: never rewrites the file.
    dl_ca_info info;
    memset(&info, 0, sizeof info);
    const int short_rc = dl_get_ca_info(path.c_str(), &info);
    FUZZ_CHECK(short_rc == 0 || short_rc == -2);
    FUZZ_CHECK(fuzz::read_file(path) == bytes);
    FUZZ_CHECK(info.common_name[63] == '\0' && info.organization[63] == '\0' &&
               info.not_after[63] == '\0');

    // Comparing files by digest: a file equals its copy.
    FUZZ_CHECK(dl_ca_cmp(path.c_str(), copy.c_str()) == 0);

    // Hash: a failure leaves the file alone; a success may rewrite DER as PEM, which reads
    // back as the same certificate.
    const uint32_t hash = dl_get_ca_hash(path.c_str());
    const std::string after = fuzz::read_file(path);
    if (hash == 0) {
        FUZZ_CHECK(after == bytes);
    } else {
        FUZZ_CHECK(hash == ref_hash);
        if (after != bytes) {
            X509 *again = fuzz::reference_parse(after);
            FUZZ_CHECK(again != nullptr);
            FUZZ_CHECK(static_cast<uint32_t>(X509_subject_name_hash(again)) == hash);
            X509_free(again);
            FUZZ_CHECK(dl_get_ca_hash(path.c_str()) == hash);
            FUZZ_CHECK(fuzz::read_file(path) == after);
        }
    }

    // Long record, key included, over the original bytes.
    fuzz::write_file(path, bytes);
    dl_ca_info_ex ex;
    dl_ca_status status;
    const int long_rc = dl_get_ca_info_ex(path.c_str(), &ex, DL_CA_INFO_CLIENT_CERT, &status);
    FUZZ_CHECK((long_rc == 0) == (status.code == 0));
    FUZZ_CHECK(ex.serial[63] == '\0' && ex.issuer[63] == '\0' && ex.subject[63] == '\0' &&
               ex.sig_algo[63] == '\0' && ex.key_algo[63] == '\0' && ex.not_before[63] == '\0');
    if (long_rc != 0) FUZZ_CHECK(fuzz::read_file(path) == bytes);

    // The readers agree with each other, and a certificate OpenSSL finds is found by them.
    if (short_rc == 0) FUZZ_CHECK(info.hash == ref_hash && ref_hash != 0);
    if (long_rc == 0) FUZZ_CHECK(ex.version <= 3);
    FUZZ_CHECK((short_rc == 0) == (long_rc == 0));
    FUZZ_CHECK((short_rc == 0) == (hash != 0));
    if (long_rc == 0) FUZZ_CHECK(ex.hash == hash);
    FUZZ_CHECK((ref_hash != 0) == (hash != 0));
    ERR_clear_error();

    check_trust_store(bytes, fuzz::checksum(data, size) % 4 == 0);
    ERR_clear_error();
    return 0;
}
