// The two write sinks every download goes through: whatever the chunking, the memory sink
// and the file sink keep exactly the body's first `limit` bytes (all without a limit), the
// memory copy stays terminated, and the sink signals the end once the limit is reached.
//
// Input: two limit bytes, a chunk-size byte sequence ended by 0, then the body.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::init_library();
    fuzz::Input in(data, size);
    const int32_t limit = static_cast<int32_t>(in.u16() % 5000);  // 0: no limit
    std::vector<size_t> chunks;
    while (!in.empty() && chunks.size() < 64) {
        const uint8_t c = in.byte();
        if (c == 0) break;
        chunks.push_back(c * 7u);
    }
    if (chunks.empty()) chunks.push_back(2048);
    std::string body = in.rest();

    durl_mem_sink mem{0, limit, nullptr};
    FILE *file = tmpfile();
    if (!file) return 0;
    durl_file_sink fsink{0, limit, file};
    bool mem_open = true, file_open = true;
    size_t fed = 0;
    for (size_t i = 0; fed < body.size() && (mem_open || file_open); ++i) {
        size_t n = std::min(chunks[i % chunks.size()], body.size() - fed);
        char *piece = &body[fed];
        // libcurl hands (1, n); older callers used (n, 1): both mean n bytes.
        const bool ones = i % 2 == 0;
        if (mem_open && durl_recvstream_cb(piece, ones ? 1 : n, ones ? n : 1, &mem) != n)
            mem_open = false;
        if (file_open && durl_writefile_cb(piece, ones ? 1 : n, ones ? n : 1, &fsink) != n)
            file_open = false;
        fed += n;
    }
    const size_t want = limit > 0 ? std::min(body.size(), static_cast<size_t>(limit)) : body.size();
    const std::string expect = body.substr(0, want);
    // Reaching the limit ends the transfer; a body under it never does.
    FUZZ_CHECK(mem_open == (limit <= 0 || body.size() < static_cast<size_t>(limit)));
    FUZZ_CHECK(mem.size == want);
    if (want) {
        FUZZ_CHECK(mem.data && std::string(mem.data, mem.size) == expect);
        FUZZ_CHECK(mem.data[mem.size] == '\0');
    }
    FUZZ_CHECK(file_open == mem_open && fsink.written == want);
    fflush(file);
    rewind(file);
    std::string back(want + 1, '\0');
    back.resize(fread(&back[0], 1, back.size(), file));
    FUZZ_CHECK(back == expect);
    fclose(file);
    free(mem.data);
    return 0;
}
