#include "CommandLine.h"

#include <cstddef>
#include <utility>

#include "Pieces.h"

namespace orvex::check {
namespace {

bool FormatNamed(const std::string& name, Format& format) {
    const std::pair<const char*, Format> formats[] = {
        {"text", Format::text}, {"json", Format::json}, {"plugin", Format::plugin}, {"prometheus", Format::prometheus}};
    for (const auto& [known, value] : formats) {
        if (name == known) {
            format = value;
            return true;
        }
    }
    return false;
}

// Decimal digits alone, within the bounds of a refresh.
bool TimeoutNamed(const std::string& text, unsigned& seconds) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    seconds = static_cast<unsigned>(std::stoul(text));
    return seconds >= kMinRefreshTimeoutS && seconds <= kMaxRefreshTimeoutS;
}

}  // namespace

bool AsksForPlugin(const std::vector<std::string>& arguments) {
    for (std::size_t k = 0; k + 1 < arguments.size(); ++k) {
        if (arguments[k] == "--format" && arguments[k + 1] == "plugin") {
            return true;
        }
    }
    return false;
}

std::string ParseCommandLine(const std::vector<std::string>& arguments, Options& options) {
    options = Options{};
    bool formatGiven = false;
    bool timeoutGiven = false;
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        const std::string& argument = arguments[k];
        const bool hasValue = k + 1 < arguments.size();
        if (argument == "-h" || argument == "--help") {
            options.help = true;
            return "";
        }
        if (argument == "--json" || argument == "--format") {
            if (formatGiven) {
                return "one format only";
            }
            formatGiven = true;
            if (argument == "--json") {
                options.format = Format::json;
            } else if (!hasValue || !FormatNamed(arguments[++k], options.format)) {
                return "--format takes text, json, plugin or prometheus";
            }
        } else if (argument == "--output") {
            if (!options.output.empty() || !hasValue || arguments[k + 1].empty()) {
                return "--output takes one file name";
            }
            options.output = arguments[++k];
        } else if (argument == "--refresh") {
#ifndef _WIN32
            return "--refresh needs Windows: it runs the product's status script as the service does";
#else
            if (options.refresh) {
                return "--refresh once only";
            }
            options.refresh = true;
#endif
        } else if (argument == "--timeout") {
            if (timeoutGiven || !hasValue || !TimeoutNamed(arguments[++k], options.timeoutSeconds)) {
                return Cat({"--timeout takes one number of seconds from ", std::to_string(kMinRefreshTimeoutS), " to ",
                            std::to_string(kMaxRefreshTimeoutS)});
            }
            timeoutGiven = true;
        } else if (argument.empty()) {
            return "an empty argument";
        } else if (options.named) {
            return "one install directory only";
        } else if (argument[0] == '-') {
            return "unknown option " + argument;
        } else {
            options.installDir = argument;
            options.named = true;
        }
    }
    if (timeoutGiven && !options.refresh) {
        return "--timeout is for --refresh";
    }
    return "";
}

}  // namespace orvex::check
