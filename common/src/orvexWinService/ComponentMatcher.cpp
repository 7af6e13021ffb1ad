#include "ComponentMatcher.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

namespace orvex {

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

namespace {

// The anchor of each component: of its texts, the one the fewest components
// share; on a tie the earliest, so a component's name before its other texts.
std::vector<std::uint32_t> ChooseAnchors(const std::vector<std::array<std::uint32_t, 3>>& ruleTexts,
                                      std::size_t textCount) {
    std::vector<std::size_t> sharedBy(textCount, 0);
    for (const auto& ids : ruleTexts) {
        ++sharedBy[ids[0]];
        if (ids[1] != ids[0]) {
            ++sharedBy[ids[1]];
        }
        if (ids[2] != ids[0] && ids[2] != ids[1]) {
            ++sharedBy[ids[2]];
        }
    }
    std::vector<std::uint32_t> anchors(ruleTexts.size());
    const auto fewerShare = [&sharedBy](std::uint32_t a, std::uint32_t b) { return sharedBy[a] < sharedBy[b]; };
    std::transform(ruleTexts.begin(), ruleTexts.end(), anchors.begin(),
                   [&fewerShare](const auto& ids) { return *std::min_element(ids.begin(), ids.end(), fewerShare); });
    return anchors;
}

// The distinct anchors of the components not yet found.
std::vector<std::string> AnchorTexts(const std::vector<std::string>& texts, const std::vector<std::uint32_t>& anchorText,
                                  const std::vector<ComponentRule>& components) {
    std::vector<bool> taken(texts.size(), false);
    std::vector<std::string> anchors;
    for (std::size_t index = 0; index < components.size(); ++index) {
        if (!components[index].found && !taken[anchorText[index]]) {
            taken[anchorText[index]] = true;
            anchors.push_back(texts[anchorText[index]]);
        }
    }
    return anchors;
}

}  // namespace

ComponentMatcher::ComponentMatcher(const std::vector<ComponentRule>& components, Search search)
    : ComponentMatcher(components, search, IndexTexts(components)) {}

ComponentMatcher::ComponentMatcher(const std::vector<ComponentRule>& components, Search search, TextTable&& table)
    : search(search),
      matcher(table.texts),
      ruleTexts(std::move(table.ruleTexts)),
      anchorText(ChooseAnchors(ruleTexts, table.texts.size())),
      anchors(search == Search::anchorLines ? AnchorTexts(table.texts, anchorText, components) : std::vector<std::string>()),
      lineStamp(table.texts.size(), 0),
      candidates(table.texts.size()) {
    for (std::size_t index = 0; index < components.size(); ++index) {
        if (!components[index].found) {
            candidates[anchorText[index]].push_back(static_cast<std::uint32_t>(index));
            ++remaining;
        }
    }
}

std::size_t ComponentMatcher::MarkMatch(const unsigned char* base, const StartMask& starts, std::size_t from,
                                        std::size_t to) {
    ++currentLine;
    matcher.Scan(base, starts, from, to, [this](std::uint32_t text) { Occurred(text); });
    if (lineTexts.empty()) {
        return noComponent;
    }
    std::size_t best = noComponent;
    for (const std::uint32_t text : lineTexts) {
        for (const std::uint32_t index : candidates[text]) {
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
        auto& list = candidates[anchorText[best]];
        list.erase(std::find(list.begin(), list.end(), static_cast<std::uint32_t>(best)));
        --remaining;
    }
    return best;
}

}  // namespace orvex
