#include "test_files.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "body_pattern.h"

namespace fs = std::filesystem;

namespace durl_test {

const std::string &temp_root() {
    // Only the process that made the root removes it: a forked child that exits must not pull
    // the directory out from under its parent.
    static struct TempRoot {
        std::string path;
        pid_t owner = 0;
        ~TempRoot() {
            std::error_code ec;
            if (!path.empty() && getpid() == owner) fs::remove_all(path, ec);
        }
    } root;
    static std::once_flag once;
    std::call_once(once, [] {
        char tmpl[] = "/tmp/durl-test-XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("durl tests: mkdtemp");
            std::abort();
        }
        // Servers that drop their privileges must still reach their roots.
        fs::permissions(tmpl, fs::perms(0755));
        root.path = tmpl;
        root.owner = getpid();
    });
    return root.path;
}

std::string scratch_dir(const std::string &prefix) {
    static std::atomic<int> counter{0};
    std::string dir = temp_root() + "/" + prefix + "-" + std::to_string(++counter);
    fs::create_directory(dir);
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
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string file_md5_hex(const std::string &path) {
    std::string data = read_file(path);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_md5(), nullptr);
    return to_hex(md, len);
}

std::vector<std::string> dir_names(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

bool sparse_file(const std::string &path, uint64_t size) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (!write_file(path, "")) return false;
    std::filesystem::resize_file(path, size, ec);
    return !ec;
}

uint64_t file_size(const std::string &path) {
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

}  // namespace durl_test
