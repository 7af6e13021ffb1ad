// Decides, line by line, which component a status log line marks.
#ifndef ORVEX_COMPONENT_MATCHER_H
#define ORVEX_COMPONENT_MATCHER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "StatusChecker.h"
#include "TextMatcher.h"

namespace orvex {

// The distinct texts of a rule table, and the three text indexes of each rule.
struct TextTable {
    std::vector<std::string> texts;
    std::vector<std::array<std::uint32_t, 3>> ruleTexts;
};

TextTable IndexTexts(const std::vector<ComponentRule>& components);

// One automaton over every text of every component: a line is walked once,
// whatever the number of components, and only the components indexed under a
// text that occurs in it are then examined.
//
// Each component is indexed under one of its texts, its anchor: the one that the
// fewest components share, so the one least likely to stand in a log line (a
// component's name, before the words that every component's line repeats).
// A line can only mark a component if it holds the component's anchor, so where
// the lines that hold no anchor need not be told apart, only the lines that hold
// an anchor are searched for every text; most log lines are then passed over at
// the cost of a look at their candidate starts.
class ComponentMatcher {
public:
    static constexpr std::size_t noComponent = std::numeric_limits<std::size_t>::max();

    // Which lines are searched for every text: those that hold an anchor, or all
    // of them (for an observer that is told of the texts of every line).
    enum class Search { anchorLines, everyLine };

    // Components already found are never marked again.
    explicit ComponentMatcher(const std::vector<ComponentRule>& components, Search search = Search::anchorLines);

    bool AllFound() const { return remaining == 0; }

    // The block of bytes (the reader's buffer) that the next lines lie in;
    // its candidate starts are marked once, when a line first needs them.
    void SetBlock(const char* begin, std::size_t size) {
        block = reinterpret_cast<const unsigned char*>(begin);
        blockSize = size;
        blockMarked = false;
    }

    // Marks and returns the first component in table order, among those not
    // yet marked, whose three texts all occur in the line; noComponent when
    // there is none.
    std::size_t MarkLine(const char* line, std::size_t length) {
        lineTexts.clear();
        const auto* bytes = reinterpret_cast<const unsigned char*>(line);
        const std::less<const unsigned char*> before;
        if (block == nullptr || before(bytes, block) || before(block + blockSize, bytes + length)) {
            // A line carried over from an earlier filling of the block.
            return SearchLine(bytes, length);
        }
        MarkBlock();
        const auto from = static_cast<std::size_t>(bytes - block);
        // Most lines of a block hold no candidate start at all.
        if (!AnyMarked(blockStarts, from, from + length)) {
            return noComponent;
        }
        if (search == Search::everyLine) {
            return MarkMatch(block, blockStarts, from, from + length);
        }
        if (!anchors.Holds(block, blockStarts, from, from + length)) {
            return noComponent;
        }
        return SearchLine(bytes, length);
    }

    // MarkLine for each line of [text, text + size) in the block that holds a
    // candidate start, the lines being ended by the line feeds marked in feeds
    // (the block's); calls marked(component) for each component so marked.
    template <typename Marked>
    void MarkLines(const char* text, std::size_t size, const PositionMask& feeds, Marked&& marked) {
        MarkBlock();
        const auto from = static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(text) - block);
        const std::size_t to = from + size;
        for (std::size_t start = NextMarked(blockStarts, from, to); start != to && !AllFound();) {
            const std::size_t end = NextMarked(feeds, start, to);
            const std::size_t begin = LastMarkedBefore(feeds, from, start) + 1;
            const std::size_t component = MarkLine(text + (begin - from), end - begin);
            if (component != noComponent) {
                marked(component);
            }
            start = NextMarked(blockStarts, end, to);
        }
    }

    // The distinct texts that occurred in the line last given to MarkLine
    // (under Search::everyLine; otherwise only where the line held an anchor).
    const std::vector<std::uint32_t>& LineTexts() const { return lineTexts; }
    // The three text indexes of a component.
    const std::array<std::uint32_t, 3>& TextsOf(std::size_t component) const { return ruleTexts[component]; }
    std::size_t TextCount() const { return lineStamp.size(); }

private:
    ComponentMatcher(const std::vector<ComponentRule>& components, Search search, TextTable&& table);
    void Occurred(std::uint32_t text) {
        if (lineStamp[text] != currentLine) {
            lineStamp[text] = currentLine;
            lineTexts.push_back(text);
        }
    }
    void MarkBlock() {
        if (!blockMarked) {
            (search == Search::everyLine ? matcher : anchors).MarkStarts(block, blockSize, blockStarts);
            blockMarked = true;
        }
    }
    // Searches a whole line of at most 255 characters for every text.
    std::size_t SearchLine(const unsigned char* bytes, std::size_t length) {
        matcher.MarkStarts(bytes, length, lineStarts);
        return MarkMatch(bytes, lineStarts, 0, length);
    }
    // The part of MarkLine for a line that may hold a text: [from, to) of base.
    std::size_t MarkMatch(const unsigned char* base, const StartMask& starts, std::size_t from, std::size_t to);

    Search search;
    TextMatcher matcher;
    std::vector<std::array<std::uint32_t, 3>> ruleTexts;
    std::vector<std::uint32_t> anchorText;               // the text each component is indexed under
    TextMatcher anchors;                                 // the anchors of the components not yet marked
    std::vector<std::uint64_t> lineStamp;                // the last line in which each text occurred
    std::vector<std::vector<std::uint32_t>> candidates;  // per text: unmarked components indexed under it
    std::vector<std::uint32_t> lineTexts;                // texts of this line
    std::uint64_t currentLine = 0;
    const unsigned char* block = nullptr;
    std::size_t blockSize = 0;
    bool blockMarked = false;
    StartMask blockStarts;
    StartMask lineStarts;  // for a line searched on its own
    std::size_t remaining = 0;
};

}  // namespace orvex

#endif
