// The ASN.1 time formatter behind every validity date shown: bounded output, a refused time
// leaves the output alone, and a time OpenSSL accepts is shown with OpenSSL's own date.
//
// Input: type byte (UTCTime, GeneralizedTime or another string type), then the time text.
#include <cstring>
#include <ctime>
#include <string>

#include <openssl/asn1.h>

#include "dl_internal.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    fuzz::Input in(data, size);
    const uint8_t sel = in.byte();
    const int type = sel % 3 == 0   ? V_ASN1_UTCTIME
                     : sel % 3 == 1 ? V_ASN1_GENERALIZEDTIME
                                    : V_ASN1_OCTET_STRING;
    const std::string text = in.rest();
    ASN1_TIME *t = ASN1_STRING_type_new(type);
    if (!t) return 0;
    if (ASN1_STRING_set(t, text.data(), static_cast<int>(text.size())) != 1) {
        ASN1_STRING_free(t);
        return 0;
    }
    char out[40];
    memset(out, '\x7f', sizeof out);
    const int rc = asn1_time_parse(t, out);
    if (rc != 0) {
        FUZZ_CHECK(rc == -1);
        for (char c : out) FUZZ_CHECK(c == '\x7f');
    } else {
        FUZZ_CHECK(strnlen(out, 25) <= 24);
        for (size_t i = 25; i < sizeof out; ++i) FUZZ_CHECK(out[i] == '\x7f');
    }
    // A well-formed time in UTC (the form certificates must use): shown, with the date
    // OpenSSL reads from it. Times with an offset are shown as written.
    struct tm tm;
    if (type != V_ASN1_OCTET_STRING && !text.empty() && text.back() == 'Z' &&
        ASN1_TIME_check(t) == 1 && ASN1_TIME_to_tm(t, &tm) == 1) {
        FUZZ_CHECK(rc == 0);
        static const char *const mon[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        char want[40];
        snprintf(want, sizeof want, "%s %2d %02d:%02d:%02d %d", mon[tm.tm_mon], tm.tm_mday,
                 tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
        FUZZ_CHECK(strncmp(out, want, strlen(want)) == 0);
    }
    ASN1_STRING_free(t);
    return 0;
}
