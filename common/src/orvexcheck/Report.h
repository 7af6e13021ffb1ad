// The report of one probe in the format asked for, whatever became of the probe: a
// verdict, or none (a file that cannot be read, a refresh without a fresh log, a
// failure). Every report, the failed one too, goes where --output says.
#ifndef ORVEX_CHECK_REPORT_H
#define ORVEX_CHECK_REPORT_H

#include <string>

#include "CommandLine.h"
#include "Explanation.h"
#include "JsonReport.h"
#include "Probe.h"

namespace orvex::check {

// explanation is null where no verdict was reached; error then says why.
std::string RenderReport(Format format, const Explanation* explanation, const Checked& checked,
                         const ProbeFacts& facts, const std::string& error);

}  // namespace orvex::check

#endif
