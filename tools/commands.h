// The durl subcommands. Each lives in its own cmd_*.cpp and is listed in main.cpp.
#pragma once

#include "cli.h"

extern const cli::Command kDumpCommand;
// Transfer commands (cmd_transfer.cpp): get, put, stream.
extern const cli::Command kGetCommand;
extern const cli::Command kPutCommand;
// Certificate commands (cmd_ca.cpp, cmd_cert.cpp): ca, dev, cert, verify, issue, csr.
extern const cli::Command kCaCommand;
extern const cli::Command kDevCommand;
extern const cli::Command kCertCommand;
extern const cli::Command kVerifyCommand;
extern const cli::Command kIssueCommand;
extern const cli::Command kCsrCommand;
