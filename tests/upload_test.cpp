// Uploads as multipart form, raw body and PUT over HTTP(S), store and size-limited append
// over FTP, TFTP store; plus the sinks' behaviour when the disk gives out and the promise
// that nothing reaches the host's standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "durl.h"
#include "engine.h"
#include "fault_injection.h"
#include "log_capture.h"
#include "servers.h"
#include "transfer_util.h"

using namespace durl_test;

namespace {

class Upload : public DurlTest {
protected:
    void SetUp() override {
        DurlTest::SetUp();
        dir = scratch_dir("upload");
        local = dir + "/log.txt";
        ASSERT_TRUE(write_file(local, pattern_body(20000)));
    }
    // Uploads and returns the folded code; recode lands in last_recode.
    int put(durl_handle *h, const durl_url_param &p, const char *file, const char *name = nullptr) {
        durl_result r;
        std::memset(&r, 0, sizeof r);
        int rc = durl_upload(h, &r, &p, file, name);
        last_recode = r.recode;
        durl_free_result(&r);
        return rc;
    }
    // The last request the HTTP server logged for one upload.
    HttpRecord sent(durl_handle *h, const durl_url_param &p, const char *file,
                    const char *name = nullptr) {
        http_log_reset();
        EXPECT_EQ(0, put(h, p, file, name));
        std::vector<HttpRecord> log = http_log();
        return log.empty() ? HttpRecord{} : log.back();
    }
    std::string dir, local;
    int last_recode = 0;
};

std::vector<std::string> ftp_verbs() {
    std::vector<std::string> verbs;
    for (const std::string &c : ftp_commands()) {
        size_t a = c.find(' '), b = c.find(' ', a + 1);
        size_t e = c.find(' ', b + 1);
        verbs.push_back(c.substr(b + 1, e == std::string::npos ? std::string::npos : e - b - 1));
    }
    return verbs;
}

bool has(const std::vector<std::string> &v, const std::string &s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

}  // namespace

TEST_F(Upload, MultipartFormCarriesTheFile) {
    for (const std::string &url : {http_url("/echo"), https_url("/echo")}) {
        SCOPED_TRACE(url);
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_DEBUG_TRACE, 1));
        log.clear();
        HttpRecord r = sent(h, make_param(url), local.c_str());
        EXPECT_EQ("POST", r.method);
        ASSERT_EQ(1u, r.parts.size());
        EXPECT_EQ("upload", r.parts[0].name);
        EXPECT_EQ("log.txt", r.parts[0].filename);
        EXPECT_EQ("application/octet-stream", r.parts[0].content_type);
        EXPECT_EQ(20000u, r.parts[0].size);
        EXPECT_EQ(file_md5_hex(local), r.parts[0].md5);
        // The second part header line travels inside the content type text.
        EXPECT_TRUE(log.contains(6, "[DCMN]Content-Transfer-Encoding: binary\n"));
        EXPECT_TRUE(log.contains(6, "[DCMN]Upload success.\n"));
    }
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_DISPOSITION, "file"));
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_EXTERN_DISPOSITION, "extra"));
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_EXTERN_BODY, "value"));
    durl_url_param p = make_param(http_url("/echo"));
    p.headers =
        const_cast<char *>("Content-Type: multipart/form-data; boundary=xyz\r\nX-Tag: 7\r\n");
    HttpRecord r = sent(h, p, local.c_str(), "remote.bin");
    ASSERT_EQ(2u, r.parts.size());
    EXPECT_EQ("extra", r.parts[0].name);
    EXPECT_EQ("value", r.parts[0].body);
    EXPECT_EQ("file", r.parts[1].name);
    EXPECT_EQ("remote.bin", r.parts[1].filename);
    EXPECT_EQ("7", r.header("X-Tag"));
}

// Fault guarded: a form whose file part could not be added was sent anyway, without the file.
TEST_F(Upload, FormWithoutItsFilePartIsRefused) {
    curl_httppost *form = nullptr;
    EXPECT_EQ(-2, durl_upload_form(&form, "upload", "extra", "value", nullptr, "x"));
    curl_formfree(form);
    EXPECT_TRUE(log.contains(3, "[DCMN]Formadd sendfile info error.\n"));
    EXPECT_TRUE(log.mentions("file part not added"));
    form = nullptr;
    EXPECT_EQ(0, durl_upload_form(&form, "upload", "", "", local.c_str(), "log.txt"));
    curl_formfree(form);
}

TEST_F(Upload, RawBodiesAndPut) {
    struct Row {
        std::string path;
        int method, raw;
        const char *name;
        std::string method_seen, target_seen;
    } rows[] = {
        {"/echo", DURL_METHOD_POST, 1, nullptr, "POST", "/echo"},
        {"/echo/", DURL_METHOD_PUT, 0, nullptr, "PUT", "/echo/log.txt"},
        {"/echo/dir", DURL_METHOD_PUT, 0, "x.bin", "PUT", "/echo/dir/x.bin"},
        {"/echo/file.bin", DURL_METHOD_GET, 1, nullptr, "PUT", "/echo/file.bin"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        durl_url_param p = make_param(http_url(row.path));
        p.method = row.method;
        p.raw_upload = row.raw;
        HttpRecord r = sent(nullptr, p, local.c_str(), row.name);
        EXPECT_EQ(row.method_seen, r.method);
        EXPECT_EQ(row.target_seen, r.target);
        EXPECT_EQ(20000u, r.body_size);
        EXPECT_EQ(file_md5_hex(local), r.body_md5);
        EXPECT_TRUE(r.parts.empty());
    }
    durl_url_param empty = make_param(https_url("/echo/empty"));
    empty.method = DURL_METHOD_PUT;
    HttpRecord r = sent(nullptr, empty, nullptr);
    EXPECT_EQ("PUT", r.method);
    EXPECT_EQ(0u, r.body_size);
    EXPECT_TRUE(log.contains(4, "[DCMN]upload file is null or noexist, will put a msg.\n"));
    // Without a file only a PUT may go on.
    durl_url_param post = make_param(http_url("/echo"));
    EXPECT_EQ(-2, put(nullptr, post, nullptr));
    EXPECT_EQ(-2, put(nullptr, post, (dir + "/missing").c_str()));
    EXPECT_TRUE(log.contains(3, "[DCMN]upload file is null or noexist.\n"));
    EXPECT_EQ(-1, put(nullptr, make_param(http_url("/status/404")), local.c_str()));
    EXPECT_EQ(404, last_recode);
}

TEST_F(Upload, FtpAndTftpStoreUnderTheTargetName) {
    ASSERT_EQ(0, mkdir((ftp_user_dir() + "/sub").c_str(), 0777));
    struct Row {
        std::string url;
        const char *name;
        std::string stored;
    } rows[] = {{ftp_url("/"), nullptr, ftp_user_dir() + "/log.txt"},
                {ftp_url("/named.bin"), nullptr, ftp_user_dir() + "/named.bin"},
                {ftp_url("/sub"), "x.bin", ftp_user_dir() + "/sub/x.bin"},
                {ftp_url("/", "bad:creds"), "anon.bin", ftp_anon_dir() + "/anon.bin"}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(0, put(nullptr, make_param(row.url), local.c_str(), row.name));
        EXPECT_EQ(file_md5_hex(local), file_md5_hex(row.stored));
    }
    // No TLS options reach FTPS: libcurl's own peer check refuses the self-signed server.
    EXPECT_EQ(-160, put(nullptr, make_param(ftps_url("/")), local.c_str()));
    if (!tftp_available()) return;
    EXPECT_EQ(0, put(nullptr, make_param(tftp_url("/")), local.c_str()));
    EXPECT_EQ(file_md5_hex(local), file_md5_hex(tftp_root() + "/log.txt"));
}

TEST_F(Upload, FtpAppendIsHeldToMaxFilesize) {
    Handle h;
    ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 30000));
    const std::string remote = ftp_user_dir() + "/app.bin";
    const std::string old_body(15000, 'o');
    struct Row {
        int append_limit, rc;
        const char *verb;  // the store command sent, "" for none
        bool replaced;
    } rows[] = {{1, 0, "STOR", true}, {2, -163, "", false}, {0, -1, "", false}, {3, -1, "", false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.append_limit);
        ASSERT_TRUE(write_file(remote, old_body));
        durl_url_param p = make_param(ftp_url("/app.bin"));
        p.ftp_append = 1;
        p.append_limit = row.append_limit;
        ftp_commands_reset();
        EXPECT_EQ(row.rc, put(h, p, local.c_str()));  // 15000 + 20000 > 30000
        std::vector<std::string> verbs = ftp_verbs();
        EXPECT_TRUE(has(verbs, "SIZE"));
        EXPECT_FALSE(has(verbs, "APPE"));
        EXPECT_EQ(row.verb[0] != '\0', has(verbs, row.verb));
        EXPECT_EQ(row.replaced ? pattern_body(20000) : old_body, read_file(remote));
    }
    // Within the limit the file grows; a missing remote file is created by the append.
    ASSERT_TRUE(write_file(remote, "head:"));
    durl_url_param p = make_param(ftp_url("/app.bin"));
    p.ftp_append = 1;
    ftp_commands_reset();
    EXPECT_EQ(0, put(h, p, local.c_str()));
    EXPECT_TRUE(has(ftp_verbs(), "APPE"));
    EXPECT_EQ("head:" + pattern_body(20000), read_file(remote));
    durl_url_param fresh = make_param(ftp_url("/fresh.bin"));
    fresh.ftp_append = 1;
    EXPECT_EQ(0, put(h, fresh, local.c_str()));
    EXPECT_EQ(pattern_body(20000), read_file(ftp_user_dir() + "/fresh.bin"));
    EXPECT_TRUE(
        log.contains(4, "[DCMN]Server file size more than limit, delete the previous one.\n"));
    EXPECT_TRUE(log.contains(4, "[DCMN]Server file size more than limit, cancle upload.\n"));
    EXPECT_TRUE(log.contains(4, "[DCMN]Unsupported ftp append limit.\n"));
}

// Fault guarded: response bodies the library does not keep (upload answers, HEAD/DELETE
// bodies, the size query's pseudo-headers) went to the host process's standard output.
TEST_F(Upload, NothingReachesStandardOutput) {
    ASSERT_TRUE(write_file(ftp_user_dir() + "/quiet.bin", "12345"));
    http_url("/");  // servers up before stdout is taken away
    StdoutCapture out;
    EXPECT_EQ(0, put(nullptr, make_param(http_url("/echo")), local.c_str()));
    durl_url_param raw = make_param(https_url("/echo/raw.bin"));
    raw.raw_upload = 1;
    EXPECT_EQ(0, put(nullptr, raw, local.c_str()));
    durl_url_param append = make_param(ftp_url("/quiet.bin"));
    append.ftp_append = 1;
    EXPECT_EQ(0, put(nullptr, append, local.c_str()));
    EXPECT_EQ("", out.text());
}

// Fault guarded: a write failure with max_size set was taken for the sink's cut and
// reported as a partial success, leaving a truncated file under the target name.
TEST_F(Upload, DiskFailureIsNotAPartialSuccess) {
    http_url("/");
    const std::string target = dir + "/big.bin";
    ASSERT_TRUE(write_file(target, "good copy"));
    struct Row {
        int body, max_size;
    } rows[] = {{600000, 500000}, {200000, 0}};  // fails in a write / in the final flush
    for (const Row &row : rows) {
        SCOPED_TRACE(row.body);
        durl_url_param p = make_param(http_url("/bytes/" + std::to_string(row.body)));
        p.max_size = row.max_size;
        Handle h;
        ASSERT_EQ(0, durl_set_option(h, DURL_OPT_MAX_FILESIZE, 1000000));
        int rc;
        {
            FileSizeLimit limit(100000);
            rc = fetch_file(h, p, target).rc;
        }
        EXPECT_EQ(-123, rc);
        EXPECT_EQ("good copy", read_file(target));
        EXPECT_EQ((std::vector<std::string>{"big.bin", "log.txt"}), list_dir(dir));
    }
}
