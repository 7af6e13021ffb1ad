// Startup verification without Win32: the component definitions reader and the
// status log scan that decide whether every component of the product came up.
#ifndef ORVEX_STATUS_CHECKER_H
#define ORVEX_STATUS_CHECKER_H

#include <cstddef>
#include <string>
#include <vector>

namespace orvex {

// First line of every status text, followed by the lines of the status log.
inline constexpr const char* statusTextHeader = "ORVEX STATUS:\n\n";

// Longest line of either product file; the rest of a longer line is ignored.
inline constexpr std::size_t maxLineLength = 255;

// One component: the three texts that must occur together in one log line.
// text1 also names the component when it is reported as failed.
struct ComponentRule {
    std::string text1;
    std::string text2;
    std::string text3;
    bool found = false;
};

// Reads the component definitions file. Throws std::ios_base::failure whose
// what() is exactly "Failure while opening file: " + path when it cannot be
// opened, or "Failure while reading file: " + path when a read fails.
std::vector<ComponentRule> LoadComponentRules(const std::string& path);

// The part of text from start on, less the white space that begins there.
std::string SkipLeadingSpace(const std::string& text, std::size_t start);

// One step of the comma tokenizer over value: skips the commas at position and
// returns the text up to the next comma or the end ("" when nothing is left).
// position is left at the end of the returned token for the next call.
std::string NextToken(const std::string& value, std::size_t& position);

// Holds the rule table and the result of one scan of the status log.
class StatusChecker {
public:
    // Reads the definitions file; its opening failure propagates.
    StatusChecker(const std::string& propertiesPath, const std::string& logPath);

    // Scans the log once; true when every component was found. Throws
    // std::ios_base::failure ("Failure while opening file: " + logPath, or
    // "Failure while reading file: " + logPath) when the log cannot be opened
    // or read to its end, leaving the checker as it was.
    bool Check();

    // A copy of the status text; a checker that is done with hands its own text
    // over instead, so that a long log is never held twice.
    std::string GetStatusText() const&;
    std::string GetStatusText() &&;

    // Scans first when Check has not yet run to its end.
    std::vector<std::string> GetFailedComponents();

    const std::vector<ComponentRule>& GetComponents() const;

private:
    std::vector<ComponentRule> components;
    std::vector<std::string> failedComponents;
    std::string logPath;
    std::string statusText;
    bool scanned = false;
};

}  // namespace orvex

#endif
