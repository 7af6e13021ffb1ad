// The status line is plain text for a console and a web page: a "|" would
// begin the performance data and a line feed a second line, so neither may
// come from a product file or a path.
#include "PluginReport.h"

#include <cstdint>
#include <vector>

#include "JsonWriter.h"
#include "Pieces.h"

namespace orvex::check {
namespace {

// The names listed in the status line stop once it is this long, so that the
// agent (Nagios reads some 4 KiB of a plugin's output) gets the whole line.
constexpr std::size_t kNamesBudget = 1024;

// The text as one line of UTF-8 without "|".
std::string OneLine(const std::string& text) {
    std::string out = Utf8FromCodePage(text);
    for (char& c : out) {
        if (c == '|') {
            c = '/';
        } else if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return out;
}

// One item of the performance data: 'label'=value[UOM];warn;crit;min;max.
void PutPerf(std::string& out, const char* label, const std::string& value, const char* unit,
             const std::string& critical, const std::string& max) {
    Put(out, {out.empty() ? "" : " ", "'", label, "'=", value, unit, ";;", critical, ";0", max.empty() ? "" : ";", max});
}

// The log's age and the refresh's time, where they are known.
std::string ProbePerf(const ProbeFacts& facts) {
    std::string out;
    if (facts.logAgeSeconds) {
        PutPerf(out, "status_log_age", std::to_string(*facts.logAgeSeconds), "s", "", "");
    }
    if (facts.refresh && facts.refresh->ran) {
        PutPerf(out, "refresh_time", FixedText(facts.refresh->seconds), "s", "",
                std::to_string(facts.refreshTimeoutSeconds));
    }
    return out;
}

std::string Line(const std::string& status, const std::string& text, const std::string& perf) {
    return Cat({"ORVEX ", status, " - ", text, perf.empty() ? "" : " | ", perf, "\n"});
}

}  // namespace

std::string RenderPlugin(const Explanation& explanation, const ProbeFacts& facts) {
    const std::uint64_t defined = explanation.components.size();
    const std::uint64_t found = defined - explanation.failed.size();
    std::string text = Cat({std::to_string(found), " of ", Plural(defined, "component", "components"), " found"});
    if (!explanation.confirmed) {
        text += ", not found: ";
        std::size_t listed = 0;
        for (const std::string& name : explanation.failed) {
            if (listed > 0 && text.size() > kNamesBudget) {
                break;
            }
            Put(text, {listed == 0 ? "" : ", ", OneLine(Visible(name))});
            ++listed;
        }
        if (listed < explanation.failed.size()) {
            Put(text, {" and ", std::to_string(explanation.failed.size() - listed), " more"});
        }
    }
    std::string perf;
    const std::string all = std::to_string(defined);
    PutPerf(perf, "components_defined", all, "", "", "");
    PutPerf(perf, "components_found", std::to_string(found), "", all + ":", all);
    const std::string probe = ProbePerf(facts);
    Put(perf, {probe.empty() ? "" : " ", probe});
    return Line(explanation.confirmed ? "OK" : "CRITICAL", text, perf);
}

std::string RenderPluginUnknown(const std::string& error, const ProbeFacts& facts) {
    return Line("UNKNOWN", OneLine(error), ProbePerf(facts));
}

}  // namespace orvex::check
