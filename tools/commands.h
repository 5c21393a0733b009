// The durl subcommands. Each lives in its own cmd_*.cpp and is listed in main.cpp.
#pragma once

#include "cli.h"

extern const cli::Command kDumpCommand;
// Transfer commands (cmd_transfer.cpp): get, put, stream.
extern const cli::Command kGetCommand;
extern const cli::Command kPutCommand;
extern const cli::Command kStreamCommand;  // cmd_stream.cpp

// The request and handle flags of the transfer commands followed by a command's own, and
// the common run: library start, request from the flags, transfer, one-line report.
struct durl_url_param;
struct durl_result;
std::vector<cli::Option> transfer_options(const cli::Option *own, size_t own_count);
int run_transfer(const cli::Command &self, const cli::Parsed &args,
                 int (*transfer)(const durl_url_param &param, durl_result &result));
// Certificate commands (cmd_ca.cpp, cmd_cert.cpp): ca, dev, cert, verify, issue, csr.
extern const cli::Command kCaCommand;
extern const cli::Command kDevCommand;
extern const cli::Command kCertCommand;
extern const cli::Command kVerifyCommand;
extern const cli::Command kIssueCommand;
extern const cli::Command kCsrCommand;
