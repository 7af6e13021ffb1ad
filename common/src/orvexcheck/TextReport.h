// orvexcheck's report for a person.
#ifndef ORVEX_CHECK_TEXT_REPORT_H
#define ORVEX_CHECK_TEXT_REPORT_H

#include <string>

#include "Explanation.h"
#include "Probe.h"

namespace orvex::check {

// The report that orvexcheck prints: the components, the warnings and the verdict.
std::string RenderText(const Explanation& explanation, const std::string& propertiesPath, const std::string& logPath);

// The lines orvexcheck adds after it: the status log's age and what a refresh did.
std::string RenderProbeText(const ProbeFacts& facts);

// The report of a check that reached no verdict: what a refresh did, then the error.
std::string RenderTextFailure(const std::string& error, const ProbeFacts& facts);

}  // namespace orvex::check

#endif
