#include "LineTexts.h"

#include <algorithm>
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

LineTexts::LineTexts(const std::vector<std::string>& texts)
    : texts(texts), all(texts), watch(new TextMatcher(texts)), stamp(texts.size(), 0) {}

void LineTexts::Watch(const std::vector<std::uint32_t>& watched) {
    watching = !watched.empty();
    if (watching) {
        std::vector<std::string> chosen(watched.size());
        std::transform(watched.begin(), watched.end(), chosen.begin(), [this](std::uint32_t id) { return texts[id]; });
        watch.reset(new TextMatcher(chosen));
        blockMarked = false;
    }
}

bool LineTexts::SearchLine(const Line& line) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(line.text);
    const std::less<const unsigned char*> before;
    if (block == nullptr || before(bytes, block) || before(block + blockSize, bytes + line.size)) {
        return SearchWhole(bytes, line.size);
    }
    const std::size_t from = Offset(line.text);
    const std::size_t to = from + line.size;
    return NextStart(from, to) != to && watch->Holds(block, starts, from, to) && SearchWhole(bytes, line.size);
}

bool LineTexts::SearchWhole(const unsigned char* bytes, std::size_t size) {
    ids.clear();
    ++searches;
    all.MarkStarts(bytes, size, lineStarts);
    all.Scan(bytes, lineStarts, 0, size, [this](std::uint32_t text) {
        if (stamp[text] != searches) {
            stamp[text] = searches;
            ids.push_back(text);
        }
    });
    return !ids.empty();
}

}  // namespace orvex::check
