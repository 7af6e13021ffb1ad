#include "LineReader.h"

#include <algorithm>
#include <cstring>

namespace orvex {

LineReader::LineReader(const std::string& path) : file(path), chunk(new char[chunkSize]) {}

bool LineReader::Refill() {
    next = 0;
    filled = 0;
    if (ended) {
        return false;
    }
    filled = file.Read(chunk.get(), chunkSize);
    if (filled < chunkSize) {
        ended = true;
    }
    const auto* stop = static_cast<const char*>(std::memchr(chunk.get(), '\x1A', filled));
    if (stop != nullptr) {
        filled = static_cast<std::size_t>(stop - chunk.get());
        ended = true;
        ctrlZ = true;
    }
    chunkHasZero = std::memchr(chunk.get(), '\0', filled) != nullptr;
    runsPaused = false;
    MarkByte(reinterpret_cast<const unsigned char*>(chunk.get()), filled, '\n', feeds);
    ++fillings;
    SyncFeeds();
    return filled > 0;
}

bool LineReader::NextRun(Run& run) {
    if (runsPaused || next >= filled) {
        return false;
    }
    // A run ends before a carriage return or a byte 0, and at the last line
    // feed before them that ends no line longer than the limit.
    const char* begin = chunk.get() + next;
    std::size_t limit = filled;
    for (const char stop : {'\r', '\0'}) {
        if (stop == '\0' && !chunkHasZero) {
            continue;
        }
        const auto* found = static_cast<const char*>(std::memchr(begin, stop, limit - next));
        if (found != nullptr) {
            limit = static_cast<std::size_t>(found - chunk.get());
        }
    }
    std::size_t lineStart = next;
    std::uint64_t lines = 0;
    bool tooLong = false;
    for (std::size_t word = next / 64; word * 64 < limit && !tooLong; ++word) {
        std::uint64_t bits = feeds[word];
        if (word == next / 64) {
            bits &= ~std::uint64_t{0} << (next % 64);
        }
        if (limit - word * 64 < 64) {
            bits &= (std::uint64_t{1} << (limit - word * 64)) - 1;
        }
        if (bits == 0) {
            continue;
        }
        // Lines within one word are shorter than 64 characters.
        tooLong = word * 64 + LowestBit(bits) - lineStart > maxLength;
        if (!tooLong) {
            lines += CountBits(bits);
            lineStart = word * 64 + HighestBit(bits) + 1;
        }
    }
    if (lines == 0) {
        runsPaused = !tooLong && limit < filled;
        return false;
    }
    run.text = begin;
    run.size = lineStart - next;
    run.lines = lines;
    next = lineStart;
    SyncFeeds();
    return true;
}

void LineReader::SyncFeeds() {
    feedWord = next / 64;
    feedBits = feedWord < feeds.size() ? feeds[feedWord] >> (next % 64) << (next % 64) : 0;
}

void LineReader::Carry(const char* piece, std::size_t size) {
    if (size == 0) {
        return;
    }
    carriedRaw += size;
    lastRaw = piece[size - 1];
    if (carriedZero || carriedSize == maxLength) {
        return;
    }
    std::size_t take = std::min(size, maxLength - carriedSize);
    if (chunkHasZero) {
        const auto* zero = static_cast<const char*>(std::memchr(piece, '\0', take));
        if (zero != nullptr) {
            take = static_cast<std::size_t>(zero - piece);
            carriedZero = true;
        }
    }
    std::memcpy(carried.data() + carriedSize, piece, take);
    carriedSize += take;
}

bool LineReader::NextSlowly(Line& line) {
    if (finished) {
        return false;
    }
    carriedSize = 0;
    carriedRaw = 0;
    carriedZero = false;
    lastRaw = '\0';
    bool carrying = false;
    for (;;) {
        if (next == filled && !Refill()) {
            // The last line ends with the file: no line feed, so a final
            // carriage return is an ordinary character.
            finished = true;
            line.text = carried.data();
            line.size = carriedSize;
            line.cut = carriedRaw > maxLength;
            line.hadZero = carriedZero;
            line.ctrlZ = ctrlZ;
            return true;
        }
        const char* begin = chunk.get() + next;
        const std::size_t available = filled - next;
        const auto* feed = static_cast<const char*>(std::memchr(begin, '\n', available));
        if (feed == nullptr) {
            Carry(begin, available);
            carrying = true;
            next = filled;
            continue;
        }
        const auto piece = static_cast<std::size_t>(feed - begin);
        next += piece + 1;
        if (carrying) {
            Carry(begin, piece);
        } else {
            // The whole line lies in the buffer: the text is a view into it.
            std::size_t length = std::min(piece, maxLength);
            bool zero = false;
            if (chunkHasZero) {
                const auto* found = static_cast<const char*>(std::memchr(begin, '\0', length));
                if (found != nullptr) {
                    length = static_cast<std::size_t>(found - begin);
                    zero = true;
                }
            }
            const bool crBeforeFeed = piece > 0 && begin[piece - 1] == '\r';
            if (!zero && crBeforeFeed && piece <= maxLength) {
                --length;
            }
            line.text = begin;
            line.size = length;
            line.cut = piece - (crBeforeFeed ? 1 : 0) > maxLength;
            line.hadZero = zero;
            line.ctrlZ = false;
            SyncFeeds();
            return true;
        }
        const bool crBeforeFeed = carriedRaw > 0 && lastRaw == '\r';
        // Every byte of a line this short was kept, the carriage return last.
        if (!carriedZero && crBeforeFeed && carriedRaw <= maxLength) {
            --carriedSize;
        }
        line.text = carried.data();
        line.size = carriedSize;
        line.cut = carriedRaw - (crBeforeFeed ? 1 : 0) > maxLength;
        line.hadZero = carriedZero;
        line.ctrlZ = false;
        SyncFeeds();
        return true;
    }
}

}  // namespace orvex
