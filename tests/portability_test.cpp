// What must come out the same on every CPU the phone uses (amd64 for development, arm64,
// and armhf with its 32-bit time_t and long): dates past 2038, sizes past 2 and 4 GiB,
// keys from the seeded generator, and the layout of the records callers compile against.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <memory>

#include <openssl/x509.h>

#include "cert_factory.h"
#include "dl_ca.h"
#include "durl.h"
#include "log_capture.h"
#include "record_layout.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Portability : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("portability") + "/";
    }
    std::string dir;
};

}  // namespace

// Validity past 19 January 2038, which a 32-bit time_t cannot hold: shown in the trusted-CA
// listings and honoured by verification. The records of one file show such dates in
// CertFile.InfoRecordsOfCertificateShapes (2060) and CertFile.Asn1TimeText (2049), which run
// on every CPU too.
TEST_F(Portability, DatesPast2038) {
    CertShape ca_shape;
    ca_shape.subject = {{"CN", "durl 2049 CA"}, {"O", "durl"}};
    ca_shape.ca = true;
    ca_shape.not_before = "20200101000000Z";
    ca_shape.not_after = "20491231235959Z";
    durl::X509Ptr ca = factory_cert(ca_shape, factory_key(0));
    CertShape leaf_shape;
    leaf_shape.subject = {{"CN", "durl 2049 leaf"}};
    leaf_shape.not_before = "200101000000Z";  // UTCTime up to 2049, GeneralizedTime after
    leaf_shape.not_after = "491231235959Z";
    durl::X509Ptr leaf = factory_cert(leaf_shape, factory_key(2), ca.get(), factory_key(0));
    leaf_shape.subject = {{"CN", "durl 2040 leaf"}};
    leaf_shape.not_before = "20400101000000Z";
    durl::X509Ptr future = factory_cert(leaf_shape, factory_key(2), ca.get(), factory_key(0));
    ASSERT_TRUE(ca && leaf && future);
    const std::string ca_pem = dir + "ca.pem", leaf_pem = dir + "leaf.pem";
    const std::string future_pem = dir + "future.pem", trust = dir + "trust/";
    ASSERT_TRUE(write_cert(ca_pem, ca.get()) && write_cert(leaf_pem, leaf.get()) &&
                write_cert(future_pem, future.get()));
    const char *end = "Dec 31 23:59:59 2049 GMT";

    dl_ca_status st{};
    ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_SSL_TRUST_PATH, trust.c_str()), 0);
    ASSERT_EQ(dl_install_ca(ca_pem.c_str()), 0) << log.dump();
    dl_trust_ca_list list{};
    ASSERT_EQ(dl_get_trust_ca_info(&list), 0);
    ASSERT_EQ(list.count, 1);
    EXPECT_STREQ(list.entries[0].common_name, "durl 2049 CA");
    EXPECT_STREQ(list.entries[0].not_after, end);
    auto list_ex = std::make_unique<dl_trust_ca_list_ex>();
    ASSERT_EQ(dl_get_trust_ca_info_ex(list_ex.get(), &st), 0);
    ASSERT_EQ(list_ex->count, 1);
    EXPECT_STREQ(list_ex->entries[0].not_before, "Jan  1 00:00:00 2020 GMT");
    EXPECT_STREQ(list_ex->entries[0].not_after, end);

    EXPECT_EQ(dl_cert_verify(leaf_pem.c_str(), trust.c_str(), nullptr, 0, &st), 0) << st.message;
    EXPECT_EQ(st.code, 0);
    EXPECT_EQ(dl_cert_verify(future_pem.c_str(), trust.c_str(), nullptr, 0, &st), -1);
    EXPECT_EQ(st.code, 4) << st.message;  // not yet valid
}

// The FTP append check adds the server's size to the local file's: both cross 2 GiB (a
// negative 32-bit long) and 4 GiB (wraps to a few bytes in 32 bits), where a narrow size
// would let the append through. The files are sparse and nothing is sent.
TEST_F(Portability, AppendSizesPast2And4GiB) {
    const std::string small = dir + "small.bin", remote = ftp_user_dir() + "/wide.bin";
    ASSERT_TRUE(write_file(small, pattern_body(1000)));
    Handle h;
    ASSERT_EQ(durl_set_option(h, DURL_OPT_MAX_FILESIZE, 30000), 0);
    const uint64_t past2 = (uint64_t{1} << 31) + 16, past4 = (uint64_t{1} << 32) + 16;
    struct Row {
        uint64_t remote_size, local_size;  // 0 local: the small file; 0 remote: no file
    } rows[] = {{past2, 0}, {past4, 0}, {0, past2}, {0, past4}};
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.remote_size) + " + " + std::to_string(row.local_size));
        std::remove(remote.c_str());
        if (row.remote_size) {
            ASSERT_TRUE(sparse_file(remote, row.remote_size));
        }
        std::string local = small;
        if (row.local_size) {
            local = dir + "big.bin";
            ASSERT_TRUE(sparse_file(local, row.local_size));
        }
        durl_url_param p = make_param(ftp_url("/wide.bin"));
        p.ftp_append = 1;
        p.append_limit = 2;  // cancel beyond the limit
        EXPECT_EQ(upload(h, p, local.c_str()), -163) << log.dump();
        EXPECT_EQ(file_size(remote), row.remote_size);
    }
    std::remove(remote.c_str());
    std::remove((dir + "big.bin").c_str());
}

// The seeded generator gives one key per seed, name and size, on every CPU: a device
// re-enrolled after a firmware change for another processor keeps its key.
TEST_F(Portability, SeededKeyIsTheSameEverywhere) {
    ASSERT_EQ(durl_set_option(nullptr, DURL_OPT_ENV_RANDOMNESS, "golden seed"), 0);
    const std::string key_file = dir + "golden.key", csr = dir + "golden.csr";
    // 2048 bits: the smallest RSA size the TLS security level here accepts.
    ASSERT_EQ(dl_cert_build_csr_req_file(csr.c_str(), key_file.c_str(), "/CN=golden", 2048), 0)
        << log.dump();
    // The public key's SHA-256, by the openssl command line (native even in emulated runs).
    const std::string hex = run_capture("openssl pkey -in '" + key_file +
                                        "' -pubout -outform DER | openssl dgst -sha256 -r");
    EXPECT_EQ(hex, "0fb4e136c9a7b5957d0a91e54e10288ee6b16a5b25d439481a7eb0c153f9843d *stdin\n");
}

// sizeof and offsetof of every public record, per CPU: an accidental layout change on one of
// them breaks every caller built against the old headers.
TEST_F(Portability, PublicRecordLayout) {
#if defined(__x86_64__) || defined(__aarch64__)
    const bool armhf = false;
#elif defined(__arm__)
    const bool armhf = true;
#else
    GTEST_SKIP() << "no layout recorded for this processor";
    const bool armhf = false;
#endif
    using Info = dl_ca_info;
    using Ex = dl_ca_info_ex;
    using Param = durl_url_param;
    using Detail = durl_result_detail;
    const struct {
        const char *record;
        std::string actual;        // its size, then the offset of each field named, in order
        const char *lp64, *armhf;  // armhf null: as amd64 and arm64
    } rows[] = {
        {"dl_ca_status", layout(&dl_ca_status::code, &dl_ca_status::message), "260 0 4", nullptr},
        {"dl_ca_info",
         layout(&Info::common_name, &Info::organization, &Info::not_after, &Info::hash,
                &Info::path),
         "260 0 64 128 192 196", nullptr},
        {"dl_ca_info_ex",
         layout(&Ex::version, &Ex::serial, &Ex::sig_algo, &Ex::key_algo, &Ex::key_bits,
                &Ex::pri_key_algo, &Ex::pri_key_bits, &Ex::issuer, &Ex::subject, &Ex::hash,
                &Ex::not_before, &Ex::not_after, &Ex::path, &Ex::ext_count),
         "596 0 1 65 129 196 200 264 268 332 396 400 464 528 592", nullptr},
        {"dl_trust_ca_list", layout(&dl_trust_ca_list::count, &dl_trust_ca_list::entries),
         "2604 0 4", nullptr},
        {"dl_trust_ca_list_ex", layout(&dl_trust_ca_list_ex::count, &dl_trust_ca_list_ex::entries),
         "5964 0 4", nullptr},
        {"durl_url_param",
         layout(&Param::url, &Param::user, &Param::password, &Param::method, &Param::auth,
                &Param::ftp_append, &Param::append_limit, &Param::raw_upload, &Param::max_size,
                &Param::keep_alive, &Param::reserved1, &Param::no_redirect, &Param::reserved2,
                &Param::post_size, &Param::headers, &Param::post_data),
         "1600 0 1024 1280 1536 1540 1544 1548 1552 1556 1560 1564 1568 1572 1576 1584 1592",
         "1588 0 1024 1280 1536 1540 1544 1548 1552 1556 1560 1564 1568 1572 1576 1580 1584"},
        {"durl_result_detail",
         layout(&Detail::reserved1, &Detail::reserved2, &Detail::size, &Detail::reserved_buf,
                &Detail::data),
         "32 0 4 8 16 24", "20 0 4 8 12 16"},
        {"durl_result",
         layout(&durl_result::recode, &durl_result::reserved_text, &durl_result::effective_url,
                &durl_result::detail),
         "1552 0 4 516 1544", "1544 0 4 516 1540"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.actual, armhf && row.armhf ? row.armhf : row.lp64) << row.record;
}
