// Scratch files for tests: one private temporary root per test binary, removed at exit, plus
// small whole-file helpers and the MD5 that the test servers report for bodies.
#pragma once

#include <cstdint>
#include <string>

namespace durl_test {

// "/tmp/durl-test-XXXXXX", made on first call (mode 0755) and removed with everything in it
// when the process that made it exits normally. Parallel test binaries never share one.
const std::string &temp_root();

// A new empty directory under temp_root(), named "<prefix>-N".
std::string scratch_dir(const std::string &prefix = "scratch");

// Whole-file helpers; write_file creates or truncates and returns false on failure.
bool write_file(const std::string &path, const std::string &data);
std::string read_file(const std::string &path);  // empty when missing
bool file_exists(const std::string &path);
int64_t file_size(const std::string &path);  // -1 when missing

// Lower-case hex MD5, as the HTTP test server reports "body_md5" and "part_md5".
std::string md5_hex(const std::string &data);
std::string file_md5_hex(const std::string &path);

// Removes a directory tree (no symlink is followed). Returns false when something remained.
bool remove_tree(const std::string &path);

}  // namespace durl_test
