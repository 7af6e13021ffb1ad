#include "LineTexts.h"

#include <functional>

namespace orvex::check {

std::uint64_t CountMarked(const PositionMask& mask, std::size_t from, std::size_t to) {
    std::uint64_t count = 0;
    for (std::size_t word = from / 64; word * 64 < to; ++word) {
        std::uint64_t bits = mask[word];
        if (word == from / 64) {
            bits &= ~std::uint64_t{0} << (from % 64);
        }
        if (to - word * 64 < 64) {
            bits &= (std::uint64_t{1} << (to - word * 64)) - 1;
        }
        count += CountBits(bits);
    }
    return count;
}

LineTexts::LineTexts(const std::vector<std::string>& texts) : matcher(texts), stamp(texts.size(), 0) {}

bool LineTexts::SearchLine(const Line& line) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.text);
    const std::less<const unsigned char*> before;
    if (block == nullptr || before(bytes, block) || before(block + blockSize, bytes + line.size)) {
        matcher.MarkStarts(bytes, line.size, lineStarts);
        return Scan(bytes, lineStarts, 0, line.size);
    }
    MarkBlock();
    const std::size_t from = Offset(line.text);
    return AnyMarked(starts, from, from + line.size) && Scan(block, starts, from, from + line.size);
}

bool LineTexts::Scan(const unsigned char* base, const StartMask& mask, std::size_t from, std::size_t to) {
    ids.clear();
    ++scans;
    matcher.Scan(base, mask, from, to, [this](std::uint32_t text) {
        if (stamp[text] != scans) {
            stamp[text] = scans;
            ids.push_back(text);
        }
    });
    return !ids.empty();
}

}  // namespace orvex::check
