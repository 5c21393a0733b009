// Scratch files for tests: one private temporary root per test binary, removed at exit, and
// small whole-file helpers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace durl_test {

// "/tmp/durl-test-XXXXXX", made on first call (mode 0755) and removed with everything in it
// when the process that made it exits normally. Parallel test binaries never share one.
const std::string &temp_root();
// A new empty directory under temp_root(), named "<prefix>-N".
std::string scratch_dir(const std::string &prefix = "scratch");

bool write_file(const std::string &path, const std::string &data);  // create or truncate
std::string read_file(const std::string &path);                     // empty when missing
bool file_exists(const std::string &path);
// Lower-case hex MD5 of the file, as the HTTP test server reports "body_md5" and "part_md5".
std::string file_md5_hex(const std::string &path);
// A sparse file of the given size: no blocks are written, so 4 GiB cost nothing. Sizes go
// through std::filesystem, 64-bit whatever the processor.
bool sparse_file(const std::string &path, uint64_t size);
uint64_t file_size(const std::string &path);  // 0 when missing

// Names in a directory (without "." and ".."), sorted.
std::vector<std::string> dir_names(const std::string &dir);

}  // namespace durl_test
