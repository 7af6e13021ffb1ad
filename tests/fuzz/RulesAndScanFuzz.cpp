// libFuzzer target: the input up to its first 0xFF byte is a component
// definitions file, the rest a status log. The rule table and the scan are
// checked against a simple reference reading of both files, once as the log
// is and once with its lines moved to end around 64-byte boundaries; and
// orvexcheck's explanation and its JSON document against the same.
#include "Explanation.h"
#include "JsonReport.h"
#include "StatusChecker.h"
#include "StartupVerification.h"
#include "../unit/JsonAgreement.h"
#include "../unit/PlainReading.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Rule {
    std::string text1;
    std::string text2;
    std::string text3;
};

bool operator==(const Rule& a, const Rule& b) {
    return a.text1 == b.text1 && a.text2 == b.text2 && a.text3 == b.text3;
}

const char* const whiteSpace = " \t\n\v\f\r";

std::string LeftTrimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(whiteSpace);
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::vector<Rule> ReferenceRules(const std::string& file) {
    std::vector<Rule> rules;
    for (const std::string& line : orvex::plain::Lines(file)) {
        const std::string text = LeftTrimmed(line);
        if (text.empty() || text[0] == '#' || text[0] == '!' || text.find('=') == std::string::npos) {
            continue;
        }
        std::vector<std::string> tokens;
        std::string token;
        for (const char c : LeftTrimmed(text.substr(text.find('=') + 1)) + ",") {
            if (c != ',') {
                token += c;
            } else if (!token.empty()) {
                tokens.push_back(token);
                token.clear();
            }
        }
        tokens.resize(3);
        const Rule rule{tokens[0], LeftTrimmed(tokens[1]), LeftTrimmed(tokens[2])};
        if (!rule.text1.empty() && !rule.text2.empty() && !rule.text3.empty()) {
            rules.push_back(rule);
        }
    }
    return rules;
}

void Require(bool condition, const char* what) {
    if (!condition) {
        (void)std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

struct Paths {
    std::string rules;
    std::string log;
};

// Files of this process only, so that parallel fuzzing jobs do not meet.
// Never destroyed: the exit handler that removes the files still needs them.
const Paths& TempPaths() {
    static const Paths* const paths = [] {
        std::random_device seed;
        const auto stem = std::filesystem::temp_directory_path() /
                          ("orvex-fuzz-" + std::to_string(seed()) + "-" + std::to_string(seed()));
        return new Paths{stem.string() + ".properties", stem.string() + ".log"};
    }();
    return *paths;
}

void RemoveFiles() {
    std::error_code ignored;
    std::filesystem::remove(TempPaths().rules, ignored);
    std::filesystem::remove(TempPaths().log, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);  // a new file: rewriting a truncated one may wait for the disk
    std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A byte that no rule text holds and that the line rules treat as any other,
// for moving lines; 0 where every such byte is taken.
char Filler(const std::vector<Rule>& rules) {
    for (int k = 0; k < 256; ++k) {
        const auto c = static_cast<char>(('.' + k) & 0xFF);
        const bool special = c == '\n' || c == '\r' || c == '\0' || c == '\x1A';
        const bool used = std::any_of(rules.begin(), rules.end(), [c](const Rule& rule) {
            return (rule.text1 + rule.text2 + rule.text3).find(c) != std::string::npos;
        });
        if (!special && !used) {
            return c;
        }
    }
    return '\0';
}

// The scan of the log against the plain one: found flags and status text.
void CheckScan(const std::string& rulesPath, const std::vector<Rule>& loaded, const std::string& log,
               const std::string& logPath) {
    WriteFile(logPath, log);
    std::vector<orvex::ComponentRule> rules = orvex::LoadComponentRules(rulesPath);
    orvex::StatusTail tail;
    orvex::ScanStatusLog(logPath, rules, tail);
    const orvex::plain::Scan plain = orvex::plain::ScanLog(loaded, log, logPath);
    for (std::size_t i = 0; i < rules.size(); ++i) {
        Require(rules[i].found == plain.found[i], "found flag differs from the plain scan of the moved lines");
    }
}

// orvexcheck's explanation: its verdict, log lines and what the line rules did
// agree with the plain reading, and its JSON document with the explanation.
void CheckExplanation(const Paths& paths, const std::string& log, const std::vector<bool>& found) {
    const orvex::check::Explanation explanation = orvex::check::Explain(paths.rules, paths.log);
    Require(explanation.components.size() == found.size(), "explained components differ from the rule table");
    for (std::size_t i = 0; i < found.size(); ++i) {
        Require(explanation.components[i].rule.found == found[i], "explained found flag differs");
    }
    const std::vector<orvex::plain::Line> lines = orvex::plain::ReadLines(log);
    Require(explanation.logLines == lines.size(), "explained line count differs");
    orvex::check::LogAnomalies expected;
    for (std::uint64_t n = 1; n <= lines.size(); ++n) {
        if (lines[n - 1].cut) {
            expected.cut.first = expected.cut.count++ == 0 ? n : expected.cut.first;
        }
        if (lines[n - 1].zero) {
            expected.nul.first = expected.nul.count++ == 0 ? n : expected.nul.first;
        }
    }
    const orvex::check::LogAnomalies& anomalies = explanation.logAnomalies;
    Require(anomalies.cut.count == expected.cut.count && anomalies.cut.first == expected.cut.first,
            "cut lines differ from the plain reading");
    Require(anomalies.nul.count == expected.nul.count && anomalies.nul.first == expected.nul.first,
            "lines with a NUL byte differ from the plain reading");
    Require(anomalies.ctrlZLine == (log.find('\x1A') != std::string::npos ? lines.size() : 0),
            "Ctrl-Z line differs from the plain reading");
    const orvex::check::Checked checked{"", paths.rules, paths.log};
    const std::string document = orvex::check::RenderJson(explanation, checked);
    Require(orvex::check::test::JsonDisagreement(document, explanation, checked).empty(),
            "JSON document differs from the explanation");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    TempPaths();
    return std::atexit(RemoveFiles);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\xFF');
    const std::string definitions = input.substr(0, split);
    const std::string log = split == std::string::npos ? std::string() : input.substr(split + 1);
    const Paths& paths = TempPaths();
    WriteFile(paths.rules, definitions);
    WriteFile(paths.log, log);

    orvex::StatusChecker checker(paths.rules, paths.log);
    std::vector<Rule> loaded;
    for (const auto& rule : checker.GetComponents()) {
        Require(!rule.text1.empty() && !rule.text2.empty() && !rule.text3.empty(), "rule with an empty text");
        const std::string all = rule.text1 + rule.text2 + rule.text3;
        Require(all.find(',') == std::string::npos, "rule text with a comma");
        const bool lineEnd = all.find('\n') != std::string::npos || all.find('\0') != std::string::npos ||
                             all.find('\x1A') != std::string::npos;
        Require(!lineEnd, "rule text with a line feed, byte 0 or Ctrl-Z");
        Require(!rule.found, "rule read as found");
        loaded.push_back({rule.text1, rule.text2, rule.text3});
    }
    Require(loaded == ReferenceRules(definitions), "rule table differs from the reference reading");

    const bool verdict = checker.Check();
    const auto& components = checker.GetComponents();

    const orvex::plain::Scan plain = orvex::plain::ScanLog(loaded, log, paths.log);
    Require(checker.GetStatusText() == plain.statusText, "status text differs from header and log lines");

    // The same scan under a bound that inputs of this size reach.
    const std::size_t limit = 256 + size % 512;
    std::vector<orvex::ComponentRule> rules = orvex::LoadComponentRules(paths.rules);
    orvex::StatusTail tail(limit);
    orvex::ScanStatusLog(paths.log, rules, tail);
    std::string bounded = orvex::statusTextHeader;
    orvex::AppendStatusLines(tail, paths.log, bounded);
    Require(bounded == orvex::plain::ScanLog(loaded, log, paths.log, limit).statusText,
            "bounded status text differs from the last lines that fit");

    std::vector<std::string> failed;
    for (std::size_t i = 0; i < components.size(); ++i) {
        Require(components[i].found == plain.found[i], "found flag differs from the plain scan");
        if (!components[i].found) {
            failed.push_back(components[i].text1);
        }
    }
    Require(checker.GetFailedComponents() == failed, "failed list is not the unfound components in table order");
    Require(verdict == failed.empty(), "verdict differs from the failed list");

    CheckExplanation(paths, log, plain.found);

    // The same lines, each ending just before, on or just after a 64-byte
    // boundary of the read buffer.
    const char filler = Filler(loaded);
    if (filler != '\0') {
        CheckScan(paths.rules, loaded, orvex::plain::AlignLineEnds(log, filler), paths.log);
    }
    return 0;
}
