// orvexcheck's report for scripts: one JSON document with everything the text
// report shows, as data. Member names are stable; members may be added, never
// renamed or removed, so a reader ignores the ones it does not know.
#ifndef ORVEX_CHECK_JSON_REPORT_H
#define ORVEX_CHECK_JSON_REPORT_H

#include <string>

#include "Explanation.h"
#include "Probe.h"

namespace orvex::check {

// What the document says of where it looked: the tool's version, the
// installation and its two files (empty where not known).
struct Checked {
    std::string installDir;
    std::string properties;
    std::string statusLog;
};

// The verdict and its explanation, with the log's age and the refresh.
std::string RenderJson(const Explanation& explanation, const Checked& checked, const ProbeFacts& facts = {});

// A document for a check that reached no verdict: where it looked, and the
// error, as the host words it ("Failure while opening file: " + path, ...).
// The verdict is null, or "unknown" where a refresh gave none.
std::string RenderJsonError(const Checked& checked, const std::string& error, const ProbeFacts& facts = {});

}  // namespace orvex::check

#endif
