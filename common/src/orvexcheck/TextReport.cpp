// orvexcheck's report for a person: each component with the log line that
// marked it or the nearest one and why it falls short, the warnings, and the
// verdict in the host's words.
#include "TextReport.h"

#include <string_view>

#include "HostLogic.h"
#include "Pieces.h"

namespace orvex::check {
namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HoldsIgnoringCase(const std::string& line, const std::string& text) {
    for (std::size_t at = 0; at + text.size() <= line.size(); ++at) {
        std::size_t k = 0;
        while (k < text.size() && Lower(line[at + k]) == Lower(text[k])) {
            ++k;
        }
        if (k == text.size()) {
            return true;
        }
    }
    return false;
}

// Why a lacking text may not be where the administrator sees it.
std::string Hint(const std::string& line, const std::string& text) {
    const auto [begin, end] = BlankFreeSpan(text);
    const std::string trimmed = text.substr(begin, end - begin);
    if (trimmed.size() != text.size() && !trimmed.empty()) {
        if (line.find(trimmed) != std::string::npos) {
            return " (the line holds it without the white space)";
        }
        if (HoldsIgnoringCase(line, trimmed)) {
            return " (the line holds it in another letter case, without the white space)";
        }
    }
    return HoldsIgnoringCase(line, text) ? " (the line holds it in another letter case)" : "";
}

std::string NameOf(const std::string& path) {
    const std::size_t last = path.find_last_of("\\/");
    return last == std::string::npos ? path : path.substr(last + 1);
}

// What became of one component, appended to out.
void PutOutcome(std::string& out, const ComponentReport& report, const Explanation& explanation) {
    if (report.rule.found) {
        Put(out, {"    found: log line ", std::to_string(report.foundAt), "\n"});
        return;
    }
    const NearestLine& nearest = report.nearest;
    if (nearest.number == 0) {
        out += "    NOT FOUND: no log line holds any of its texts\n";
        return;
    }
    Put(out, {"    NOT FOUND. Nearest: log line ", std::to_string(nearest.number)});
    if (nearest.markedInstead != ComponentMatcher::noComponent) {
        Put(out, {", which holds all three texts but marked the component of line ",
                  std::to_string(explanation.components[nearest.markedInstead].definitionLine),
                  " (a log line marks one component)"});
    } else {
        const std::vector<const std::string*> lacking = LackingTexts(report);
        const std::size_t count = lacking.size();
        out += ", which lacks ";
        for (std::size_t i = 0; i < count; ++i) {
            Put(out, {i == 0 ? "" : i + 1 == count ? " and " : ", ", Visible(*lacking[i]), Hint(nearest.text, *lacking[i])});
        }
    }
    Put(out, {":\n    ", Visible(nearest.text), "\n"});
    if (nearest.cut) {
        out += "    (the line is longer than 255 characters: only its first 255 are searched)\n";
    }
    if (report.nameLine != 0) {
        Put(out, {"    ", Visible(report.rule.text1), " first stands in log line ", std::to_string(report.nameLine),
                  ":\n    ", Visible(report.nameLineText), "\n"});
    }
}

}  // namespace

std::string RenderText(const Explanation& explanation, const std::string& propertiesPath, const std::string& logPath) {
    std::string out;
    Put(out, {"Definitions: ", propertiesPath, "\nStatus log:  ", logPath, " (",
              Plural(explanation.logLines, "line", "lines"), ")\n\n"});
    const std::string definitionsName = NameOf(propertiesPath);
    for (const ComponentReport& report : explanation.components) {
        const ComponentRule& rule = report.rule;
        Put(out, {definitionsName, " line ", std::to_string(report.definitionLine), ": ", Visible(rule.text1), " ",
                  Visible(rule.text2), " ", Visible(rule.text3), "\n"});
        PutOutcome(out, report, explanation);
    }
    if (explanation.components.empty()) {
        Put(out, {definitionsName, " defines no component: nothing to check\n"});
    }

    out += explanation.warnings.empty() ? "\nWarnings: none\n" : "\nWarnings:\n";
    const std::string logName = NameOf(logPath);
    for (const Warning& warning : explanation.warnings) {
        Put(out, {"  ", warning.file == File::definitions ? definitionsName : logName, " line ",
                  std::to_string(warning.line), ": ", warning.text, "\n"});
    }

    const std::size_t total = explanation.components.size();
    Put(out, {"\n", std::to_string(std::uint64_t{total - explanation.failed.size()}), " of ",
              Plural(total, "component", "components"), " found: "});
    if (explanation.confirmed) {
        Put(out, {"every component came up (", text::kStarted, ")\n"});
    } else {
        // The host's failure list on one line: names hold no comma.
        const std::string_view header = text::kFailureListHeader;
        out += header.substr(0, header.size() - 1);
        for (std::size_t i = 0; i < explanation.failed.size(); ++i) {
            Put(out, {i == 0 ? "" : ", ", explanation.failed[i]});
        }
        out += "\n";
    }
    return out;
}

std::string RenderProbeText(const ProbeFacts& facts) {
    std::string out;
    if (facts.refresh) {
        const RefreshResult& refresh = *facts.refresh;
        if (!refresh.ran) {
            out += "Refresh: the status script was not run\n";  // why: the error that follows
        } else if (refresh.reachedBound) {
            Put(out, {"Refresh: the status script ran ", FixedText(refresh.seconds), " s and reached the bound of ",
                      std::to_string(facts.refreshTimeoutSeconds), " s: it was ended with all it started\n"});
        } else {
            Put(out, {"Refresh: the status script ran ", FixedText(refresh.seconds), " s and ended with exit code ",
                      std::to_string(refresh.exitCode),
                      refresh.logRewritten ? "; it rewrote the status log\n" : "; it left the status log as it was\n"});
        }
        for (const std::string& note : refresh.notes) {
            Put(out, {"  note: ", note, "\n"});
        }
    }
    if (facts.logAgeSeconds) {
        Put(out, {"Status log last written ", std::to_string(*facts.logAgeSeconds), " s ago\n"});
    } else {
        out += "Status log last written: unknown (its last-write time cannot be read)\n";
    }
    return out;
}

std::string RenderTextFailure(const std::string& error, const ProbeFacts& facts) {
    return Cat({facts.refresh ? RenderProbeText(facts) : std::string(), error, "\n"});
}

}  // namespace orvex::check
