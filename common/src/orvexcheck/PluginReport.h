// orvexcheck's report for monitoring agents that run plugins (Nagios, Icinga,
// Checkmk, NSClient++): one status line with performance data, and the
// plugins' exit statuses.
#ifndef ORVEX_CHECK_PLUGIN_REPORT_H
#define ORVEX_CHECK_PLUGIN_REPORT_H

#include <cstddef>
#include <string>

#include "Explanation.h"
#include "Probe.h"

namespace orvex::check {

constexpr int kPluginOk = 0;
constexpr int kPluginCritical = 2;
constexpr int kPluginUnknown = 3;

// The whole output, line feed and performance data included, fits in the 1,024 bytes
// that NRPE carries.
constexpr std::size_t kPluginOutputBytes = 1000;

// "ORVEX OK - ..." or "ORVEX CRITICAL - ..." naming the components not found,
// then "|" and the performance data, as UTF-8 with a line feed.
std::string RenderPlugin(const Explanation& explanation, const ProbeFacts& facts);

// "ORVEX UNKNOWN - " and why no verdict was reached, with what performance
// data is known.
std::string RenderPluginUnknown(const std::string& error, const ProbeFacts& facts);

}  // namespace orvex::check

#endif
