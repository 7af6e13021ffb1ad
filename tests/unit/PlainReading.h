// A plain, obviously correct reading of the product files, for checking the
// status log scan against: every text of every component searched in every line.
#ifndef ORVEX_TESTS_PLAIN_READING_H
#define ORVEX_TESTS_PLAIN_READING_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "StatusChecker.h"

namespace orvex::plain {

// The lines of a product file: cut at Ctrl-Z, split at line feeds, a carriage
// return before a line feed dropped, each line ended at a byte 0 and after 255 characters.
inline std::vector<std::string> Lines(std::string file) {
    file.resize(std::min(file.size(), file.find('\x1A')));
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t feed = file.find('\n', begin);
        std::string line = file.substr(begin, feed == std::string::npos ? std::string::npos : feed - begin);
        if (feed != std::string::npos && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        line.resize(std::min({line.size(), line.find('\0'), std::size_t{255}}));
        lines.push_back(line);
        if (feed == std::string::npos) {
            return lines;
        }
        begin = feed + 1;
    }
}

// The status text of a log of these lines: the header, then every line with
// its line feed; or, where they exceed limit characters, a note of how many
// lines are left out, then the last lines that fit.
inline std::string StatusText(const std::vector<std::string>& lines, const std::string& path,
                              std::size_t limit = 262144) {
    std::size_t kept = 0;
    std::size_t size = 0;
    while (kept < lines.size() && size + lines[lines.size() - 1 - kept].size() + 1 <= limit) {
        size += lines[lines.size() - 1 - kept].size() + 1;
        ++kept;
    }
    std::string text = statusTextHeader;
    if (kept < lines.size()) {
        text += "(" + std::to_string(lines.size() - kept) + " earlier lines of " + path + " are not shown)\n";
    }
    for (std::size_t i = lines.size() - kept; i < lines.size(); ++i) {
        text += lines[i] + "\n";
    }
    return text;
}

struct Scan {
    std::vector<bool> found;
    std::string statusText;
};

// Each non-empty line marks the first component in table order, not yet found,
// whose three texts it holds. Rule is anything with text1, text2 and text3.
template <class Rule>
Scan ScanLog(const std::vector<Rule>& rules, const std::string& log, const std::string& path,
             std::size_t limit = 262144) {
    Scan scan;
    scan.found.assign(rules.size(), false);
    const std::vector<std::string> lines = Lines(log);
    for (const std::string& line : lines) {
        for (std::size_t i = 0; i < rules.size() && !line.empty(); ++i) {
            if (!scan.found[i] && line.find(rules[i].text1) != std::string::npos &&
                line.find(rules[i].text2) != std::string::npos && line.find(rules[i].text3) != std::string::npos) {
                scan.found[i] = true;
                break;
            }
        }
    }
    scan.statusText = StatusText(lines, path, limit);
    return scan;
}

}  // namespace orvex::plain

#endif
