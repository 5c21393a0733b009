#include "test_files.h"

#include <ftw.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>

#include "hex.h"

namespace durl_test {

namespace {

// Owns the temporary root. Only the process that made it removes it: a forked child that
// exits must not pull the directory out from under its parent.
struct TempRoot {
    std::string path;
    pid_t owner = 0;
    ~TempRoot() {
        if (!path.empty() && getpid() == owner) remove_tree(path);
    }
};

TempRoot &root_holder() {
    static TempRoot root;
    return root;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
    ::remove(path);
    return 0;
}

}  // namespace

const std::string &temp_root() {
    static std::once_flag once;
    std::call_once(once, [] {
        char tmpl[] = "/tmp/durl-test-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("durl tests: mkdtemp");
            std::abort();
        }
        chmod(tmpl, 0755);  // servers dropping privileges must still reach their roots
        TempRoot &r = root_holder();
        r.path = tmpl;
        r.owner = getpid();
    });
    return root_holder().path;
}

std::string scratch_dir(const std::string &prefix) {
    static std::atomic<int> counter{0};
    std::string dir = temp_root() + "/" + prefix + "-" + std::to_string(++counter);
    mkdir(dir.c_str(), 0755);
    return dir;
}

bool write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int64_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

std::string md5_hex(const std::string &data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_md5(), nullptr);
    return to_hex(md, len);
}

std::string file_md5_hex(const std::string &path) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    std::ifstream in(path, std::ios::binary);
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(in.gcount()));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    return to_hex(md, len);
}

bool remove_tree(const std::string &path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return !file_exists(path);
}

}  // namespace durl_test
