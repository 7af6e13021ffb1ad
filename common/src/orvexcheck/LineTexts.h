// Reads the status log with the host's reader and finds in its lines a set of
// texts with the host's automaton. Only some of the texts are watched: the
// candidate starts of each buffer are those of the watched texts, so that the
// many lines that hold none cost a look at their bits, runs of plain lines
// are taken at once as the host's scan takes them, and only a line that holds
// a watched text is searched for every text.
#ifndef ORVEX_CHECK_LINE_TEXTS_H
#define ORVEX_CHECK_LINE_TEXTS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LineReader.h"
#include "TextMatcher.h"

namespace orvex::check {

// A line that holds a watched text.
struct TextLine {
    const char* text = nullptr;  // its kept text, valid until the next line is read
    std::size_t size = 0;
    bool cut = false;                                 // longer than 255 characters
    const std::vector<std::uint32_t>* ids = nullptr;  // the distinct texts it holds, watched or not
};

// How many positions of [from, to) are marked.
std::uint64_t CountMarked(const PositionMask& mask, std::size_t from, std::size_t to);

class LineTexts {
public:
    // The texts: distinct and non-empty. Every one of them is watched.
    explicit LineTexts(const std::vector<std::string>& texts);

    // From the next line on, watches these texts only (by index); none: the reading ends.
    void Watch(const std::vector<std::uint32_t>& watched);

    // Reads the first lastLine lines of the log at path (fewer where it has
    // fewer) and calls visit(number, TextLine) for each that holds a watched
    // text. At each filling of the reader's buffer, calls rewatch(), which may
    // call Watch. Throws OpeningFailure(path) or ReadingFailure(path) as the
    // host's reader.
    template <typename Visit, typename Rewatch>
    void Read(const std::string& path, std::uint64_t lastLine, Visit&& visit, Rewatch&& rewatch) {
        LineReader reader(path);
        Line line;
        std::uint64_t number = 0;
        while (number < lastLine && watching) {
            Run run;
            if (reader.NextRun(run)) {
                Follow(reader, rewatch);
                const PositionMask& feeds = reader.Feeds();
                const std::size_t from = Offset(run.text);
                const std::size_t to = from + run.size;
                std::size_t counted = from;
                std::uint64_t before = number;  // lines before counted
                for (std::size_t start = NextStart(from, to); start != to;) {
                    const std::size_t end = NextMarked(feeds, start, to);
                    const std::size_t begin = LastMarkedBefore(feeds, from, start) + 1;
                    before += CountMarked(feeds, counted, begin);
                    counted = begin;
                    if (before >= lastLine) {
                        break;
                    }
                    if (watch->Holds(block, starts, begin, end) && SearchWhole(block + begin, end - begin)) {
                        visit(before + 1, TextLine{run.text + (begin - from), end - begin, false, &ids});
                    }
                    start = NextStart(end, to);
                }
                number += run.lines;
                continue;
            }
            if (!reader.Next(line)) {
                return;
            }
            ++number;
            Follow(reader, rewatch);
            if (line.size > 0 && watching && SearchLine(line)) {
                visit(number, TextLine{line.text, line.size, line.cut, &ids});
            }
        }
    }

private:
    template <typename Rewatch>
    void Follow(const LineReader& reader, Rewatch& rewatch) {
        if (reader.Fillings() != fillings) {
            fillings = reader.Fillings();
            block = reinterpret_cast<const unsigned char*>(reader.Buffer());
            blockSize = reader.BufferSize();
            blockMarked = false;
            rewatch();
        }
    }
    std::size_t Offset(const char* text) const {
        return static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(text) - block);
    }
    // The next candidate start of a watched text in [from, to) of the block, or to.
    std::size_t NextStart(std::size_t from, std::size_t to) {
        if (!blockMarked) {
            watch->MarkStarts(block, blockSize, starts);
            blockMarked = true;
        }
        return NextMarked(starts, from, to);
    }
    // A line read on its own, in the block or carried over from an earlier filling.
    bool SearchLine(const Line& line);
    // Collects in ids every text of the line; true where there is any.
    bool SearchWhole(const unsigned char* bytes, std::size_t size);

    std::vector<std::string> texts;
    TextMatcher all;
    std::unique_ptr<TextMatcher> watch;  // the watched texts
    bool watching = true;                // any text is watched
    std::vector<std::uint64_t> stamp;    // the last search in which each text occurred
    std::uint64_t searches = 0;
    std::vector<std::uint32_t> ids;
    std::uint64_t fillings = 0;
    const unsigned char* block = nullptr;
    std::size_t blockSize = 0;
    bool blockMarked = false;
    StartMask starts;      // the block's, of the watched texts
    StartMask lineStarts;  // of one line, of every text
};

}  // namespace orvex::check

#endif
