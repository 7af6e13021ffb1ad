// The first pass over the status log: the host's scan, with its reader and
// matcher and its runs of plain lines, so that a log whose components are all
// found costs what the host's own check costs. Besides the verdict it notes
// what needs no search of its own: the line that marked each component, the
// number of lines, and the lines the line rules changed, which never lie in a
// run and so come one at a time.
#include <cstring>
#include <string_view>

#include "ComponentMatcher.h"
#include "ExplainPasses.h"
#include "LineReader.h"
#include "Pieces.h"

namespace orvex::check {
namespace {

void Count(LineTally& tally, std::uint64_t number) {
    tally.first = tally.count == 0 ? number : tally.first;
    ++tally.count;
}

bool Holds(std::string_view line, const ComponentRule& rule) {
    return line.find(rule.text1) != std::string_view::npos && line.find(rule.text2) != std::string_view::npos &&
           line.find(rule.text3) != std::string_view::npos;
}

// The lines of a run that marked the components, given in the order marked:
// a run's lines are plain, so a component was marked by the first line after
// the one that marked the component before it that holds its three texts (a
// line before that one holding them marked another component of the list).
void NoteRunMarks(const Run& run, std::uint64_t linesBefore, const std::vector<std::size_t>& marked,
                  Explanation& out) {
    const char* line = run.text;
    const char* const end = run.text + run.size;
    std::uint64_t number = linesBefore;
    for (const std::size_t component : marked) {
        const ComponentRule& rule = out.components[component].rule;
        while (line < end) {
            const auto* feed = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
            const std::string_view text(line, static_cast<std::size_t>(feed - line));
            ++number;
            line = feed + 1;
            if (Holds(text, rule)) {
                out.components[component].foundAt = number;
                break;
            }
        }
    }
}

std::string More(const LineTally& tally) {
    return tally.count == 1 ? std::string()
                            : Cat({", as in ", Plural(tally.count - 1, "more line", "more lines"), " after it"});
}

// The log's own warnings, one per kind, never one per line, in line order.
void AddLogWarnings(Explanation& out) {
    std::vector<Warning>& warnings = out.warnings;
    const LogAnomalies& anomalies = out.logAnomalies;
    const std::size_t first = warnings.size();
    if (anomalies.cut.count > 0) {
        warnings.push_back({File::statusLog, anomalies.cut.first,
                            Cat({"longer than 255 characters", More(anomalies.cut),
                                 ": only the first 255 characters of a line are searched"})});
    }
    if (anomalies.nul.count > 0) {
        warnings.push_back({File::statusLog, anomalies.nul.first,
                            Cat({"a NUL byte ends the line's text", More(anomalies.nul),
                                 ": the rest of a line is not searched"})});
    }
    if (anomalies.ctrlZLine > 0) {
        warnings.push_back(
            {File::statusLog, anomalies.ctrlZLine, "a Ctrl-Z byte ends the file here: nothing after it is read"});
    }
    SortShort(warnings.data() + first, warnings.data() + warnings.size(),
              [](const Warning& a, const Warning& b) { return a.line < b.line; });
}

}  // namespace

// As ScanStatusLog without an observer, less the status text.
void ScanForVerdict(const std::string& path, std::vector<ComponentRule>& components, Explanation& out) {
    LineReader reader(path);
    ComponentMatcher matcher(components);
    Line line;
    std::uint64_t number = 0;
    std::uint64_t fillings = 0;
    std::vector<std::size_t> marked;  // by the run at hand, in order
    const auto followBuffer = [&reader, &matcher, &fillings]() {
        if (reader.Fillings() != fillings) {
            fillings = reader.Fillings();
            matcher.SetBlock(reader.Buffer(), reader.BufferSize());
        }
    };
    LogAnomalies& anomalies = out.logAnomalies;
    for (;;) {
        Run run;
        if (reader.NextRun(run)) {
            if (!matcher.AllFound()) {
                followBuffer();
                matcher.MarkLines(run.text, run.size, reader.Feeds(), [&components, &marked](std::size_t component) {
                    components[component].found = true;
                    marked.push_back(component);
                });
                if (!marked.empty()) {
                    NoteRunMarks(run, number, marked, out);
                    marked.clear();
                }
            }
            number += run.lines;
            continue;
        }
        if (!reader.Next(line)) {
            break;
        }
        ++number;
        followBuffer();
        if (line.cut) {
            Count(anomalies.cut, number);
        }
        if (line.hadZero) {
            Count(anomalies.nul, number);
        }
        if (line.ctrlZ) {
            anomalies.ctrlZLine = number;
        }
        if (line.size > 0 && !matcher.AllFound()) {
            const std::size_t component = matcher.MarkLine(line.text, line.size);
            if (component != ComponentMatcher::noComponent) {
                components[component].found = true;
                out.components[component].foundAt = number;
            }
        }
    }
    out.logLines = number;
    AddLogWarnings(out);
}

}  // namespace orvex::check
