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

// "ORVEX ", the status, " - ", and the line end around the text.
std::size_t Frame(const std::string& status, const std::string& perf) {
    return 6 + status.size() + 3 + (perf.empty() ? 0 : 3 + perf.size()) + 1;
}

// The text's first bytes, at most size of them, cut where no UTF-8 character is split.
std::string Cut(const std::string& text, std::size_t size) {
    if (text.size() <= size) {
        return text;
    }
    while (size > 0 && (static_cast<unsigned char>(text[size]) & 0xC0U) == 0x80U) {
        --size;
    }
    return text.substr(0, size);
}

// The text shortened, with "...", to at most room bytes; empty where not even that fits.
std::string Shortened(const std::string& text, std::size_t room) {
    constexpr std::size_t kEllipsis = 3;
    if (text.size() <= room) {
        return text;
    }
    return room > kEllipsis ? Cut(text, room - kEllipsis) + "..." : std::string();
}

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

// The whole output, within kPluginOutputBytes: the text is shortened where it would not fit.
std::string Line(const std::string& status, const std::string& text, const std::string& perf) {
    const std::size_t frame = Frame(status, perf);
    const std::size_t room = frame < kPluginOutputBytes ? kPluginOutputBytes - frame : 0;
    return Cat({"ORVEX ", status, " - ", Shortened(text, room), perf.empty() ? "" : " | ", perf, "\n"});
}

// ", not found: " and the names, as many as fit in room with the count of the others;
// a first name too long for it is shortened rather than the count left out.
std::string NotFound(const std::vector<std::string>& failed, std::size_t room) {
    std::string text = ", not found: ";
    std::size_t listed = 0;
    for (; listed < failed.size(); ++listed) {
        const std::size_t others = failed.size() - listed - 1;
        const std::string more = others == 0 ? "" : Cat({" and ", std::to_string(others), " more"});
        const std::string name = OneLine(Visible(failed[listed]));
        const std::string separator = listed == 0 ? "" : ", ";
        const std::size_t used = text.size() + separator.size() + more.size();
        if (used + name.size() <= room) {
            Put(text, {separator, name});
            continue;
        }
        if (listed == 0 && used < room) {
            const std::string shortened = Shortened(name, room - used);
            if (!shortened.empty()) {
                text += shortened;
                ++listed;
            }
        }
        break;
    }
    if (listed < failed.size()) {
        Put(text, {listed == 0 ? "" : " and ", std::to_string(failed.size() - listed), " more"});
    }
    return text;
}

}  // namespace

std::string RenderPlugin(const Explanation& explanation, const ProbeFacts& facts) {
    const std::uint64_t defined = explanation.components.size();
    const std::uint64_t found = defined - explanation.failed.size();
    std::string text = Cat({std::to_string(found), " of ", Plural(defined, "component", "components"), " found"});
    std::string perf;
    const std::string all = std::to_string(defined);
    PutPerf(perf, "components_defined", all, "", "", "");
    PutPerf(perf, "components_found", std::to_string(found), "", all + ":", all);
    const std::string probe = ProbePerf(facts);
    Put(perf, {probe.empty() ? "" : " ", probe});
    const std::string status = explanation.confirmed ? "OK" : "CRITICAL";
    if (!explanation.confirmed) {
        const std::size_t used = Frame(status, perf) + text.size();
        text += NotFound(explanation.failed, used < kPluginOutputBytes ? kPluginOutputBytes - used : 0);
    }
    return Line(status, text, perf);
}

std::string RenderPluginUnknown(const std::string& error, const ProbeFacts& facts) {
    return Line("UNKNOWN", OneLine(error), ProbePerf(facts));
}

}  // namespace orvex::check
