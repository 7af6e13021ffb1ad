// The definitions file as the host reads it, and what in it silently changes
// a verdict: cut lines, NUL and Ctrl-Z bytes, texts with white space at their
// ends, lines that define nothing and components that repeat another's texts.
#include <array>
#include <string>
#include <unordered_map>
#include <utility>

#include "ExplainPasses.h"
#include "Pieces.h"
#include "StartupVerification.h"

namespace orvex::check {
namespace {

const char* Ordinal(std::size_t k) {
    return k == 0 ? "first" : k == 1 ? "second" : "third";
}

// Notes the definitions as the reader parses them.
class DefinitionNotes final : public DefinitionObserver {
public:
    explicit DefinitionNotes(Explanation& out) : out(out) {}

    void OnDefinition(std::uint64_t number, const Line& line, const Definition& definition) override {
        if (line.cut) {
            Warn(number, "longer than 255 characters: the rest of the line is ignored");
        }
        if (line.hadZero) {
            Warn(number, "a NUL byte ends the line: the rest of it is ignored");
        }
        if (line.ctrlZ) {
            Warn(number, "a Ctrl-Z byte ends the file here: nothing after it is read");
        }
        if (!definition.assigns) {
            return;
        }
        const ComponentRule& rule = definition.rule;
        const std::array<const std::string*, 3> texts{&rule.text1, &rule.text2, &rule.text3};
        if (!definition.DefinesRule()) {
            const char* const blank = rule.text2.empty() && rule.text3.empty()
                                          ? "its second and third texts are only white space"
                                      : rule.text2.empty() ? "its second text is only white space"
                                                           : "its third text is only white space";
            Warn(number, definition.tokens >= 3
                             ? Cat({"holds \"=\" but defines nothing: ", blank})
                             : Cat({"holds \"=\" but defines nothing: ", Plural(definition.tokens, "text", "texts"),
                                    ", three are needed"}));
            return;
        }
        if (definition.tokens > 3) {
            Warn(number, Cat({std::to_string(std::uint64_t{definition.tokens}),
                              " texts: only the first three are used, the rest is ignored"}));
        }
        for (std::size_t k = 0; k < texts.size(); ++k) {
            const std::string& text = *texts[k];
            const bool begins = IsWhiteSpace(text.front());
            const bool ends = IsWhiteSpace(text.back());
            if (begins || ends) {
                Warn(number, Cat({"the ", Ordinal(k), " text ", Visible(text),
                                  begins && ends ? " begins and ends" : begins ? " begins" : " ends",
                                  " with white space, which the log line must hold too"}));
            }
        }
        // A log line marks one component: equal texts in any order need a line each.
        std::array<const std::string*, 3> sorted = texts;
        SortShort(sorted.data(), sorted.data() + sorted.size(),
                  [](const std::string* a, const std::string* b) { return *a < *b; });
        const std::string key = Cat({*sorted[0], ",", *sorted[1], ",", *sorted[2]});  // texts hold no comma
        const auto seen = firstOf.emplace(key, static_cast<std::uint32_t>(out.components.size()));
        if (!seen.second) {
            Warn(number, Cat({"the same three texts as line ",
                              std::to_string(out.components[seen.first->second].definitionLine),
                              ": each of them needs a log line of its own"}));
        }
        ComponentReport report;
        report.definitionLine = number;
        const auto [keyBegin, keyEnd] = BlankFreeSpan(definition.key);
        report.key = definition.key.substr(keyBegin, keyEnd - keyBegin);
        report.rule = rule;
        out.components.push_back(std::move(report));
    }

private:
    void Warn(std::uint64_t number, std::string text) {
        out.warnings.push_back({File::definitions, number, std::move(text)});
    }

    Explanation& out;
    std::unordered_map<std::string, std::uint32_t> firstOf;  // the first component of each set of texts
};

}  // namespace

std::vector<ComponentRule> ReadExplainedDefinitions(const std::string& path, Explanation& out) {
    DefinitionNotes notes(out);
    return ReadDefinitions(path, &notes);
}

}  // namespace orvex::check
