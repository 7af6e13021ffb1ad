// Reads the status log with the host's reader and looks in its lines for a
// set of texts with the host's automaton: only at the candidate starts of
// each buffer, so that the many lines that hold none cost a look at their
// bits, and runs of plain lines are taken at once, as the host's scan does.
#ifndef ORVEX_CHECK_LINE_TEXTS_H
#define ORVEX_CHECK_LINE_TEXTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "LineReader.h"
#include "TextMatcher.h"

namespace orvex::check {

// A line that holds at least one of the texts.
struct TextLine {
    const char* text = nullptr;  // its kept text, valid until the next line is read
    std::size_t size = 0;
    bool cut = false;                              // longer than 255 characters
    const std::vector<std::uint32_t>* ids = nullptr;  // the distinct texts it holds, by index
};

// How many positions of [from, to) are marked.
std::uint64_t CountMarked(const PositionMask& mask, std::size_t from, std::size_t to);

class LineTexts {
public:
    // The texts: distinct and non-empty.
    explicit LineTexts(const std::vector<std::string>& texts);

    // Reads the first lastLine lines of the log at path (fewer where it has
    // fewer) and calls visit(number, TextLine) for each that holds a text.
    // Throws OpeningFailure(path) or ReadingFailure(path) as the host's reader.
    template <typename Visit>
    void Read(const std::string& path, std::uint64_t lastLine, Visit&& visit) {
        LineReader reader(path);
        Line line;
        std::uint64_t number = 0;
        while (number < lastLine) {
            Run run;
            if (reader.NextRun(run)) {
                Follow(reader);
                const PositionMask& feeds = reader.Feeds();
                const std::size_t from = Offset(run.text);
                const std::size_t to = from + run.size;
                MarkBlock();
                std::size_t counted = from;
                std::uint64_t before = number;  // lines before counted
                for (std::size_t start = NextMarked(starts, from, to); start != to;) {
                    const std::size_t end = NextMarked(feeds, start, to);
                    const std::size_t begin = LastMarkedBefore(feeds, from, start) + 1;
                    before += CountMarked(feeds, counted, begin);
                    counted = begin;
                    if (before >= lastLine) {
                        break;
                    }
                    if (Scan(block, starts, begin, end)) {
                        visit(before + 1, TextLine{run.text + (begin - from), end - begin, false, &ids});
                    }
                    start = NextMarked(starts, end, to);
                }
                number += run.lines;
                continue;
            }
            if (!reader.Next(line)) {
                return;
            }
            ++number;
            Follow(reader);
            if (line.size > 0 && SearchLine(line)) {
                visit(number, TextLine{line.text, line.size, line.cut, &ids});
            }
        }
    }

private:
    void Follow(const LineReader& reader) {
        if (reader.Fillings() != fillings) {
            fillings = reader.Fillings();
            block = reinterpret_cast<const unsigned char*>(reader.Buffer());
            blockSize = reader.BufferSize();
            blockMarked = false;
        }
    }
    std::size_t Offset(const char* text) const {
        return static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(text) - block);
    }
    void MarkBlock() {
        if (!blockMarked) {
            matcher.MarkStarts(block, blockSize, starts);
            blockMarked = true;
        }
    }
    // A line read on its own: in the block, or carried over from an earlier filling.
    bool SearchLine(const Line& line);
    // Collects in ids the texts of [from, to) of base, whose starts mask marks; true where there are any.
    bool Scan(const unsigned char* base, const StartMask& mask, std::size_t from, std::size_t to);

    TextMatcher matcher;
    std::vector<std::uint64_t> stamp;  // the last scan in which each text occurred
    std::uint64_t scans = 0;
    std::vector<std::uint32_t> ids;
    std::uint64_t fillings = 0;
    const unsigned char* block = nullptr;
    std::size_t blockSize = 0;
    bool blockMarked = false;
    StartMask starts;      // the block's
    StartMask lineStarts;  // a carried line's
};

}  // namespace orvex::check

#endif
