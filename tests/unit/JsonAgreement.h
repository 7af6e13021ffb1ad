// Whether orvexcheck's JSON document, parsed by a JSON library of its own,
// says what the explanation it was rendered from says. Natively each byte of
// a text is the character U+0000 to U+00FF, so the texts come back exactly.
#ifndef ORVEX_TESTS_JSON_AGREEMENT_H
#define ORVEX_TESTS_JSON_AGREEMENT_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "Explanation.h"
#include "HostLogic.h"
#include "JsonReport.h"

namespace orvex::check::test {

// The bytes of a UTF-8 text of characters up to U+00FF; "<not Latin-1>" otherwise.
inline std::string Bytes(const std::string& utf8) {
    std::string bytes;
    for (std::size_t k = 0; k < utf8.size(); ++k) {
        const auto c = static_cast<unsigned char>(utf8[k]);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && k + 1 < utf8.size()) {
            bytes += static_cast<char>(((c & 0x03U) << 6) | (static_cast<unsigned char>(utf8[++k]) & 0x3FU));
        } else {
            return "<not Latin-1>";
        }
    }
    return bytes;
}

inline bool SameText(const nlohmann::json& value, const std::string& text) {
    return value.is_string() && Bytes(value.get<std::string>()) == text;
}

inline bool SameLine(const nlohmann::json& value, std::uint64_t line) {
    return line == 0 ? value.is_null() : value.is_number_unsigned() && value.get<std::uint64_t>() == line;
}

// "" where the document agrees with the explanation and with where it was
// said to look (checked); else what differs first.
inline std::string JsonDisagreement(const std::string& document, const Explanation& explanation,
                                    const Checked& checked) {
    const nlohmann::json doc = nlohmann::json::parse(document);  // throws on invalid JSON or UTF-8
    const auto samePath = [](const nlohmann::json& value, const std::string& path) {
        return path.empty() ? value.is_null() : SameText(value, path);
    };
    if (doc["tool"] != "orvexcheck" || doc["version"] != ORVEX_VERSION) {
        return "tool or version";
    }
    if (!samePath(doc["installDir"], checked.installDir) || !samePath(doc["definitionsFile"], checked.properties) ||
        !samePath(doc["statusLog"], checked.statusLog)) {
        return "paths";
    }
    if (!doc["error"].is_null()) {
        return "an error member";
    }
    if (doc["verdict"] != (explanation.confirmed ? "confirmed" : "failed")) {
        return "verdict";
    }
    if (doc["failed"].size() != explanation.failed.size()) {
        return "failed list";
    }
    for (std::size_t i = 0; i < explanation.failed.size(); ++i) {
        if (!SameText(doc["failed"][i], explanation.failed[i])) {
            return "failed list";
        }
    }
    if (explanation.confirmed ? !doc["failureList"].is_null()
                              : !SameText(doc["failureList"], FailureListText(explanation.failed))) {
        return "failure list text";
    }
    if (doc["logLines"] != explanation.logLines) {
        return "log lines";
    }
    const nlohmann::json& components = doc["components"];
    if (components.size() != explanation.components.size()) {
        return "component count";
    }
    for (std::size_t c = 0; c < components.size(); ++c) {
        const nlohmann::json& component = components[c];
        const ComponentReport& report = explanation.components[c];
        const std::string which = "component " + std::to_string(c) + ": ";
        if (component["definitionLine"] != report.definitionLine || !SameText(component["key"], report.key) ||
            !SameText(component["texts"][0], report.rule.text1) || !SameText(component["texts"][1], report.rule.text2) ||
            !SameText(component["texts"][2], report.rule.text3)) {
            return which + "definition";
        }
        if (component["found"] != report.rule.found || !SameLine(component["foundLine"], report.rule.found ? report.foundAt : 0)) {
            return which + "found line";
        }
        const nlohmann::json& nearest = component["nearest"];
        if (report.rule.found || report.nearest.number == 0) {
            if (!nearest.is_null()) {
                return which + "a nearest line";
            }
        } else {
            const std::vector<const std::string*> lacking =
                report.nearest.markedInstead == ComponentMatcher::noComponent ? LackingTexts(report)
                                                                               : std::vector<const std::string*>();
            bool sameLacking = nearest["lacks"].size() == lacking.size();
            for (std::size_t k = 0; sameLacking && k < lacking.size(); ++k) {
                sameLacking = SameText(nearest["lacks"][k], *lacking[k]);
            }
            if (!SameLine(nearest["line"], report.nearest.number) || !SameText(nearest["text"], report.nearest.text) ||
                !sameLacking || nearest["cut"] != report.nearest.cut) {
                return which + "nearest line";
            }
            const std::size_t marked = report.nearest.markedInstead;
            if (!SameLine(nearest["markedInsteadLine"],
                          marked == ComponentMatcher::noComponent ? 0 : explanation.components[marked].definitionLine)) {
                return which + "marked instead";
            }
        }
        const nlohmann::json& nameLine = component["nameLine"];
        if (report.nameLine == 0 ? !nameLine.is_null()
                                 : !SameLine(nameLine["line"], report.nameLine) ||
                                       !SameText(nameLine["text"], report.nameLineText)) {
            return which + "name line";
        }
    }
    if (doc["warnings"].size() != explanation.warnings.size()) {
        return "warning count";
    }
    for (std::size_t w = 0; w < explanation.warnings.size(); ++w) {
        const Warning& warning = explanation.warnings[w];
        const nlohmann::json& entry = doc["warnings"][w];
        if (entry["file"] != (warning.file == File::definitions ? "definitions" : "statusLog") ||
            entry["line"] != warning.line || !SameText(entry["text"], warning.text)) {
            return "warning " + std::to_string(w);
        }
    }
    const nlohmann::json& anomalies = doc["logAnomalies"];
    const LogAnomalies& expected = explanation.logAnomalies;
    if (anomalies["cutLines"]["count"] != expected.cut.count || !SameLine(anomalies["cutLines"]["firstLine"], expected.cut.first) ||
        anomalies["nulLines"]["count"] != expected.nul.count || !SameLine(anomalies["nulLines"]["firstLine"], expected.nul.first) ||
        !SameLine(anomalies["ctrlZLine"], expected.ctrlZLine)) {
        return "log anomalies";
    }
    return "";
}

}  // namespace orvex::check::test

#endif
