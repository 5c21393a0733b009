// Option parsing and the library start-up shared by every durl subcommand.
#include "cli.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "durl.h"

namespace cli {

const Option kVerbose = {"verbose", 'v', nullptr, "print the library's log on standard error"};
const Option kSilent = {"silent", 's', nullptr, "no log and no progress meter"};

namespace {

const Option *find_long(const Command &cmd, const std::string &name) {
    for (const Option &o : cmd.options)
        if (name == o.long_name) return &o;
    if (name == kVerbose.long_name) return &kVerbose;
    if (name == kSilent.long_name) return &kSilent;
    return nullptr;
}

const Option *find_short(const Command &cmd, char c) {
    for (const Option &o : cmd.options)
        if (o.short_name == c) return &o;
    if (c == kVerbose.short_name) return &kVerbose;
    if (c == kSilent.short_name) return &kSilent;
    return nullptr;
}

bool g_verbose = false;

int log_to_stderr(void *, int level, const char *format, ...) {
    if (!g_verbose) return 0;
    std::fprintf(stderr, "<%d>", level);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    return 0;
}

}  // namespace

bool Parsed::has(const char *long_name) const {
    for (const auto &g : given)
        if (g.first == long_name) return true;
    return false;
}

std::string Parsed::get(const char *long_name, const std::string &fallback) const {
    std::string value = fallback;
    for (const auto &g : given)
        if (g.first == long_name) value = g.second;
    return value;
}

std::vector<std::string> Parsed::all(const char *long_name) const {
    std::vector<std::string> values;
    for (const auto &g : given)
        if (g.first == long_name) values.push_back(g.second);
    return values;
}

bool Parsed::get_int(const char *long_name, long &out) const {
    if (!has(long_name)) return true;
    std::string text = get(long_name);
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE) {
        std::fprintf(stderr, "durl: --%s needs a number, got '%s'\n", long_name, text.c_str());
        return false;
    }
    out = v;
    return true;
}

void print_help(const Command &cmd) {
    std::printf("usage: durl %s %s\n%s\n\noptions:\n", cmd.name, cmd.usage, cmd.summary);
    auto show = [](const Option &o) {
        std::string left = o.short_name ? std::string("-") + o.short_name + ", " : "    ";
        left += std::string("--") + o.long_name;
        if (o.value_name) left += std::string(" ") + o.value_name;
        std::printf("  %-32s %s\n", left.c_str(), o.help);
    };
    for (const Option &o : cmd.options) show(o);
    show(kVerbose);
    show(kSilent);
    std::printf("  %-32s %s\n", "-h, --help", "show this help");
}

int fail(const Command &cmd, const std::string &message) {
    std::fprintf(stderr, "durl %s: %s\n", cmd.name, message.c_str());
    return 1;
}

bool parse(const Command &cmd, int argc, char **argv, Parsed &out, bool &help_shown) {
    help_shown = false;
    bool only_positional = false;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (only_positional || arg.size() < 2 || arg[0] != '-') {
            out.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_positional = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            print_help(cmd);
            help_shown = true;
            return true;
        }
        const Option *opt = nullptr;
        std::string value;
        bool inline_value = false;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inline_value = true;
            }
            opt = find_long(cmd, name);
        } else if (arg.size() == 2) {
            opt = find_short(cmd, arg[1]);
        }
        if (!opt) {
            fail(cmd, "unknown option " + arg + " (see --help)");
            return false;
        }
        if (opt->value_name && !inline_value) {
            if (i + 1 >= argc) {
                fail(cmd, std::string("option --") + opt->long_name + " needs a value");
                return false;
            }
            value = argv[++i];
        }
        out.given.emplace_back(opt->long_name, value);
    }
    if (out.positional.size() < cmd.min_positional || out.positional.size() > cmd.max_positional) {
        fail(cmd, std::string("usage: durl ") + cmd.name + " " + cmd.usage);
        return false;
    }
    g_verbose = out.has(kVerbose.long_name) && !out.has(kSilent.long_name);
    return true;
}

bool start_library(const Command &cmd, const Parsed &) {
    static int context_word;
    if (durl_init(&context_word, log_to_stderr) != 0) {
        fail(cmd, "the library could not be initialised");
        return false;
    }
    durl_set_option(nullptr, DURL_OPT_LOG_LEVEL, g_verbose ? DURL_LOG_DEBUG : 0);
    return true;
}

void stop_library() { durl_cleanup(); }

bool set_text_option(const Command &cmd, int option, const char *flag, const std::string &value) {
    if (durl_set_option(nullptr, option, value.c_str()) == 0) return true;
    fail(cmd, std::string("--") + flag +
                  " was refused: empty, too long for its field, or holding a line break");
    return false;
}

}  // namespace cli
