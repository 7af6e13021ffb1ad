// Component definitions reader and status log scan.
//
// Both product files are read as bytes with the same line rules on every
// platform: a line ends at a line feed, a carriage return right before the
// line feed is dropped, a byte 0 ends the line's text, Ctrl-Z ends the file,
// and a line keeps at most 255 characters (the rest of it is ignored).
//
// The scan looks for all texts of all components at once: one automaton over
// the distinct texts marks which of them occur in a line, and only the
// components indexed under one of those texts are then examined.
#include "StatusChecker.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <ios>
#include <istream>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace orvex {
namespace {

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::ios_base::failure OpeningFailure(const std::string& path) {
    const std::string message = "Failure while opening file: " + path;
    std::ios_base::failure failure(message);
    // The library may append the error category's text to what(); callers
    // report what() as it is, so the base keeps the message alone.
    static_cast<std::runtime_error&>(failure) = std::runtime_error(message);
    return failure;
}

// Splits a byte stream into lines, reading it in fixed chunks.
class LineReader {
public:
    explicit LineReader(std::istream& input) : input(input), chunk(chunkSize) {}

    // Appends the text of the next line to out; false once every line has been
    // read. A file always has one line more than it has line feeds.
    bool ReadLine(std::string& out) {
        if (finished) {
            return false;
        }
        std::size_t kept = 0;
        bool cut = false;  // a byte 0 or the length limit ended the text
        for (;;) {
            if (next == filled && !Refill()) {
                finished = true;
                return true;
            }
            const char* begin = chunk.data() + next;
            const auto available = filled - next;
            const auto* feed = static_cast<const char*>(std::memchr(begin, '\n', available));
            const std::size_t piece = feed != nullptr ? static_cast<std::size_t>(feed - begin) : available;
            if (!cut) {
                const std::size_t room = maxLineLength - kept;
                std::size_t length = std::min(piece, room);
                const auto* zero = static_cast<const char*>(std::memchr(begin, '\0', length));
                if (zero != nullptr) {
                    length = static_cast<std::size_t>(zero - begin);
                    cut = true;
                } else if (piece > room) {
                    cut = true;
                }
                out.append(begin, length);
                kept += length;
            }
            if (feed == nullptr) {
                next = filled;
                continue;
            }
            next += piece + 1;
            // Every byte of this line was kept, so a carriage return at the
            // end of the text is the one right before the line feed.
            if (!cut && kept > 0 && out.back() == '\r') {
                out.pop_back();
            }
            return true;
        }
    }

private:
    static constexpr std::size_t chunkSize = std::size_t{64} * 1024;

    bool Refill() {
        next = 0;
        filled = 0;
        if (ended) {
            return false;
        }
        input.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        filled = static_cast<std::size_t>(input.gcount());
        if (filled < chunk.size()) {
            ended = true;
        }
        const auto* stop = static_cast<const char*>(std::memchr(chunk.data(), '\x1A', filled));
        if (stop != nullptr) {
            filled = static_cast<std::size_t>(stop - chunk.data());
            ended = true;
        }
        return filled > 0;
    }

    std::istream& input;
    std::vector<char> chunk;
    std::size_t next = 0;
    std::size_t filled = 0;
    bool ended = false;     // nothing more comes from the stream
    bool finished = false;  // the last line has been returned
};

// Aho-Corasick automaton over a set of distinct texts. The states nearest the
// root, where a scan spends most of its steps, get a full transition row;
// deeper states keep only their own edges and fall back along failure links,
// so memory stays bounded however long the texts are. From the root, the scan
// skips ahead to the next pair of bytes that can begin a text.
//
// A state is held as a code: the offset of its row for a state with a full
// row, else the number past the rows; the top bit marks states where a text ends.
class TextMatcher {
public:
    static constexpr std::uint32_t noText = std::numeric_limits<std::uint32_t>::max();

    explicit TextMatcher(const std::vector<std::string>& texts) {
        BuildTrie(texts);
        LinkFailures();
        BuildTransitions();
        for (const std::string& text : texts) {
            const auto first = static_cast<unsigned char>(text[0]);
            startBytes[first] = true;
            if (text.size() == 1) {
                singleStarts[first] = true;
                for (unsigned second = 0; second < 256; ++second) {
                    SetPair(first, second);
                }
            } else {
                SetPair(first, static_cast<unsigned char>(text[1]));
            }
        }
    }

    // Calls report(textIndex) for every occurrence of a text in [begin, end).
    template <typename Report>
    void Scan(const unsigned char* begin, const unsigned char* end, Report&& report) const {
        const unsigned char* position = begin;
        std::uint32_t state = 0;
        for (;;) {
            if (state == 0) {
                while (position + 1 < end && !MayStart(position)) {
                    ++position;
                }
                if (position == end || (position + 1 == end && !singleStarts[*position])) {
                    return;
                }
            } else if (position == end) {
                return;
            }
            state = Next(state, *position);
            ++position;
            if ((state & outputFlag) != 0) {
                for (std::uint32_t node = NodeOf(state); node != 0; node = nextOutput[node]) {
                    if (nodeText[node] != noText) {
                        report(nodeText[node]);
                    }
                }
            }
        }
    }

private:
    static constexpr std::uint32_t outputFlag = 0x80000000U;
    static constexpr std::uint32_t codeMask = 0x7FFFFFFFU;
    // Entries of the full transition rows (4 bytes each).
    static constexpr std::size_t denseBudget = std::size_t{64} * 1024;

    struct Edge {
        unsigned char byte;
        std::uint32_t target;  // a node while building, then its code
    };

    void BuildTrie(const std::vector<std::string>& texts) {
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

    std::uint32_t Child(std::uint32_t node, unsigned char byte) const {
        for (std::uint32_t e = firstEdge[node]; e < firstEdge[node + 1]; ++e) {
            if (edges[e].byte == byte) {
                return edges[e].target;
            }
        }
        return 0;
    }

    void LinkFailures() {
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

    std::uint32_t CodeOf(std::uint32_t node) const {
        return node < denseStates ? node * classCount : denseEnd + (node - denseStates);
    }

    std::uint32_t NodeOf(std::uint32_t code) const {
        const std::uint32_t plain = code & codeMask;
        return plain < denseEnd ? plain / classCount : plain - denseEnd + denseStates;
    }

    std::uint32_t Flagged(std::uint32_t node) const {
        const bool output = nodeText[node] != noText || nextOutput[node] != 0;
        return output ? (CodeOf(node) | outputFlag) : CodeOf(node);
    }

    void BuildTransitions() {
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

    void SetPair(unsigned first, unsigned second) {
        const unsigned pair = (first << 8U) | second;
        startPairs[pair / 64] |= std::uint64_t{1} << (pair % 64);
    }

    bool MayStart(const unsigned char* position) const {
        if (!startBytes[position[0]]) {
            return false;
        }
        const unsigned pair = (static_cast<unsigned>(position[0]) << 8U) | position[1];
        return ((startPairs[pair / 64] >> (pair % 64)) & 1U) != 0;
    }

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
    std::array<bool, 256> singleStarts{};
    std::array<std::uint64_t, 1024> startPairs{};
};

// The distinct texts of a rule table, and the three text indexes of each rule.
struct TextTable {
    std::vector<std::string> texts;
    std::vector<std::array<std::uint32_t, 3>> ruleTexts;
};

TextTable IndexTexts(const std::vector<ComponentRule>& components) {
    TextTable table;
    std::unordered_map<std::string, std::uint32_t> ids;
    table.ruleTexts.reserve(components.size());
    for (const ComponentRule& rule : components) {
        std::array<std::uint32_t, 3> entry{};
        const std::array<const std::string*, 3> texts{&rule.text1, &rule.text2, &rule.text3};
        for (std::size_t k = 0; k < texts.size(); ++k) {
            const auto inserted = ids.emplace(*texts[k], static_cast<std::uint32_t>(table.texts.size()));
            if (inserted.second) {
                table.texts.push_back(*texts[k]);
            }
            entry[k] = inserted.first->second;
        }
        table.ruleTexts.push_back(entry);
    }
    return table;
}

// Decides, line by line, which component a log line marks.
class ComponentMatcher {
public:
    static constexpr std::size_t noComponent = std::numeric_limits<std::size_t>::max();

    explicit ComponentMatcher(const std::vector<ComponentRule>& components)
        : ComponentMatcher(components, IndexTexts(components)) {}

    bool AllFound() const { return remaining == 0; }

    // Marks and returns the first component in table order, among those not
    // yet marked, whose three texts all occur in the line; noComponent when
    // there is none.
    std::size_t MarkLine(const char* line, std::size_t length) {
        ++currentLine;
        wokenKeys.clear();
        const auto* bytes = reinterpret_cast<const unsigned char*>(line);
        matcher.Scan(bytes, bytes + length, [this](std::uint32_t text) {
            if (lineStamp[text] != currentLine) {
                lineStamp[text] = currentLine;
                if (!candidates[text].empty()) {
                    wokenKeys.push_back(text);
                }
            }
        });
        std::size_t best = noComponent;
        for (const std::uint32_t key : wokenKeys) {
            for (const std::uint32_t index : candidates[key]) {
                if (index >= best) {
                    break;  // each list is in table order
                }
                const auto& ids = ruleTexts[index];
                if (lineStamp[ids[0]] == currentLine && lineStamp[ids[1]] == currentLine &&
                    lineStamp[ids[2]] == currentLine) {
                    best = index;
                    break;
                }
            }
        }
        if (best != noComponent) {
            auto& list = candidates[keyText[best]];
            list.erase(std::find(list.begin(), list.end(), static_cast<std::uint32_t>(best)));
            --remaining;
        }
        return best;
    }

private:
    ComponentMatcher(const std::vector<ComponentRule>& components, TextTable table)
        : matcher(table.texts),
          ruleTexts(std::move(table.ruleTexts)),
          keyText(components.size(), 0),
          lineStamp(table.texts.size(), 0),
          candidates(table.texts.size()) {
        // Each component is indexed under the one of its texts that the fewest
        // components share, so that a line wakes as few candidates as possible.
        std::vector<std::size_t> sharedBy(table.texts.size(), 0);
        for (const auto& ids : ruleTexts) {
            ++sharedBy[ids[0]];
            if (ids[1] != ids[0]) {
                ++sharedBy[ids[1]];
            }
            if (ids[2] != ids[0] && ids[2] != ids[1]) {
                ++sharedBy[ids[2]];
            }
        }
        for (std::size_t index = 0; index < components.size(); ++index) {
            if (components[index].found) {
                continue;
            }
            const auto& ids = ruleTexts[index];
            const auto fewerShare = [&sharedBy](std::uint32_t a, std::uint32_t b) { return sharedBy[a] < sharedBy[b]; };
            const std::uint32_t key = *std::min_element(ids.begin(), ids.end(), fewerShare);
            keyText[index] = key;
            candidates[key].push_back(static_cast<std::uint32_t>(index));
            ++remaining;
        }
    }

    TextMatcher matcher;
    std::vector<std::array<std::uint32_t, 3>> ruleTexts;
    std::vector<std::uint32_t> keyText;                   // the text each component is indexed under
    std::vector<std::size_t> lineStamp;                   // the last line in which each text occurred
    std::vector<std::vector<std::uint32_t>> candidates;   // per text: unmarked components indexed under it
    std::vector<std::uint32_t> wokenKeys;                 // texts of this line with candidates
    std::size_t currentLine = 0;
    std::size_t remaining = 0;
};

}  // namespace

std::string SkipLeadingSpace(const std::string& text, std::size_t start) {
    std::size_t position = std::min(start, text.size());
    while (position < text.size() && IsWhiteSpace(text[position])) {
        ++position;
    }
    return text.substr(position);
}

std::string NextToken(const std::string& value, std::size_t& position) {
    position = std::min(position, value.size());
    while (position < value.size() && value[position] == ',') {
        ++position;
    }
    const std::size_t begin = position;
    const std::size_t comma = value.find(',', begin);
    position = comma == std::string::npos ? value.size() : comma;
    return value.substr(begin, position - begin);
}

std::vector<ComponentRule> LoadComponentRules(const std::string& path) {
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        throw OpeningFailure(path);
    }
    std::vector<ComponentRule> rules;
    LineReader reader(file);
    std::string line;
    while (reader.ReadLine(line)) {
        const std::string text = SkipLeadingSpace(line, 0);
        line.clear();
        if (text.empty() || text[0] == '#' || text[0] == '!') {
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string value = SkipLeadingSpace(text, equals + 1);
        std::size_t position = 0;
        ComponentRule rule;
        rule.text1 = NextToken(value, position);
        rule.text2 = SkipLeadingSpace(NextToken(value, position), 0);
        rule.text3 = SkipLeadingSpace(NextToken(value, position), 0);
        if (!rule.text1.empty() && !rule.text2.empty() && !rule.text3.empty()) {
            rules.push_back(std::move(rule));
        }
    }
    return rules;
}

StatusChecker::StatusChecker(const std::string& propertiesPath, const std::string& logPath)
    : components(LoadComponentRules(propertiesPath)), logPath(logPath), statusText(statusTextHeader) {}

bool StatusChecker::Check() {
    std::ifstream log(logPath, std::ios::in | std::ios::binary);
    if (!log.is_open()) {
        throw OpeningFailure(logPath);
    }
    // Room for the whole log at once: the status text is the log's lines
    // under the header, at most one line feed longer than the file.
    log.seekg(0, std::ios::end);
    const std::streamoff size = log.tellg();
    log.seekg(0, std::ios::beg);
    if (size > 0 && static_cast<unsigned long long>(size) < statusText.max_size() - statusText.size() - 1) {
        statusText.reserve(statusText.size() + static_cast<std::size_t>(size) + 1);
    }
    log.clear();

    ComponentMatcher matcher(components);
    LineReader reader(log);
    for (;;) {
        const std::size_t start = statusText.size();
        if (!reader.ReadLine(statusText)) {
            break;
        }
        const std::size_t length = statusText.size() - start;
        statusText.push_back('\n');
        if (length > 0 && !matcher.AllFound()) {
            const std::size_t marked = matcher.MarkLine(statusText.data() + start, length);
            if (marked != ComponentMatcher::noComponent) {
                components[marked].found = true;
            }
        }
    }

    bool verdict = true;
    for (const ComponentRule& rule : components) {
        if (!rule.found) {
            verdict = false;
            failedComponents.push_back(rule.text1);
        }
    }
    scanned = true;
    return verdict;
}

std::string StatusChecker::GetStatusText() const& {
    return statusText;
}

std::string StatusChecker::GetStatusText() && {
    return std::move(statusText);
}

std::vector<std::string> StatusChecker::GetFailedComponents() {
    if (!scanned) {
        Check();
    }
    return failedComponents;
}

const std::vector<ComponentRule>& StatusChecker::GetComponents() const {
    return components;
}

}  // namespace orvex
