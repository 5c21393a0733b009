// Command-line parsing shared by the durl subcommands: each subcommand declares its
// options in a table, so --help text and parsing never drift apart.
#pragma once

#include <string>
#include <vector>

namespace cli {

struct Option {
    const char *long_name;   // "output" for --output
    char short_name;         // 'o' for -o, 0 when none
    const char *value_name;  // nullptr for a flag, else the placeholder shown in help
    const char *help;
};

struct Command;

struct Parsed {
    std::vector<std::string> positional;
    // Every option occurrence in order: (long name, value or "" for flags).
    std::vector<std::pair<std::string, std::string>> given;

    bool has(const char *long_name) const;
    // Last value given for the option, or fallback.
    std::string get(const char *long_name, const std::string &fallback = "") const;
    std::vector<std::string> all(const char *long_name) const;
    // Integer value; false (and an error printed) when not a number.
    bool get_int(const char *long_name, long &out) const;
};

struct Command {
    const char *name;     // "get"
    const char *usage;    // "URL [-o FILE]"
    const char *summary;  // one line
    std::vector<Option> options;
    int (*run)(const Command &self, const Parsed &args);
    size_t min_positional;
    size_t max_positional;
};

// Parse argv (after the subcommand name). Returns false and prints a one-line error on
// bad input; prints help and sets help_shown on --help/-h.
bool parse(const Command &cmd, int argc, char **argv, Parsed &out, bool &help_shown);
void print_help(const Command &cmd);

// One-line error on stderr, prefixed "durl <cmd>: ", returns the exit status 1.
int fail(const Command &cmd, const std::string &message);

// Options every subcommand understands: -v/--verbose (library log on stderr, every level)
// and -s/--silent (no log and no progress meter). They set the library's log level: lines
// nobody reads are never formatted.
extern const Option kVerbose;
extern const Option kSilent;

// Library start-up for a subcommand: durl_init with a hook that prints to stderr when
// verbose is on. Returns false (error printed) when the library can't start.
bool start_library(const Command &cmd, const Parsed &args);
void stop_library();

// Applies a text option to the default handle. The library's own table decides what fits
// (field size, no line break in texts that go on the wire); false (error printed, naming
// --flag) when it refuses the value.
bool set_text_option(const Command &cmd, int option, const char *flag, const std::string &value);

// Progress of the transfer the command runs (progress.cpp): installs the library's progress
// callback, which stops the transfer after SIGINT (a second SIGINT ends the process) and,
// with meter, draws a meter line on standard error. end_progress() finishes the line and
// says whether SIGINT stopped the transfer.
void start_progress(bool meter);
bool end_progress();
// The meter is wanted: standard error is a terminal and -s was not given.
bool meter_wanted(const Parsed &args);

}  // namespace cli
