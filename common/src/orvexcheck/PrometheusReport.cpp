// What the collectors reject, and so never appears here: a CR before a line
// feed, a missing last line feed, a byte-order mark, two samples of one name
// with the same labels (windows_exporter then fails its whole page), a label
// value that is not UTF-8. Each component is labelled by its key and its
// definitions line, since keys may repeat.
#include "PrometheusReport.h"

#include <cstdint>

#include "JsonWriter.h"
#include "Pieces.h"

namespace orvex::check {
namespace {

// # HELP and # TYPE of a gauge, once before its samples.
void PutFamily(std::string& out, const char* name, const char* help) {
    Put(out, {"# HELP ", name, " ", help, "\n# TYPE ", name, " gauge\n"});
}

void PutSample(std::string& out, const char* name, const std::string& labels, const std::string& value) {
    Put(out, {name, labels.empty() ? "" : "{", labels, labels.empty() ? "" : "}", " ", value, "\n"});
}

void PutGauge(std::string& out, const char* name, const char* help, const std::string& value) {
    PutFamily(out, name, help);
    PutSample(out, name, "", value);
}

const char* VerdictOf(const Explanation* explanation) {
    if (explanation == nullptr) {
        return "unknown";
    }
    return explanation->confirmed ? "confirmed" : "failed";
}

void PutComponents(std::string& out, const Explanation& explanation) {
    const std::uint64_t defined = explanation.components.size();
    PutGauge(out, "orvex_components_defined", "Components defined in etc\\\\status.properties.",
             std::to_string(defined));
    PutGauge(out, "orvex_components_found", "Components that a line of the status log marks.",
             std::to_string(defined - explanation.failed.size()));
    if (explanation.components.empty()) {
        return;
    }
    PutFamily(out, "orvex_component_found",
              "Whether a line of the status log marks the component (1) or not (0), by its key and definitions line.");
    for (const ComponentReport& report : explanation.components) {
        PutSample(out, "orvex_component_found",
                  Cat({"key=", LabelValue(report.key), ",definition_line=\"", std::to_string(report.definitionLine),
                       "\""}),
                  report.rule.found ? "1" : "0");
    }
}

}  // namespace

std::string LabelValue(std::string_view bytes) {
    std::string out = "\"";
    // UTF-8 holds these three only as themselves, never inside another character.
    for (const char c : Utf8FromCodePage(bytes)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string RenderPrometheus(const Explanation* explanation, const ProbeFacts& facts) {
    std::string out;
    PutGauge(out, "orvex_probe_success",
             "Whether orvexcheck reached a verdict (1) or not (0): without one there are no component gauges.",
             explanation != nullptr ? "1" : "0");
    PutGauge(out, "orvex_probe_timestamp_seconds", "When orvexcheck ran, in seconds since 1970-01-01 UTC.",
             std::to_string(facts.timeUnix));
    if (facts.logAgeSeconds) {
        PutGauge(out, "orvex_status_log_age_seconds", "Time since the status log was last written.",
                 std::to_string(*facts.logAgeSeconds));
    }
    if (facts.refresh && facts.refresh->ran) {
        PutGauge(out, "orvex_refresh_duration_seconds", "How long the status script ran for --refresh.",
                 FixedText(facts.refresh->seconds));
    }
    PutFamily(out, "orvex_verdict",
              "The host's verdict on the installation: 1 for the one reached, unknown where none was reached.");
    const std::string verdict = VerdictOf(explanation);
    for (const char* state : {"confirmed", "failed", "unknown"}) {
        PutSample(out, "orvex_verdict", Cat({"verdict=\"", state, "\""}), verdict == state ? "1" : "0");
    }
    if (explanation != nullptr) {
        PutComponents(out, *explanation);
    }
    return out;
}

}  // namespace orvex::check
