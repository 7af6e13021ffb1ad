// The second pass over the status log, for the components the first one did
// not find: for each, the first line holding the most of its texts, and where
// that line lacks its first text, the first line holding that. Only the texts
// of those components are looked for (LineTexts.h), and of those only the
// texts that a line must hold to tell something new, so that a line that
// holds none costs what it costs the host's scan.
#include <algorithm>
#include <array>
#include <cstdint>
#include <ios>
#include <string>
#include <utility>
#include <vector>

#include "ExplainPasses.h"
#include "LineTexts.h"

namespace orvex::check {
namespace {

// Notes, for each component, the first line holding the most of its texts. A
// component is listed only under the texts of which a line must hold one to
// beat its best line so far: any texts of total weight up to that best may be
// left out, and the ones left out are those the log has held most often so
// far. So a line wakes few components that it cannot improve, whatever the
// number of components.
class NearestNotes {
public:
    // missing: the components explained, in table order; ruleTexts: the ids
    // of their texts; marks: (line, component) of the first pass, by line.
    NearestNotes(Explanation& out, std::vector<std::size_t> missing,
                 std::vector<std::pair<std::uint64_t, std::size_t>> marks,
                 const std::vector<std::array<std::uint32_t, 3>>& ruleTexts, std::size_t textCount)
        : out(out), missing(std::move(missing)), marks(std::move(marks)), texts(textCount), notes(ruleTexts.size()) {
        for (std::size_t c = 0; c < notes.size(); ++c) {
            ComponentNote& note = notes[c];
            note.ids = ruleTexts[c];
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
        for (std::size_t c = 0; c < notes.size(); ++c) {
            Enlist(static_cast<std::uint32_t>(c));
        }
    }

    void OnLine(std::uint64_t number, const TextLine& line) {
        for (const std::uint32_t id : *line.ids) {
            TextNote& text = texts[id];
            text.inLine = number;
            if (text.occurrences++ == 0) {
                text.firstSeen = number;
                if (text.isName) {
                    text.firstLine.assign(line.text, line.size);
                    changed = true;
                }
            }
        }
        for (const std::uint32_t id : *line.ids) {
            Wake(texts[id].listed, number, line);
        }
        for (const std::uint32_t component : promoted) {
            Enlist(component);
        }
        promoted.clear();
    }

    // At a filling of the buffer: watches the texts that a line must hold to
    // improve a component or to be the first holding its first text. Until
    // the next filling these stay enough: a line that improves a component
    // holds one of the texts it was listed under at this filling, since the
    // texts left out then weigh no more than its best, which only grows.
    void Rewatch(LineTexts& lines) {
        if (!changed) {
            return;
        }
        changed = false;
        std::vector<std::uint32_t> watched;
        bool same = true;
        for (std::uint32_t id = 0; id < texts.size(); ++id) {
            TextNote& text = texts[id];
            const bool watch = text.watchers > 0 || (text.isName && text.occurrences == 0);
            same = same && watch == text.watched;
            text.watched = watch;
            if (watch) {
                watched.push_back(id);
            }
        }
        if (!same) {
            lines.Watch(watched);
        }
    }

    // For each component whose nearest line lacks its first text, the first line holding that.
    void AddNameLines() const {
        for (std::size_t c = 0; c < notes.size(); ++c) {
            ComponentReport& report = out.components[missing[c]];
            const TextNote& name = texts[notes[c].ids[0]];
            if ((report.nearest.held & 1U) == 0 && name.occurrences != 0) {
                report.nameLine = name.firstSeen;
                report.nameLineText = name.firstLine;
            }
        }
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
        std::uint32_t watchers = 0;     // components listed under it now
        bool watched = true;            // looked for at the candidate starts
        bool isName = false;            // the first text of a component
        std::string firstLine;          // for a first text: the first line holding it
    };
    struct ComponentNote {
        std::array<std::uint32_t, 3> ids{};     // its three texts
        std::array<std::uint32_t, 3> order{};   // its distinct texts
        std::array<std::uint32_t, 3> weight{};  // how many of the three each of them is
        std::uint32_t distinct = 0;
        std::uint32_t best = 0;  // most of its texts that one line held so far
        std::array<std::uint32_t, 3> listedUnder{};
        std::uint32_t listings = 0;
    };

    // The component that the line marked in the first pass, or noComponent.
    std::size_t MarkedBy(std::uint64_t number) const {
        const auto mark = std::lower_bound(marks.begin(), marks.end(),
                                           std::pair<std::uint64_t, std::size_t>(number, 0));
        return mark != marks.end() && mark->first == number ? mark->second : ComponentMatcher::noComponent;
    }

    // Lists the component under the texts of which a line must hold one to
    // beat its best: all but its most frequent texts of total weight up to best.
    void Enlist(std::uint32_t component) {
        ComponentNote& note = notes[component];
        for (std::uint32_t k = 0; k < note.listings; ++k) {
            changed = --texts[note.listedUnder[k]].watchers == 0 || changed;
        }
        note.listings = 0;
        if (note.best >= 3) {
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
                TextNote& text = texts[note.order[slot]];
                text.listed.push_back({component, note.best});
                note.listedUnder[note.listings++] = note.order[slot];
                changed = text.watchers++ == 0 || changed;
            }
        }
    }

    void Wake(std::vector<Entry>& list, std::uint64_t number, const TextLine& line) {
        std::size_t kept = 0;
        for (const Entry entry : list) {
            const std::uint32_t component = entry.component;
            ComponentNote& note = notes[component];
            if (note.best != entry.best) {
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
            // A line holding all three texts marked another component. Where
            // the first pass saw no mark there, the log has changed since:
            // the line is passed over rather than contradict the verdict.
            const std::size_t marked = count == 3 ? MarkedBy(number) : ComponentMatcher::noComponent;
            if (count == 3 && marked == ComponentMatcher::noComponent) {
                continue;
            }
            note.best = count;
            NearestLine& nearest = out.components[missing[component]].nearest;
            nearest.number = number;
            nearest.held = held;
            nearest.text.assign(line.text, line.size);
            nearest.cut = line.cut;
            nearest.markedInstead = marked;
            promoted.push_back(component);
        }
        list.resize(kept);
    }

    Explanation& out;
    std::vector<std::size_t> missing;
    std::vector<std::pair<std::uint64_t, std::size_t>> marks;  // (line, component) of the first pass
    std::vector<TextNote> texts;                               // by text id
    std::vector<ComponentNote> notes;                          // by place in missing
    std::vector<std::uint32_t> promoted;                       // components to list anew after the line
    bool changed = false;  // a text may have to be watched, or no longer
};

}  // namespace

void ExplainMissing(const std::string& path, const std::vector<ComponentRule>& components, Explanation& out) {
    std::vector<std::size_t> missing;
    std::vector<ComponentRule> rules;
    std::vector<std::pair<std::uint64_t, std::size_t>> marks;
    for (std::size_t c = 0; c < components.size(); ++c) {
        if (components[c].found) {
            marks.emplace_back(out.components[c].foundAt, c);
        } else {
            missing.push_back(c);
            rules.push_back(components[c]);
        }
    }
    if (missing.empty()) {
        return;
    }
    std::sort(marks.begin(), marks.end());
    const TextTable table = IndexTexts(rules);
    LineTexts lines(table.texts);
    NearestNotes notes(out, missing, std::move(marks), table.ruleTexts, table.texts.size());
    try {
        lines.Read(
            path, out.logLines, [&notes](std::uint64_t number, const TextLine& line) { notes.OnLine(number, line); },
            [&notes, &lines]() { notes.Rewatch(lines); });
    } catch (const std::ios_base::failure&) {
        // The log went away or cannot be read to its end since the verdict:
        // the components are left without lines rather than with part of them.
        for (const std::size_t c : missing) {
            out.components[c].nearest = NearestLine();
        }
        return;
    }
    notes.AddNameLines();
}

}  // namespace orvex::check
