// Verification with the tolerated errors, and the device certificate with its pair check:
// a verification always ends in one of its status codes; an install that fails leaves the
// device certificate file exactly as it was; an installed pair reads back as matching.
//
// Input: the candidate file itself (certificate, key, both, or anything else); its byte sum
// picks the verification flags.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <openssl/err.h>

#include "cert_reference.h"
#include "dl_ca.h"
#include "harness.h"

namespace {

struct Setup {
    std::string trust_file, trust_dir, device, good;
};

const Setup &setup() {
    static const Setup s = [] {
        Setup s;
        const std::string dir = fuzz::scratch();
        s.trust_file = dir + "trusted.pem";
        s.trust_dir = dir + "trusted/";
        s.device = dir + "device/server/device.pem";
        s.good = dir + "good.pem";
        // A device credential the TLS library accepts (2048 bits), and a trusted CA.
        fuzz::make_ca(2048, "Fuzz Device", s.good, dir + "good.key");
        fuzz::write_file(s.good, fuzz::read_file(s.good) + fuzz::read_file(dir + "good.key"));
        fuzz::make_ca(1024, "Fuzz Trusted CA", s.trust_file, dir + "trusted.key");
        mkdir(s.trust_dir.c_str(), 0700);
        mkdir((dir + "device").c_str(), 0700);
        mkdir((dir + "device/server").c_str(), 0700);
        durl_set_option(nullptr, DURL_OPT_SSL_CA_FILE, s.device.c_str());
        durl_set_option(nullptr, DURL_OPT_SSL_VERSION, 3);
        durl_set_option(nullptr, DURL_OPT_SSL_PASSWD, "fuzz");
        return s;
    }();
    return s;
}

void check_verify(const std::string &file, int flags) {
    const Setup &s = setup();
    dl_ca_status status;
    memset(&status, 0x7f, sizeof status);
    const int rc =
        dl_cert_verify(file.c_str(), s.trust_dir.c_str(), s.trust_file.c_str(), flags, &status);
    FUZZ_CHECK(rc == 0 || rc == -1);
    FUZZ_CHECK((rc == 0) == (status.code == 0));
    FUZZ_CHECK(status.code >= 0 && status.code <= 11);
    FUZZ_CHECK(strnlen(status.message, sizeof status.message) < sizeof status.message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    const Setup &s = setup();
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const std::string file = fuzz::scratch() + "candidate.pem";
    fuzz::write_file(file, bytes);
    const unsigned sum = fuzz::checksum(data, size);

    check_verify(file, sum & DL_VERIFY_ADVANCE);
    FUZZ_CHECK(fuzz::read_file(file) == bytes);

    // Whole-pair install over a good device certificate.
    fuzz::write_file(s.device, fuzz::read_file(s.good));
    const std::string before = fuzz::read_file(s.device);
    const int rc = dl_install_ser_ca(file.c_str());
    FUZZ_CHECK(rc <= 0 && rc >= -8);
    if (rc != 0) {
        FUZZ_CHECK(fuzz::read_file(s.device) == before);
    } else {
        FUZZ_CHECK(fuzz::read_file(s.device) == bytes);
        dl_ca_info info;
        FUZZ_CHECK(dl_get_ser_ca_info(&info) == 0);
    }

    // Half install: the missing half comes from the device certificate.
    fuzz::write_file(s.device, fuzz::read_file(s.good));
    const int half = dl_install_ser_ca_separate(file.c_str());
    FUZZ_CHECK(half == 0 || half == -1);
    if (half != 0) FUZZ_CHECK(fuzz::read_file(s.device) == before);
    dl_ca_info info;
    memset(&info, 0, sizeof info);
    const int info_rc = dl_get_ser_ca_info(&info);
    FUZZ_CHECK(info_rc == 0 || info_rc == -2 || info_rc == -3);
    FUZZ_CHECK(fuzz::read_file(file) == bytes);
    ERR_clear_error();
    return 0;
}
