// orvexcheck's command line:
//   orvexcheck [--format text|json|plugin|prometheus] [--json] [--output FILE]
//              [--refresh [--timeout SECONDS]] [INSTALL_DIR]
#ifndef ORVEX_CHECK_COMMAND_LINE_H
#define ORVEX_CHECK_COMMAND_LINE_H

#include <string>
#include <vector>

#include "Refresh.h"

namespace orvex::check {

enum class Format { text, json, plugin, prometheus };

struct Options {
    bool help = false;
    Format format = Format::text;
    std::string output;  // empty: standard output
    bool refresh = false;
    unsigned timeoutSeconds = kDefaultRefreshTimeoutS;  // --timeout, for --refresh
    bool named = false;  // an install directory was given
    std::string installDir;
};

// The options in arguments (argv without argv[0]); "" where they are valid,
// otherwise the problem. --help ends the reading. Natively --refresh is a
// problem: it needs Windows.
std::string ParseCommandLine(const std::vector<std::string>& arguments, Options& options);

// Whether the arguments ask for --format plugin, read before anything else so
// that even a usage error ends as that format's UNKNOWN.
bool AsksForPlugin(const std::vector<std::string>& arguments);

}  // namespace orvex::check

#endif
