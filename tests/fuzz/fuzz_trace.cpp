// The protocol trace: whatever a server sends passes through the trace formatter when the
// debug trace is on. Input: kind byte, flag byte, label part, then the traffic bytes.
#include <cstring>
#include <string>

#include <curl/curl.h>

#include "engine.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    fuzz::Input in(data, size);
    const auto kind = static_cast<curl_infotype>(in.byte() % (CURLINFO_END + 1));
    const uint8_t flags = in.byte();
    const std::string label = in.part();
    const std::string traffic = in.rest();
    const int debug = flags & 1;

    fuzz::capture_log(true);
    FUZZ_CHECK(durl_curl_trace(kind, traffic.data(), traffic.size(), debug) == 0);
    // A dump's lines are printable and bounded, whatever the traffic holds.
    fuzz::capture_log(true);
    durl_curl_dump(label.c_str(), reinterpret_cast<const unsigned char *>(traffic.data()),
                   traffic.size(), kind, debug);
    bool first = !label.empty();
    for (const std::string &line : fuzz::logged()) {
        if (first) {  // the label line is the caller's text
            first = false;
            continue;
        }
        FUZZ_CHECK(line.compare(0, 6, "[DCMN]") == 0);
        FUZZ_CHECK(line.size() <= 6 + 201 && line.back() == '\n');
        for (size_t i = 6; i + 1 < line.size(); ++i)
            FUZZ_CHECK(static_cast<unsigned char>(line[i]) >= 32 &&
                       static_cast<unsigned char>(line[i]) <= 127);
    }
    fuzz::capture_log(false);
    return 0;
}
