// The host's startup verdict on an installation's two files, and why: read
// with the host's own definitions reader and status-log scan, so the verdict
// is always the one the host would reach on the same files. The reports
// (TextReport.h, JsonReport.h) render this one gathering.
#ifndef ORVEX_CHECK_EXPLANATION_H
#define ORVEX_CHECK_EXPLANATION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ComponentMatcher.h"
#include "StatusChecker.h"

namespace orvex::check {

// The first log line that holds the most of a component's texts.
struct NearestLine {
    std::uint64_t number = 0;  // 0 where no log line holds any of its texts
    unsigned held = 0;         // bit k set: text k + 1 occurs in the line
    std::string text;          // the line as the scan read it
    bool cut = false;          // the line was longer than 255 characters
    // Where the line holds all three texts: the component it marked instead.
    std::size_t markedInstead = ComponentMatcher::noComponent;
};

struct ComponentReport {
    std::uint64_t definitionLine = 0;
    std::string key;            // before the first "=", white space at either end dropped
    ComponentRule rule;         // the texts as the host reads them, and found
    std::uint64_t foundAt = 0;  // the log line that marked it
    NearestLine nearest;        // for a component not found
    // Where the nearest line lacks the first text: the first line that holds it.
    std::uint64_t nameLine = 0;
    std::string nameLineText;
};

enum class File { definitions, statusLog };

struct Warning {
    File file = File::definitions;
    std::uint64_t line = 0;
    std::string text;
};

// Lines that the line rules changed: how many, and the number of the first.
struct LineTally {
    std::uint64_t count = 0;
    std::uint64_t first = 0;
};

// What the line rules did to the status log.
struct LogAnomalies {
    LineTally cut;                // lines longer than 255 characters
    LineTally nul;                // lines whose text a NUL byte ended
    std::uint64_t ctrlZLine = 0;  // the line in which a Ctrl-Z ended the log, or 0
};

struct Explanation {
    std::vector<ComponentReport> components;  // in file order
    std::vector<Warning> warnings;            // definitions first, each file in line order
    std::uint64_t logLines = 0;
    LogAnomalies logAnomalies;
    // As StatusChecker::Check decides: confirmed when every component was
    // found, otherwise the first texts of the others, in file order.
    bool confirmed = true;
    std::vector<std::string> failed;
};

// Reads both files once. Throws OpeningFailure(path) or ReadingFailure(path)
// where the host would.
Explanation Explain(const std::string& propertiesPath, const std::string& logPath);

// The text between double quotes, white space at either end and control
// characters anywhere shown as <SP>, <TAB>, <CR>, <LF>, <VT>, <FF> or <0xNN>.
std::string Visible(const std::string& text);

// The texts of a component not found that its nearest line lacks, each once,
// in the order of the definition.
std::vector<const std::string*> LackingTexts(const ComponentReport& report);

}  // namespace orvex::check

#endif
