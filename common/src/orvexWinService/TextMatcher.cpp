#include "TextMatcher.h"

#include <algorithm>
#include <cstddef>

namespace orvex {

namespace {
// Entries of the full transition rows (4 bytes each).
constexpr std::size_t denseBudget = std::size_t{64} * 1024;
}  // namespace

TextMatcher::TextMatcher(const std::vector<std::string>& texts) {
    BuildTrie(texts);
    LinkFailures();
    BuildTransitions();
    for (const std::string& text : texts) {
        const auto first = static_cast<unsigned char>(text[0]);
        startBytes[first] = true;
        if (text.size() == 1) {
            for (unsigned second = 0; second < 256; ++second) {
                SetPair(first, second);
            }
        } else {
            SetPair(first, static_cast<unsigned char>(text[1]));
        }
    }
#ifdef ORVEX_VECTOR_MASKS
    ChooseVectorStarts(texts);
#endif
}

#ifdef ORVEX_VECTOR_MASKS
void TextMatcher::ChooseVectorStarts(const std::vector<std::string>& texts) {
    if (!CollectVectorStarts(texts, 3) && !CollectVectorStarts(texts, 2)) {
        vectorStarts = 0;
    }
}

bool TextMatcher::CollectVectorStarts(const std::vector<std::string>& texts, std::size_t width) {
    std::size_t count = 0;
    for (const std::string& text : texts) {
        if (text.size() < width) {
            return false;
        }
        std::array<unsigned char, 3> start{};
        for (std::size_t k = 0; k < width; ++k) {
            start[k] = static_cast<unsigned char>(text[k]);
        }
        if (std::find(vectorStart.begin(), vectorStart.begin() + static_cast<std::ptrdiff_t>(count), start) !=
            vectorStart.begin() + static_cast<std::ptrdiff_t>(count)) {
            continue;
        }
        if (count == maxVectorStarts) {
            return false;
        }
        vectorStart[count] = start;
        ++count;
    }
    vectorStarts = count;
    vectorWidth = width;
    return count > 0;
}
#endif

void TextMatcher::BuildTrie(const std::vector<std::string>& texts) {
    // Built with sibling lists, then renumbered breadth first so that the
    // shallow states get the low numbers and the full rows.
    struct TrieNode {
        std::uint32_t firstChild;
        std::uint32_t nextSibling;
        std::uint32_t text;
        unsigned char byte;
    };
    std::vector<TrieNode> trie{TrieNode{0, 0, noText, 0}};
    for (std::size_t index = 0; index < texts.size(); ++index) {
        std::uint32_t node = 0;
        for (const char c : texts[index]) {
            const auto byte = static_cast<unsigned char>(c);
            std::uint32_t child = trie[node].firstChild;
            while (child != 0 && trie[child].byte != byte) {
                child = trie[child].nextSibling;
            }
            if (child == 0) {
                child = static_cast<std::uint32_t>(trie.size());
                trie.push_back(TrieNode{0, trie[node].firstChild, noText, byte});
                trie[node].firstChild = child;
            }
            node = child;
        }
        trie[node].text = static_cast<std::uint32_t>(index);
    }

    std::vector<std::uint32_t> order{0};  // old number of each new one
    order.reserve(trie.size());
    firstEdge.reserve(trie.size() + 1);
    nodeText.reserve(trie.size());
    edges.reserve(trie.size() - 1);
    std::vector<Edge> children;
    for (std::size_t head = 0; head < order.size(); ++head) {
        const TrieNode& node = trie[order[head]];
        children.clear();
        for (std::uint32_t child = node.firstChild; child != 0; child = trie[child].nextSibling) {
            children.push_back(Edge{trie[child].byte, child});
        }
        std::sort(children.begin(), children.end(), [](const Edge& a, const Edge& b) { return a.byte < b.byte; });
        firstEdge.push_back(static_cast<std::uint32_t>(edges.size()));
        nodeText.push_back(node.text);
        for (const Edge& child : children) {
            edges.push_back(Edge{child.byte, static_cast<std::uint32_t>(order.size())});
            order.push_back(child.target);
        }
    }
    firstEdge.push_back(static_cast<std::uint32_t>(edges.size()));
}

std::uint32_t TextMatcher::Child(std::uint32_t node, unsigned char byte) const {
    for (std::uint32_t e = firstEdge[node]; e < firstEdge[node + 1]; ++e) {
        if (edges[e].byte == byte) {
            return edges[e].target;
        }
    }
    return 0;
}

void TextMatcher::LinkFailures() {
    const auto count = static_cast<std::uint32_t>(nodeText.size());
    failure.assign(count, 0);
    nextOutput.assign(count, 0);
    // In breadth-first order a node's failure target is always done before it.
    for (std::uint32_t node = 0; node < count; ++node) {
        for (std::uint32_t e = firstEdge[node]; e < firstEdge[node + 1]; ++e) {
            const std::uint32_t child = edges[e].target;
            std::uint32_t fallback = 0;
            if (node != 0) {
                std::uint32_t candidate = failure[node];
                for (;;) {
                    fallback = Child(candidate, edges[e].byte);
                    if (fallback != 0 || candidate == 0) {
                        break;
                    }
                    candidate = failure[candidate];
                }
            }
            failure[child] = fallback;
            nextOutput[child] = nodeText[fallback] != noText ? fallback : nextOutput[fallback];
        }
    }
}

std::uint32_t TextMatcher::Flagged(std::uint32_t node) const {
    const bool output = nodeText[node] != noText || nextOutput[node] != 0;
    return output ? (CodeOf(node) | outputFlag) : CodeOf(node);
}

void TextMatcher::BuildTransitions() {
    // Bytes that occur in no text all share class 0, which always leads to the root.
    std::vector<unsigned char> classByte(1, 0);
    for (const Edge& edge : edges) {
        if (byteClass[edge.byte] == 0) {
            byteClass[edge.byte] = static_cast<std::uint16_t>(classByte.size());
            classByte.push_back(edge.byte);
        }
    }
    classCount = static_cast<std::uint32_t>(classByte.size());
    const std::size_t count = nodeText.size();
    denseStates = static_cast<std::uint32_t>(std::min(count, std::max<std::size_t>(1, denseBudget / classCount)));
    denseEnd = denseStates * classCount;

    dense.assign(denseEnd, 0);
    for (std::uint32_t node = 0; node < denseStates; ++node) {
        const std::size_t row = static_cast<std::size_t>(node) * classCount;
        const std::size_t fallbackRow = static_cast<std::size_t>(failure[node]) * classCount;
        for (std::size_t cls = 1; cls < classCount; ++cls) {
            const std::uint32_t child = Child(node, classByte[cls]);
            if (child != 0) {
                dense[row + cls] = Flagged(child);
            } else if (node != 0) {
                dense[row + cls] = dense[fallbackRow + cls];
            }
        }
    }
    for (Edge& edge : edges) {
        edge.target = Flagged(edge.target);
    }
}

void TextMatcher::MarkStarts(const unsigned char* bytes, std::size_t size, StartMask& mask) const {
    mask.resize((size + 63) / 64);
    std::size_t position = 0;
#ifdef ORVEX_VECTOR_MASKS
    // Three bytes of each start where every text has them, else two.
    const std::size_t starts = !VectorMarking() ? 0 : vectorWidth == 3 ? vectorStarts + maxVectorStarts : vectorStarts;
    switch (starts) {
        case 1:
            position = MarkStartsByVectors<1, 2>(bytes, size, mask.data());
            break;
        case 2:
            position = MarkStartsByVectors<2, 2>(bytes, size, mask.data());
            break;
        case 3:
            position = MarkStartsByVectors<3, 2>(bytes, size, mask.data());
            break;
        case 4:
            position = MarkStartsByVectors<4, 2>(bytes, size, mask.data());
            break;
        case maxVectorStarts + 1:
            position = MarkStartsByVectors<1, 3>(bytes, size, mask.data());
            break;
        case maxVectorStarts + 2:
            position = MarkStartsByVectors<2, 3>(bytes, size, mask.data());
            break;
        case maxVectorStarts + 3:
            position = MarkStartsByVectors<3, 3>(bytes, size, mask.data());
            break;
        case maxVectorStarts + 4:
            position = MarkStartsByVectors<4, 3>(bytes, size, mask.data());
            break;
        default:
            break;
    }
#endif
    // Whole words of positions whose pair lies in the block, then the rest.
    for (; position + 64 < size; position += 64) {
        std::uint64_t word = 0;
        for (unsigned k = 0; k < 64; ++k) {
            word |= PairBit(bytes + position + k) << k;
        }
        mask[position / 64] = word;
    }
    for (; position < size; ++position) {
        const std::uint64_t bit = std::uint64_t{1} << (position % 64);
        const bool start = position + 1 < size ? PairBit(bytes + position) != 0 : startBytes[bytes[position]];
        mask[position / 64] = (position % 64 == 0 ? 0 : mask[position / 64] & (bit - 1)) | (start ? bit : 0);
    }
}

#ifdef ORVEX_VECTOR_MASKS
namespace {

// The positions of sixteen bytes at which one of the starts begins.
template <std::size_t Starts, std::size_t Width>
ORVEX_VECTOR_STEP std::uint64_t StartsIn(const unsigned char* at, const __m128i (&wanted)[Starts][Width]) {
    __m128i lanes[Width];
    for (std::size_t b = 0; b < Width; ++b) {
        lanes[b] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + b));
    }
    __m128i hits = _mm_setzero_si128();
    for (std::size_t k = 0; k < Starts; ++k) {
        __m128i all = _mm_cmpeq_epi8(lanes[0], wanted[k][0]);
        for (std::size_t b = 1; b < Width; ++b) {
            all = _mm_and_si128(all, _mm_cmpeq_epi8(lanes[b], wanted[k][b]));
        }
        hits = _mm_or_si128(hits, all);
    }
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)));
}

}  // namespace

// Marks whole words of 64 positions, four vectors of sixteen each, while the
// bytes of the last start of the word lie in the block; returns the first
// position not marked. The rest is marked from the pair table, which marks as
// much or more.
template <std::size_t Starts, std::size_t Width>
ORVEX_VECTOR_TARGET std::size_t TextMatcher::MarkStartsByVectors(const unsigned char* bytes, std::size_t size,
                                                                 std::uint64_t* words) const {
    __m128i wanted[Starts][Width];
    for (std::size_t k = 0; k < Starts; ++k) {
        for (std::size_t b = 0; b < Width; ++b) {
            wanted[k][b] = _mm_set1_epi8(static_cast<char>(vectorStart[k][b]));
        }
    }
    std::size_t position = 0;
    for (; position + 64 + Width - 1 <= size; position += 64) {
        const unsigned char* at = bytes + position;
        words[position / 64] = StartsIn(at, wanted) | StartsIn(at + 16, wanted) << 16U |
                               StartsIn(at + 32, wanted) << 32U | StartsIn(at + 48, wanted) << 48U;
    }
    return position;
}
#endif

void TextMatcher::SetPair(unsigned first, unsigned second) {
    const unsigned pair = (first << 8U) | second;
    startPairs[pair / 64] |= std::uint64_t{1} << (pair % 64);
}

}  // namespace orvex
