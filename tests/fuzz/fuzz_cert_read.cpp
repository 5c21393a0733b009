// Certificate files into the short and long records and the subject hash: the three readers
// agree with each other and with OpenSSL's own parse, a file they fail on is left as it was,
// and the DER-to-PEM rewrite keeps the certificate.
//
// Input: the certificate file itself (PEM, DER or anything else).
#include <cstring>
#include <string>

#include <openssl/err.h>

#include "cert_reference.h"
#include "dl_ca.h"
#include "harness.h"

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
    return 0;
}
