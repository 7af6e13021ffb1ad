// orvexcheck's report for Prometheus: the text exposition format that the
// textfile collectors of windows_exporter and node_exporter read.
#ifndef ORVEX_CHECK_PROMETHEUS_REPORT_H
#define ORVEX_CHECK_PROMETHEUS_REPORT_H

#include <string>
#include <string_view>

#include "Explanation.h"
#include "Probe.h"

namespace orvex::check {

// The gauges; explanation null where no verdict was reached, which
// orvex_probe_success 0 says, with no component gauges at all.
std::string RenderPrometheus(const Explanation* explanation, const ProbeFacts& facts);

// A label value in double quotes: the bytes as UTF-8 (decoded as the JSON
// document decodes them), with \, " and line feeds escaped.
std::string LabelValue(std::string_view bytes);

}  // namespace orvex::check

#endif
