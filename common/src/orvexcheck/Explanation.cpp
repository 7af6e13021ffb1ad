// Gathers what the host's reader and scan see, line by line, through their
// observers: the definitions and what in them silently changes a verdict, and
// for each component the log line that marked it or the nearest one.
#include "Explanation.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <utility>

#include "LineReader.h"
#include "Pieces.h"
#include "StartupVerification.h"

namespace orvex::check {
namespace {

const char* Ordinal(std::size_t k) {
    return k == 0 ? "first" : k == 1 ? "second" : "third";
}

// Sorts a few items, keeping equal ones in their order; the lists sorted here
// hold at most three items, so no general sort is linked in for them.
template <typename Item, typename Before>
void SortShort(Item* first, const Item* last, Before before) {
    for (Item* i = first; i != last; ++i) {
        for (Item* j = i; j != first && before(*j, *(j - 1)); --j) {
            std::swap(*j, *(j - 1));
        }
    }
}

// Notes the definitions as the reader parses them.
class DefinitionNotes final : public DefinitionObserver {
public:
    explicit DefinitionNotes(Explanation& out) : out(out) {}

    void OnDefinition(std::uint64_t number, const Line& line, const Definition& definition) override {
        if (line.cut) {
            Warn(number, "longer than 255 characters: the rest of the line is ignored");
        }
        if (line.hadZero) {
            Warn(number, "a NUL byte ends the line: the rest of it is ignored");
        }
        if (line.ctrlZ) {
            Warn(number, "a Ctrl-Z byte ends the file here: nothing after it is read");
        }
        if (!definition.assigns) {
            return;
        }
        const ComponentRule& rule = definition.rule;
        const std::array<const std::string*, 3> texts{&rule.text1, &rule.text2, &rule.text3};
        if (!definition.DefinesRule()) {
            const char* const blank = rule.text2.empty() && rule.text3.empty()
                                          ? "its second and third texts are only white space"
                                      : rule.text2.empty() ? "its second text is only white space"
                                                           : "its third text is only white space";
            Warn(number, definition.tokens >= 3
                             ? Cat({"holds \"=\" but defines nothing: ", blank})
                             : Cat({"holds \"=\" but defines nothing: ", Plural(definition.tokens, "text", "texts"),
                                    ", three are needed"}));
            return;
        }
        if (definition.tokens > 3) {
            Warn(number, Cat({std::to_string(std::uint64_t{definition.tokens}),
                              " texts: only the first three are used, the rest is ignored"}));
        }
        for (std::size_t k = 0; k < texts.size(); ++k) {
            const std::string& text = *texts[k];
            const bool begins = IsWhiteSpace(text.front());
            const bool ends = IsWhiteSpace(text.back());
            if (begins || ends) {
                Warn(number, Cat({"the ", Ordinal(k), " text ", Visible(text),
                                  begins && ends ? " begins and ends" : begins ? " begins" : " ends",
                                  " with white space, which the log line must hold too"}));
            }
        }
        // A log line marks one component: equal texts in any order need a line each.
        std::array<const std::string*, 3> sorted = texts;
        SortShort(sorted.data(), sorted.data() + sorted.size(),
                  [](const std::string* a, const std::string* b) { return *a < *b; });
        const std::string key = Cat({*sorted[0], ",", *sorted[1], ",", *sorted[2]});  // texts hold no comma
        const auto seen = firstOf.emplace(key, static_cast<std::uint32_t>(out.components.size()));
        if (!seen.second) {
            Warn(number, Cat({"the same three texts as line ",
                              std::to_string(out.components[seen.first->second].definitionLine),
                              ": each of them needs a log line of its own"}));
        }
        ComponentReport report;
        report.definitionLine = number;
        const auto [keyBegin, keyEnd] = BlankFreeSpan(definition.key);
        report.key = definition.key.substr(keyBegin, keyEnd - keyBegin);
        report.rule = rule;
        out.components.push_back(std::move(report));
    }

private:
    void Warn(std::uint64_t number, std::string text) {
        out.warnings.push_back({File::definitions, number, std::move(text)});
    }

    Explanation& out;
    std::unordered_map<std::string, std::uint32_t> firstOf;  // the first component of each set of texts
};

// Notes, for each component not yet found, the first log line holding the
// most of its texts. A component is listed only under the texts of which a
// line must hold one to beat its best line so far: any texts of total weight
// up to that best may be left out, and the ones left out are those the log has
// held most often so far. So a line wakes few components that it cannot
// improve, whatever the number of components.
class LogNotes final : public ScanObserver {
public:
    LogNotes(Explanation& out, const std::vector<ComponentRule>& components) : out(out), components(components) {}

    void OnLine(std::uint64_t number, const Line& line, const ComponentMatcher* matcher, std::size_t marked) override {
        out.logLines = number;
        LogAnomalies& anomalies = out.logAnomalies;
        if (line.cut) {
            Count(anomalies.cut, number);
        }
        if (line.hadZero) {
            Count(anomalies.nul, number);
        }
        if (line.ctrlZ) {
            anomalies.ctrlZLine = number;
        }
        if (marked != ComponentMatcher::noComponent) {
            out.components[marked].foundAt = number;
        }
        if (matcher == nullptr || matcher->LineTexts().empty()) {
            return;
        }
        if (texts.empty()) {
            Index(*matcher);
        }
        for (const std::uint32_t id : matcher->LineTexts()) {
            TextNote& text = texts[id];
            text.inLine = number;
            if (text.occurrences++ == 0) {
                text.firstSeen = number;
                if (text.isName) {
                    text.firstLine.assign(line.text, line.size);
                }
            }
        }
        for (const std::uint32_t id : matcher->LineTexts()) {
            Wake(texts[id].listed, number, line, marked);
        }
        for (const std::uint32_t component : promoted) {
            Enlist(component);
        }
        promoted.clear();
    }

    // For each component whose nearest line lacks its first text, the first line holding that.
    void AddNameLines() const {
        for (std::size_t c = 0; c < notes.size(); ++c) {
            ComponentReport& report = out.components[c];
            const TextNote& name = texts[notes[c].ids[0]];
            if (!components[c].found && (report.nearest.held & 1U) == 0 && name.occurrences != 0) {
                report.nameLine = name.firstSeen;
                report.nameLineText = name.firstLine;
            }
        }
    }

    // The log's own warnings, one per kind, never one per line, in line order.
    void AddWarnings() const {
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

private:
    struct Entry {
        std::uint32_t component;
        std::uint32_t best;  // the component's best count when it was listed here
    };
    struct TextNote {
        std::vector<Entry> listed;  // the components a line holding this text may improve
        std::uint64_t inLine = 0;   // the last line it occurred in
        std::uint64_t firstSeen = 0;
        std::uint64_t occurrences = 0;  // lines that held it so far
        std::uint32_t sharedBy = 0;     // components that hold it
        bool isName = false;            // the first text of a component
        std::string firstLine;          // for a first text: the first line holding it
    };
    struct ComponentNote {
        std::array<std::uint32_t, 3> ids{};     // its three texts
        std::array<std::uint32_t, 3> order{};   // its distinct texts
        std::array<std::uint32_t, 3> weight{};  // how many of the three each of them is
        std::uint32_t distinct = 0;
        std::uint32_t best = 0;  // most of its texts that one line held so far
    };

    static std::string More(const LineTally& tally) {
        return tally.count == 1 ? std::string()
                                : Cat({", as in ", Plural(tally.count - 1, "more line", "more lines"), " after it"});
    }

    static void Count(LineTally& tally, std::uint64_t number) {
        tally.first = tally.count == 0 ? number : tally.first;
        ++tally.count;
    }

    void Index(const ComponentMatcher& matcher) {
        texts.resize(matcher.TextCount());
        notes.resize(components.size());
        for (std::size_t c = 0; c < components.size(); ++c) {
            ComponentNote& note = notes[c];
            note.ids = matcher.TextsOf(c);
            texts[note.ids[0]].isName = true;
            for (const std::uint32_t id : note.ids) {
                std::uint32_t k = 0;
                while (k < note.distinct && note.order[k] != id) {
                    ++k;
                }
                if (k == note.distinct) {
                    note.order[note.distinct++] = id;
                    ++texts[id].sharedBy;
                }
                ++note.weight[k];
            }
        }
        for (std::size_t c = 0; c < components.size(); ++c) {
            Enlist(static_cast<std::uint32_t>(c));
        }
    }

    // Lists the component under the texts of which a line must hold one to
    // beat its best: all but its most frequent texts of total weight up to best.
    void Enlist(std::uint32_t component) {
        ComponentNote& note = notes[component];
        if (note.best >= 3 || components[component].found) {
            return;
        }
        std::array<std::uint32_t, 3> slots{0, 1, 2};
        SortShort(slots.data(), slots.data() + note.distinct, [this, &note](std::uint32_t a, std::uint32_t b) {
            const TextNote& x = texts[note.order[a]];
            const TextNote& y = texts[note.order[b]];
            return x.occurrences != y.occurrences ? x.occurrences > y.occurrences : x.sharedBy > y.sharedBy;
        });
        std::uint32_t weight = 0;
        bool skipping = true;
        for (std::uint32_t k = 0; k < note.distinct; ++k) {
            const std::uint32_t slot = slots[k];
            skipping = skipping && weight + note.weight[slot] <= note.best;
            if (skipping) {
                weight += note.weight[slot];
            } else {
                texts[note.order[slot]].listed.push_back({component, note.best});
            }
        }
    }

    void Wake(std::vector<Entry>& list, std::uint64_t number, const Line& line, std::size_t marked) {
        std::size_t kept = 0;
        for (const Entry entry : list) {
            const std::uint32_t component = entry.component;
            ComponentNote& note = notes[component];
            if (components[component].found || note.best != entry.best) {
                continue;  // listed for an earlier best: dropped
            }
            list[kept++] = entry;
            unsigned held = 0;
            std::uint32_t count = 0;
            for (std::size_t k = 0; k < 3; ++k) {
                if (texts[note.ids[k]].inLine == number) {
                    held |= 1U << k;
                    ++count;
                }
            }
            if (count <= note.best) {
                continue;
            }
            note.best = count;
            NearestLine& nearest = out.components[component].nearest;
            nearest.number = number;
            nearest.held = held;
            nearest.text.assign(line.text, line.size);
            nearest.cut = line.cut;
            nearest.markedInstead = count == 3 ? marked : ComponentMatcher::noComponent;
            promoted.push_back(component);
        }
        list.resize(kept);
    }

    Explanation& out;
    const std::vector<ComponentRule>& components;
    std::vector<TextNote> texts;  // by the matcher's text ids
    std::vector<ComponentNote> notes;
    std::vector<std::uint32_t> promoted;  // components to list anew after the line
};

}  // namespace

Explanation Explain(const std::string& propertiesPath, const std::string& logPath) {
    Explanation explanation;
    DefinitionNotes definitions(explanation);
    std::vector<ComponentRule> components = ReadDefinitions(propertiesPath, &definitions);
    StatusTail tail(0);  // the status text is not needed: the smallest tail
    LogNotes log(explanation, components);
    ScanStatusLog(logPath, components, tail, &log);
    log.AddNameLines();
    log.AddWarnings();

    for (std::size_t c = 0; c < components.size(); ++c) {
        explanation.components[c].rule.found = components[c].found;
        if (!components[c].found) {
            explanation.confirmed = false;
            explanation.failed.push_back(components[c].text1);
        }
    }
    return explanation;
}

std::string Visible(const std::string& text) {
    const auto [begin, end] = BlankFreeSpan(text);
    std::string shown = "\"";
    for (std::size_t k = 0; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        const bool atEnd = k < begin || k >= end;
        if (c == ' ' && atEnd) {
            shown += "<SP>";
        } else if (c == '\t') {
            shown += "<TAB>";
        } else if (c == '\r') {
            shown += "<CR>";
        } else if (c == '\n') {
            shown += "<LF>";
        } else if (c == '\v') {
            shown += "<VT>";
        } else if (c == '\f') {
            shown += "<FF>";
        } else if (c < 0x20 || c == 0x7F) {
            const char* const digits = "0123456789ABCDEF";
            shown += "<0x";
            shown += digits[c >> 4];
            shown += digits[c & 0x0F];
            shown += '>';
        } else {
            shown += static_cast<char>(c);
        }
    }
    shown += '"';
    return shown;
}

std::vector<const std::string*> LackingTexts(const ComponentReport& report) {
    const ComponentRule& rule = report.rule;
    const std::array<const std::string*, 3> texts{&rule.text1, &rule.text2, &rule.text3};
    std::vector<const std::string*> lacking;
    for (std::size_t k = 0; k < texts.size(); ++k) {
        const auto same = [&texts, k](const std::string* listed) { return *listed == *texts[k]; };
        if ((report.nearest.held & (1U << k)) == 0 && std::none_of(lacking.begin(), lacking.end(), same)) {
            lacking.push_back(texts[k]);
        }
    }
    return lacking;
}

}  // namespace orvex::check
