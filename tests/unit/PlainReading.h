// A plain, obviously correct reading of the product files, for checking the
// status log scan against: every text of every component searched in every line.
#ifndef ORVEX_TESTS_PLAIN_READING_H
#define ORVEX_TESTS_PLAIN_READING_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "StatusChecker.h"

namespace orvex::plain {

// One line of a product file as the line rules read it.
struct Line {
    std::string text;
    bool cut = false;   // longer than 255 characters, a carriage return before its line feed not counted
    bool zero = false;  // a byte 0 within its first 255 characters ended its text
};

// The lines of a product file: cut at Ctrl-Z, split at line feeds, a carriage
// return before a line feed dropped, each line ended at a byte 0 and after 255 characters.
inline std::vector<Line> ReadLines(std::string file) {
    file.resize(std::min(file.size(), file.find('\x1A')));
    std::vector<Line> lines;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t feed = file.find('\n', begin);
        Line line;
        line.text = file.substr(begin, feed == std::string::npos ? std::string::npos : feed - begin);
        if (feed != std::string::npos && !line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
        }
        line.cut = line.text.size() > 255;
        line.text.resize(std::min(line.text.size(), std::size_t{255}));
        line.zero = line.text.find('\0') != std::string::npos;
        line.text.resize(std::min(line.text.size(), line.text.find('\0')));
        lines.push_back(line);
        if (feed == std::string::npos) {
            return lines;
        }
        begin = feed + 1;
    }
}

// The texts of the lines of a product file.
inline std::vector<std::string> Lines(const std::string& file) {
    std::vector<std::string> texts;
    for (Line& line : ReadLines(file)) {
        texts.push_back(std::move(line.text));
    }
    return texts;
}

// The file with filler bytes put before each line, so that the last byte of
// the line's text lies, in turn, just before, on and just after a 64-byte
// boundary of the read buffer, the line crossing it.
inline std::string AlignLineEnds(const std::string& file, char filler) {
    std::string aligned;
    std::size_t begin = 0;
    for (std::size_t n = 0; begin <= file.size(); ++n) {
        std::size_t end = std::min(file.find('\n', begin), file.size());
        std::size_t text = end - begin;
        if (end < file.size() && text > 0 && file[end - 1] == '\r') {
            --text;
        }
        const std::size_t last = aligned.size() + text + 63;  // its last byte, plus 64
        const std::size_t target = 63 + n % 3;
        aligned.append((target - 1 + 64 - last % 64) % 64 + 1, filler);
        aligned.append(file, begin, end + 1 - begin);
        begin = end + 1;
    }
    return aligned;
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
