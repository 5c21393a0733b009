// Allocation-failure torture for alloc_torture_test (its own binary: the failing allocators
// in alloc_torture.cpp replace those of the whole process). torture() runs a call again and
// again, the Nth allocation failing in run N, for N = 1, 2, ... until the call makes fewer
// than N allocations; after each run the scenario's check looks at what the call left.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include <openssl/x509.h>

#include "cert_factory.h"
#include "dl_ca.h"
#include "durl.h"
#include "servers.h"
#include "test_files.h"
#include "transfer_util.h"

namespace durl_test {

// One call (or short sequence of calls) under torture.
struct Scenario {
    const char *name;
    std::function<void()> prepare;                // before each run, allocations not failed
    std::function<int()> run;                     // the calls; the Nth allocation fails
    std::function<void(int rc, bool hit)> check;  // after each run; hit: the fault fired
    int success = 0;                              // what run() gives when nothing fails
    long period = 0;  // memory stays short from the Nth allocation on: every period-th fails
};

struct Tally {
    long points = 0, visited = 0, skipped = 0, failures = 0, successes = 0;
    // By whose allocator: operator new, malloc, libcurl, OpenSSL.
    long by_source[4] = {};
    long failed_by_source[4] = {};
};

// Runs the scenario once per failure point; a failed check stops at its point. Afterwards
// nothing may have leaked (the sanitizer build checks the heap) and no descriptor be left open.
Tally torture(const Scenario &s);

// Inside a run: the test's own work (reading a file to check it) while alive, not counted.
struct Paused {
    Paused();
    ~Paused();
};

// The content of path is its old content or (after a success) what success must leave.
void expect_whole(const std::string &path, const std::string &old, bool succeeded,
                  const std::function<bool(const std::string &)> &complete);
bool is_pem(const std::string &text, const char *label);  // holds a whole block of the label

// durl_init with a log hook that allocates nothing.
int init_quietly();

// A download to memory (path null) or to path; verify: the peer checked against pki().
int run_download(const std::string &url, const char *path, bool verify);

// Hands the failing allocators to libcurl once, then a fresh library state and scratch
// directory per test (trust store and device certificate inside it).
class AllocTorture : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // A small self-signed CA (RSA 1024: every run repeats its signatures), i in 0..2.
    static X509 *small_ca(int i);
    static EVP_PKEY *small_ca_key(int i);

    std::string dir;
};

}  // namespace durl_test
