#include "Report.h"

#include "Pieces.h"
#include "PluginReport.h"
#include "PrometheusReport.h"
#include "TextReport.h"

namespace orvex::check {

std::string RenderReport(Format format, const Explanation* explanation, const Checked& checked,
                         const ProbeFacts& facts, const std::string& error) {
    switch (format) {
        case Format::json:
            return explanation != nullptr ? RenderJson(*explanation, checked, facts)
                                          : RenderJsonError(checked, error, facts);
        case Format::plugin:
            return explanation != nullptr ? RenderPlugin(*explanation, facts) : RenderPluginUnknown(error, facts);
        case Format::prometheus:
            return RenderPrometheus(explanation, facts);
        case Format::text:
            break;
    }
    if (explanation == nullptr) {
        return RenderTextFailure(error, facts);
    }
    return Cat({RenderText(*explanation, checked.properties, checked.statusLog), "\n", RenderProbeText(facts)});
}

}  // namespace orvex::check
