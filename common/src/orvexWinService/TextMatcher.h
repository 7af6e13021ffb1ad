// Finds every occurrence of a set of texts in one pass over a line.
#ifndef ORVEX_TEXT_MATCHER_H
#define ORVEX_TEXT_MATCHER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "PositionMask.h"

namespace orvex {

// Candidate starts of a block of bytes.
using StartMask = PositionMask;

// Aho-Corasick automaton over a set of distinct, non-empty texts. The states
// nearest the root, where a scan spends most of its steps, get a full
// transition row; deeper states keep only their own edges and fall back along
// failure links, so memory stays bounded however long the texts are.
//
// A scan leaves the root only at candidate starts: positions whose pair of
// bytes can begin a text. They are marked for a whole block of bytes at a
// time, so that the lines of the block cost little more than a look at their
// bits; where the processor has SSE2, sixteen positions are marked at once.
//
// A state is held as a code: the offset of its row for a state with a full
// row, else the number past the rows; the top bit marks states where a text ends.
class TextMatcher {
public:
    static constexpr std::uint32_t noText = std::numeric_limits<std::uint32_t>::max();

    explicit TextMatcher(const std::vector<std::string>& texts);

    // Marks the candidate starts of [bytes, bytes + size). Every position
    // where a text occurs is marked; the last byte is marked when a text
    // begins with it, whatever would follow.
    void MarkStarts(const unsigned char* bytes, std::size_t size, StartMask& mask) const;

    // Calls report(textIndex) for every occurrence of a text that lies wholly
    // in [from, to) of the block at base, whose starts are marked in mask.
    template <typename Report>
    void Scan(const unsigned char* base, const StartMask& mask, std::size_t from, std::size_t to,
              Report&& report) const {
        Walk(base, mask, from, to, [this, &report](std::uint32_t state) {
            for (std::uint32_t node = NodeOf(state); node != 0; node = nextOutput[node]) {
                if (nodeText[node] != noText) {
                    report(nodeText[node]);
                }
            }
            return true;
        });
    }

    // True when a text lies wholly in [from, to) of the block at base, whose
    // starts are marked in mask; the walk ends at the first one.
    bool Holds(const unsigned char* base, const StartMask& mask, std::size_t from, std::size_t to) const {
        bool held = false;
        Walk(base, mask, from, to, [&held](std::uint32_t /*state*/) {
            held = true;
            return false;
        });
        return held;
    }

private:
    static constexpr std::uint32_t outputFlag = 0x80000000U;
    static constexpr std::uint32_t codeMask = 0x7FFFFFFFU;

    struct Edge {
        unsigned char byte;
        std::uint32_t target;  // a node while building, then its code
    };

    void BuildTrie(const std::vector<std::string>& texts);
    std::uint32_t Child(std::uint32_t node, unsigned char byte) const;
    void LinkFailures();
    void BuildTransitions();
    void SetPair(unsigned first, unsigned second);
    std::uint32_t CodeOf(std::uint32_t node) const {
        return node < denseStates ? node * classCount : denseEnd + (node - denseStates);
    }
    std::uint32_t Flagged(std::uint32_t node) const;

    std::uint32_t NodeOf(std::uint32_t code) const {
        const std::uint32_t plain = code & codeMask;
        return plain < denseEnd ? plain / classCount : plain - denseEnd + denseStates;
    }

    std::uint32_t Next(std::uint32_t state, unsigned char byte) const {
        std::uint32_t code = state & codeMask;
        while (code >= denseEnd) {
            const std::uint32_t node = code - denseEnd + denseStates;
            for (std::uint32_t e = firstEdge[node]; e < firstEdge[node + 1]; ++e) {
                if (edges[e].byte == byte) {
                    return edges[e].target;
                }
            }
            code = CodeOf(failure[node]);
        }
        return dense[code + byteClass[byte]];
    }

    // Runs the automaton over [from, to), leaving the root only at marked
    // starts; calls ended(state) where a text ends, until it returns false.
    template <typename Ended>
    void Walk(const unsigned char* base, const StartMask& mask, std::size_t from, std::size_t to,
              Ended&& ended) const {
        std::size_t position = from;
        std::uint32_t state = 0;
        for (;;) {
            if (state == 0) {
                position = NextMarked(mask, position, to);
            }
            if (position == to) {
                return;
            }
            state = Next(state, base[position]);
            ++position;
            if ((state & outputFlag) != 0 && !ended(state)) {
                return;
            }
        }
    }

    std::uint64_t PairBit(const unsigned char* position) const {
        const unsigned pair = (static_cast<unsigned>(position[0]) << 8U) | position[1];
        return (startPairs[pair / 64] >> (pair % 64)) & 1U;
    }

#ifdef ORVEX_VECTOR_MASKS
    // Chooses the starts that the vectors look for: the distinct first three
    // bytes of the texts, else their first two, when they are few enough.
    void ChooseVectorStarts(const std::vector<std::string>& texts);
    bool CollectVectorStarts(const std::vector<std::string>& texts, std::size_t width);
    template <std::size_t Starts, std::size_t Width>
    ORVEX_VECTOR_TARGET std::size_t MarkStartsByVectors(const unsigned char* bytes, std::size_t size,
                                                        std::uint64_t* words) const;

    static constexpr std::size_t maxVectorStarts = 4;
    std::size_t vectorStarts = 0;  // 0: the table looks for the starts
    std::size_t vectorWidth = 0;   // bytes of each start: 2 or 3
    std::array<std::array<unsigned char, 3>, maxVectorStarts> vectorStart{};
#endif

    std::vector<std::uint32_t> firstEdge;  // edges of node n: [firstEdge[n], firstEdge[n + 1])
    std::vector<Edge> edges;
    std::vector<std::uint32_t> nodeText;    // index of the text ending at a node, or noText
    std::vector<std::uint32_t> failure;     // node of the longest proper suffix in the trie
    std::vector<std::uint32_t> nextOutput;  // nearest node on the failure chain where a text ends
    std::array<std::uint16_t, 256> byteClass{};
    std::uint32_t classCount = 1;
    std::uint32_t denseStates = 1;
    std::uint32_t denseEnd = 1;
    std::vector<std::uint32_t> dense;  // full rows of the states below denseStates
    std::array<bool, 256> startBytes{};
    std::array<std::uint64_t, 1024> startPairs{};
};

}  // namespace orvex

#endif
