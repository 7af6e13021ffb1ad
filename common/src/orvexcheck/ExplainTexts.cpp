// How the reports show a component's texts: visibly, and those its nearest
// line lacks.
#include <algorithm>
#include <array>

#include "Explanation.h"
#include "Pieces.h"

namespace orvex::check {

std::string Visible(const std::string& text) {
    const auto [begin, end] = BlankFreeSpan(text);
    std::string shown = "\"";
    for (std::size_t k = 0; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        const bool atEnd = k < begin || k >= end;
        if (c == ' ' && atEnd) {
            shown += "<SP>";
        } else if (c == '\t') {
            shown += "<TAB>";
        } else if (c == '\r') {
            shown += "<CR>";
        } else if (c == '\n') {
            shown += "<LF>";
        } else if (c == '\v') {
            shown += "<VT>";
        } else if (c == '\f') {
            shown += "<FF>";
        } else if (c < 0x20 || c == 0x7F) {
            const char* const digits = "0123456789ABCDEF";
            shown += "<0x";
            shown += digits[c >> 4];
            shown += digits[c & 0x0F];
            shown += '>';
        } else {
            shown += static_cast<char>(c);
        }
    }
    shown += '"';
    return shown;
}

std::vector<const std::string*> LackingTexts(const ComponentReport& report) {
    const ComponentRule& rule = report.rule;
    const std::array<const std::string*, 3> texts{&rule.text1, &rule.text2, &rule.text3};
    std::vector<const std::string*> lacking;
    for (std::size_t k = 0; k < texts.size(); ++k) {
        const auto same = [&texts, k](const std::string* listed) { return *listed == *texts[k]; };
        if ((report.nearest.held & (1U << k)) == 0 && std::none_of(lacking.begin(), lacking.end(), same)) {
            lacking.push_back(texts[k]);
        }
    }
    return lacking;
}

}  // namespace orvex::check
