// Reads a product file line by line, in one fixed buffer, with the line rules
// that both product files share on every platform: a line ends at a line feed,
// a carriage return right before the line feed is dropped, a byte 0 ends the
// line's text, Ctrl-Z ends the file, and a line keeps at most 255 characters
// (the rest of it is read and ignored). Memory does not depend on the file.
#ifndef ORVEX_LINE_READER_H
#define ORVEX_LINE_READER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "PositionMask.h"
#include "ProductFile.h"
#include "StatusChecker.h"

namespace orvex {

// The kept text of one line and what the line rules took from it.
struct Line {
    const char* text = nullptr;  // valid until the next read
    std::size_t size = 0;
    bool cut = false;      // characters after the 255th were ignored
    bool hadZero = false;  // a byte 0 ended the text early
    bool ctrlZ = false;    // a Ctrl-Z in this line ended the file
};

// Whole lines that lie one after the other in the buffer, each short and
// holding no carriage return or byte 0, each with its line feed: their kept
// texts, line feeds included, are exactly these bytes.
struct Run {
    const char* text = nullptr;  // valid until the buffer is filled again
    std::size_t size = 0;
    std::uint64_t lines = 0;
};

class LineReader {
public:
    // Opens the file read-only, as a ProductFile; throws OpeningFailure(path)
    // when it cannot be opened. Reading throws ReadingFailure(path) where a
    // read fails: what was read before is never taken for the whole file.
    explicit LineReader(const std::string& path);

    // The next line; false once every line has been read. A file always has
    // one line more than it has line feeds (before any Ctrl-Z).
    bool Next(Line& line) {
        // Most lines lie whole in the buffer, are short and hold no byte 0:
        // the next line feed is the lowest bit left in the mask of line feeds.
        if (!chunkHasZero) {
            while (feedBits == 0 && feedWord + 1 < feeds.size()) {
                feedBits = feeds[++feedWord];
            }
            if (feedBits != 0) {
                const std::size_t feed = feedWord * 64 + LowestBit(feedBits);
                if (feed - next <= maxLength) {
                    feedBits &= feedBits - 1;
                    const char* begin = chunk.get() + next;
                    const std::size_t piece = feed - next;
                    next = feed + 1;
                    const bool crBeforeFeed = piece > 0 && begin[piece - 1] == '\r';
                    line.text = begin;
                    line.size = crBeforeFeed ? piece - 1 : piece;
                    line.cut = false;
                    line.hadZero = false;
                    line.ctrlZ = false;
                    return true;
                }
            }
        }
        return NextSlowly(line);
    }

    // The lines from here on that can be taken as one run; false where the next
    // line is not such a line (it may hold a carriage return or a byte 0, be
    // too long or run past the buffer); Next reads that one. Once a carriage
    // return or a byte 0 has stopped a run, the rest of the buffer is read line
    // by line.
    bool NextRun(Run& run);
    // The line feeds of the buffer.
    const PositionMask& Feeds() const { return feeds; }

    // The buffer that lines are read from, and how many times it was filled:
    // a line's text lies in it unless the line ran past the end of a filling.
    const char* Buffer() const { return chunk.get(); }
    std::size_t BufferSize() const { return filled; }
    std::uint64_t Fillings() const { return fillings; }

private:
    static constexpr std::size_t chunkSize = std::size_t{64} * 1024;
    static constexpr std::size_t maxLength = maxLineLength;

    bool NextSlowly(Line& line);
    // Points the line feed iterator at the first line feed from next on.
    void SyncFeeds();
    bool Refill();
    // Adds a piece of the current line to the carried text, under the limit.
    void Carry(const char* piece, std::size_t size);

    ProductFile file;
    std::unique_ptr<char[]> chunk;
    std::size_t next = 0;
    std::size_t filled = 0;
    PositionMask feeds;             // the line feeds of the buffer
    std::size_t feedWord = 0;       // the word of feeds being read
    std::uint64_t feedBits = 0;     // its line feeds from next on
    bool chunkHasZero = false;
    bool runsPaused = false;  // a carriage return or a byte 0 stopped a run in this buffer
    std::uint64_t fillings = 0;
    bool ended = false;     // nothing more comes from the file
    bool finished = false;  // the last line has been returned
    bool ctrlZ = false;
    // A line that runs past the end of the buffer is carried here, cut to its kept text.
    std::array<char, maxLength + 1> carried{};
    std::size_t carriedSize = 0;
    std::uint64_t carriedRaw = 0;  // bytes of the line so far, before its line feed
    char lastRaw = '\0';           // the last of them
    bool carriedZero = false;
};

}  // namespace orvex

#endif
