#include "JsonReport.h"

#include <cstdint>
#include <utility>

#include "HostLogic.h"
#include "JsonWriter.h"

#ifndef ORVEX_VERSION
#define ORVEX_VERSION "unknown"
#endif

namespace orvex::check {
namespace {

void PutRefresh(JsonWriter& json, const RefreshResult& refresh, unsigned timeoutSeconds) {
    json.Key("refresh");
    json.BeginObject();
    json.StringMember("outcome", OutcomeName(refresh.outcome));
    json.BoolMember("ran", refresh.ran);
    json.Key("exitCode");
    if (HasExitCode(refresh)) {
        json.Number(refresh.exitCode);
    } else {
        json.Null();
    }
    json.Key("seconds");
    json.Fixed(refresh.seconds);
    json.BoolMember("reachedBound", refresh.reachedBound);
    json.BoolMember("logRewritten", refresh.logRewritten);
    json.NumberMember("timeoutSeconds", timeoutSeconds);
    json.StringMember("detail", refresh.detail);
    json.Key("notes");
    json.BeginArray();
    for (const std::string& note : refresh.notes) {
        json.String(note);
    }
    json.EndArray();
    json.EndObject();
}

// The members every document begins with: what looked, and where, the log's
// age, and what a refresh did.
void PutHeader(JsonWriter& json, const Checked& checked, const ProbeFacts& facts) {
    json.StringMember("tool", "orvexcheck");
    json.StringMember("version", ORVEX_VERSION);
    for (const auto& [name, value] : {std::pair{"installDir", &checked.installDir},
                                      {"definitionsFile", &checked.properties},
                                      {"statusLog", &checked.statusLog}}) {
        json.Key(name);
        if (value->empty()) {
            json.Null();
        } else {
            json.String(*value);
        }
    }
    json.Key("statusLogAgeSeconds");
    if (facts.logAgeSeconds) {
        json.Number(*facts.logAgeSeconds);
    } else {
        json.Null();
    }
    if (facts.refresh) {
        PutRefresh(json, *facts.refresh, facts.refreshTimeoutSeconds);
    }
}

void PutLineOrNull(JsonWriter& json, const char* name, std::uint64_t line) {
    json.Key(name);
    if (line == 0) {
        json.Null();
    } else {
        json.Number(line);
    }
}

void PutTally(JsonWriter& json, const char* name, const LineTally& tally) {
    json.Key(name);
    json.BeginObject();
    json.NumberMember("count", tally.count);
    PutLineOrNull(json, "firstLine", tally.first);
    json.EndObject();
}

// A log line: its number and its text.
void PutNumberedLine(JsonWriter& json, std::uint64_t line, const std::string& text) {
    json.BeginObject();
    json.NumberMember("line", line);
    json.StringMember("text", text);
    json.EndObject();
}

void PutComponent(JsonWriter& json, const ComponentReport& report, const Explanation& explanation) {
    const ComponentRule& rule = report.rule;
    json.BeginObject();
    json.NumberMember("definitionLine", report.definitionLine);
    json.StringMember("key", report.key);
    json.Key("texts");
    json.BeginArray();
    for (const std::string* text : {&rule.text1, &rule.text2, &rule.text3}) {
        json.String(*text);
    }
    json.EndArray();
    json.BoolMember("found", rule.found);
    PutLineOrNull(json, "foundLine", rule.found ? report.foundAt : 0);

    const NearestLine& nearest = report.nearest;
    json.Key("nearest");
    if (rule.found || nearest.number == 0) {
        json.Null();
    } else {
        json.BeginObject();
        json.NumberMember("line", nearest.number);
        json.StringMember("text", nearest.text);
        json.Key("lacks");
        json.BeginArray();
        if (nearest.markedInstead == ComponentMatcher::noComponent) {
            for (const std::string* text : LackingTexts(report)) {
                json.String(*text);
            }
        }
        json.EndArray();
        json.BoolMember("cut", nearest.cut);
        PutLineOrNull(json, "markedInsteadLine",
                      nearest.markedInstead == ComponentMatcher::noComponent
                          ? 0
                          : explanation.components[nearest.markedInstead].definitionLine);
        json.EndObject();
    }

    json.Key("nameLine");
    if (report.nameLine == 0) {
        json.Null();
    } else {
        PutNumberedLine(json, report.nameLine, report.nameLineText);
    }
    json.EndObject();
}

}  // namespace

std::string RenderJson(const Explanation& explanation, const Checked& checked, const ProbeFacts& facts) {
    JsonWriter json;
    json.BeginObject();
    PutHeader(json, checked, facts);
    json.Key("error");
    json.Null();
    json.NumberMember("logLines", explanation.logLines);
    json.StringMember("verdict", explanation.confirmed ? "confirmed" : "failed");
    json.Key("failureList");
    if (explanation.confirmed) {
        json.Null();
    } else {
        json.String(FailureListText(explanation.failed));
    }
    json.Key("failed");
    json.BeginArray();
    for (const std::string& name : explanation.failed) {
        json.String(name);
    }
    json.EndArray();

    json.Key("components");
    json.BeginArray();
    for (const ComponentReport& report : explanation.components) {
        PutComponent(json, report, explanation);
    }
    json.EndArray();

    json.Key("warnings");
    json.BeginArray();
    for (const Warning& warning : explanation.warnings) {
        json.BeginObject();
        json.StringMember("file", warning.file == File::definitions ? "definitions" : "statusLog");
        json.NumberMember("line", warning.line);
        json.StringMember("text", warning.text);
        json.EndObject();
    }
    json.EndArray();

    json.Key("logAnomalies");
    json.BeginObject();
    PutTally(json, "cutLines", explanation.logAnomalies.cut);
    PutTally(json, "nulLines", explanation.logAnomalies.nul);
    PutLineOrNull(json, "ctrlZLine", explanation.logAnomalies.ctrlZLine);
    json.EndObject();
    json.EndObject();
    return json.Finish();
}

std::string RenderJsonError(const Checked& checked, const std::string& error, const ProbeFacts& facts) {
    JsonWriter json;
    json.BeginObject();
    PutHeader(json, checked, facts);
    json.StringMember("error", error);
    json.Key("verdict");
    if (facts.refresh && !GivesVerdict(*facts.refresh)) {
        json.String("unknown");
    } else {
        json.Null();
    }
    json.EndObject();
    return json.Finish();
}

}  // namespace orvex::check
