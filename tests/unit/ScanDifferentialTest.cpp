// StatusChecker against a plain scan that searches every text of every
// component in every line, on random rule tables and logs.
#include "StatusChecker.h"
#include "Explanation.h"
#include "JsonReport.h"
#include "PlainReading.h"
#include "StackAlignment.h"
#include "StartupVerification.h"
#ifndef _WIN32
#include "JsonAgreement.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ios>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Outcome {
    bool verdict = true;
    std::vector<std::string> failed;
    std::vector<bool> found;
    std::string statusText;
};

Outcome ReferenceScan(const std::vector<orvex::ComponentRule>& rules, const std::string& log,
                      const std::string& path, std::size_t limit = 262144) {
    const orvex::plain::Scan scan = orvex::plain::ScanLog(rules, log, path, limit);
    Outcome outcome;
    outcome.found = scan.found;
    outcome.statusText = scan.statusText;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (!outcome.found[i]) {
            outcome.verdict = false;
            outcome.failed.push_back(rules[i].text1);
        }
    }
    return outcome;
}

using Triple = std::vector<std::string>;

// What the line rules did to a file, as the plain reading sees it.
orvex::check::LogAnomalies PlainAnomalies(const std::string& file) {
    orvex::check::LogAnomalies anomalies;
    const std::vector<orvex::plain::Line> lines = orvex::plain::ReadLines(file);
    for (std::uint64_t n = 1; n <= lines.size(); ++n) {
        for (const auto& [holds, tally] : {std::pair{lines[n - 1].cut, &anomalies.cut}, {lines[n - 1].zero, &anomalies.nul}}) {
            if (holds) {
                tally->first = tally->count++ == 0 ? n : tally->first;
            }
        }
    }
    anomalies.ctrlZLine = file.find('\x1A') != std::string::npos ? lines.size() : 0;
    return anomalies;
}

void ExpectSameTally(const orvex::check::LineTally& actual, const orvex::check::LineTally& expected, const char* what) {
    EXPECT_EQ(actual.count, expected.count) << what;
    EXPECT_EQ(actual.first, expected.first) << what;
}

class Generator {
public:
    explicit Generator(std::uint32_t seed) : random(seed) {}

    std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(random() % bound); }

    std::string Text(const std::string& alphabet, std::size_t longest) {
        std::string text;
        for (std::size_t n = 1 + Below(longest); n > 0; --n) {
            text += alphabet[Below(alphabet.size())];
        }
        return text;
    }

    // A new text, or a piece of one already made, so that texts end inside
    // others; one in five is a single character.
    std::string RuleText(const std::string& alphabet, std::size_t longest, const std::vector<Triple>& made) {
        if (Below(5) == 0) {
            return Text(alphabet, 1);
        }
        if (made.empty() || Below(4) != 0) {
            return Text(alphabet, longest);
        }
        const std::string& whole = made[Below(made.size())][Below(3)];
        const std::size_t begin = Below(whole.size());
        return whole.substr(begin, 1 + Below(whole.size() - begin));
    }

    // Rule lines over the alphabet, with duplicates and lines that define nothing.
    std::string Rules(const std::string& alphabet, std::size_t count, std::size_t longest, std::vector<Triple>& made) {
        std::string file;
        std::string previous;
        for (std::size_t i = 0; i < count; ++i) {
            std::string line;
            if (!previous.empty() && Below(6) == 0) {
                line = previous;
            } else {
                Triple texts;
                for (int k = 0; k < 3; ++k) {
                    texts.push_back(RuleText(alphabet, longest, made));
                }
                line = "k" + std::to_string(i) + "=" + texts[0] + "," + texts[1] + "," + texts[2];
                made.push_back(texts);
            }
            file += line + (Below(4) == 0 ? "\r\n" : "\n");
            if (Below(8) == 0) {
                file += Around255("# " + Text(alphabet, longest)) + (Below(2) == 0 ? "\r\n" : "\n");
            }
            previous = line;
        }
        return file;
    }

    // Lines made of rule texts and noise, some holding a whole rule, some
    // long, with stray carriage returns, byte 0 and Ctrl-Z. Where aligned,
    // each line begins with dots (a byte no text holds) so that its last
    // character lies just before, on or just after a 64-byte boundary of the
    // read buffer.
    std::string Log(const std::string& alphabet, const std::vector<Triple>& rules, std::size_t lines,
                    bool aligned = false) {
        static const std::string specials = std::string("\r\r\0\x1A", 4);
        std::string log;
        for (std::size_t i = 0; i < lines; ++i) {
            std::string line;
            const std::size_t pieces = Below(Below(10) == 0 ? 80 : 8);
            for (std::size_t p = 0; p < pieces; ++p) {
                const std::size_t kind = rules.empty() ? 0 : Below(5);
                if (kind == 0) {
                    line += Text(alphabet, 4);
                } else if (kind == 1) {
                    const Triple& rule = rules[Below(rules.size())];
                    line += rule[Below(3)] + rule[Below(3)] + rule[Below(3)];
                } else if (kind == 2) {
                    // A whole rule, its first text last, apart from the others.
                    const Triple& rule = rules[Below(rules.size())];
                    line += rule[1] + "." + rule[2] + "." + rule[0];
                } else {
                    line += rules[Below(rules.size())][Below(3)];
                }
                if (Below(300) == 0) {
                    line += specials[Below(specials.size())];
                }
            }
            if (Below(12) == 0) {
                line = Around255(line);
            }
            log += line;
            if (i + 1 < lines || Below(2) == 0) {
                log += Below(5) == 0 ? "\r\n" : "\n";
            }
        }
        return aligned ? orvex::plain::AlignLineEnds(log, '.') : log;
    }

    // The text cut or filled with dots to 254, 255 or 256 characters: the
    // longest line that is read whole, and the lines on either side of it.
    std::string Around255(std::string text) {
        text.resize(254 + Below(3), '.');
        return text;
    }

private:
    std::mt19937 random;
};

class ScanFiles {
public:
    ScanFiles() {
        static std::mt19937_64 random{std::random_device{}()};
        const auto stem = std::filesystem::temp_directory_path() / ("orvex-diff-" + std::to_string(random()));
        rulesPath = stem.string() + ".properties";
        logPath = stem.string() + ".log";
    }
    ScanFiles(const ScanFiles&) = delete;
    ScanFiles& operator=(const ScanFiles&) = delete;
    ~ScanFiles() {
        std::error_code ignored;
        std::filesystem::remove(rulesPath, ignored);
        std::filesystem::remove(logPath, ignored);
    }

    void Compare(const std::string& rules, const std::string& log) const {
        // New files each time: rewriting a truncated file can wait for the disk.
        std::filesystem::remove(rulesPath);
        std::filesystem::remove(logPath);
        std::ofstream(rulesPath, std::ios::binary) << rules;
        std::ofstream(logPath, std::ios::binary) << log;
        orvex::StatusChecker checker(rulesPath, logPath);
        const Outcome expected = ReferenceScan(checker.GetComponents(), log, logPath);
        ASSERT_EQ(checker.Check(), expected.verdict);
        ASSERT_EQ(checker.GetFailedComponents(), expected.failed);
        ASSERT_EQ(checker.GetStatusText(), expected.statusText);
        const auto& components = checker.GetComponents();
        for (std::size_t i = 0; i < components.size(); ++i) {
            ASSERT_EQ(components[i].found, expected.found[i]) << "component " << i;
        }

        // orvexcheck's verdict is the checker's; a component not found gets
        // the first line holding the most of its texts.
        const orvex::check::Explanation explanation = orvex::check::Explain(rulesPath, logPath);
        ASSERT_EQ(explanation.confirmed, expected.verdict);
        ASSERT_EQ(explanation.failed, expected.failed);
        const std::vector<std::string> lines = orvex::plain::Lines(log);
        ASSERT_EQ(explanation.logLines, lines.size());
        // The line that marked each component, as the plain reading marks them.
        std::vector<std::uint64_t> marking(components.size(), 0);
        for (std::size_t n = 0; n < lines.size(); ++n) {
            for (std::size_t i = 0; i < components.size() && !lines[n].empty(); ++i) {
                const orvex::ComponentRule& rule = components[i];
                if (marking[i] == 0 && lines[n].find(rule.text1) != std::string::npos &&
                    lines[n].find(rule.text2) != std::string::npos && lines[n].find(rule.text3) != std::string::npos) {
                    marking[i] = n + 1;
                    break;
                }
            }
        }
        for (std::size_t i = 0; i < components.size(); ++i) {
            const orvex::ComponentRule& rule = explanation.components[i].rule;
            if (rule.found) {
                ASSERT_EQ(explanation.components[i].foundAt, marking[i]) << "component " << i;
                continue;
            }
            unsigned held = 0;
            std::uint64_t nearest = 0;
            for (std::size_t n = 0; n < lines.size(); ++n) {
                unsigned holds = 0;
                for (const auto& [bit, text] : {std::pair{1U, &rule.text1}, {2U, &rule.text2}, {4U, &rule.text3}}) {
                    holds |= lines[n].find(*text) != std::string::npos ? bit : 0;
                }
                if (std::bitset<3>(holds).count() > std::bitset<3>(held).count()) {
                    held = holds;
                    nearest = n + 1;
                }
            }
            ASSERT_EQ(explanation.components[i].nearest.number, nearest) << "component " << i;
            ASSERT_EQ(explanation.components[i].nearest.held, held) << "component " << i;
            // A line holding all three texts marked the component found there.
            const std::size_t marked = explanation.components[i].nearest.markedInstead;
            ASSERT_EQ(marked == orvex::ComponentMatcher::noComponent ? 0 : marking[marked], held == 7U ? nearest : 0)
                << "component " << i;
            // Where that line lacks the first text: the first line holding it.
            const auto name = (held & 1U) != 0 ? lines.end()
                                               : std::find_if(lines.begin(), lines.end(), [&rule](const std::string& line) {
                                                     return line.find(rule.text1) != std::string::npos;
                                                 });
            ASSERT_EQ(explanation.components[i].nameLine,
                      name == lines.end() ? 0 : static_cast<std::uint64_t>(name - lines.begin()) + 1)
                << "component " << i;
            ASSERT_EQ(explanation.components[i].nameLineText, name == lines.end() ? "" : *name) << "component " << i;
        }

        // The lines the line rules changed: in the log counted, in the
        // definitions file each warned of.
        const orvex::check::LogAnomalies anomalies = PlainAnomalies(log);
        ExpectSameTally(explanation.logAnomalies.cut, anomalies.cut, "cut log lines");
        ExpectSameTally(explanation.logAnomalies.nul, anomalies.nul, "log lines with a NUL byte");
        EXPECT_EQ(explanation.logAnomalies.ctrlZLine, anomalies.ctrlZLine);
        std::vector<std::uint64_t> cutDefinitions;
        const std::vector<orvex::plain::Line> definitionLines = orvex::plain::ReadLines(rules);
        for (std::uint64_t n = 1; n <= definitionLines.size(); ++n) {
            if (definitionLines[n - 1].cut) {
                cutDefinitions.push_back(n);
            }
        }
        std::vector<std::uint64_t> warned;
        for (const orvex::check::Warning& warning : explanation.warnings) {
            if (warning.file == orvex::check::File::definitions && warning.text.rfind("longer than 255", 0) == 0) {
                warned.push_back(warning.line);
            }
        }
        ASSERT_EQ(warned, cutDefinitions);

#ifndef _WIN32
        // The JSON document, parsed by a library of its own, says the same.
        const orvex::check::Checked checked{"", rulesPath, logPath};
        ASSERT_EQ(orvex::check::test::JsonDisagreement(orvex::check::RenderJson(explanation, checked), explanation,
                                                       checked),
                  "");
#endif

        // The same scan keeping a status text of a smaller bound, so that
        // small logs are cut too: lines of every kind meet the bound.
        const std::size_t limit = 256 + log.size() % 700;
        std::vector<orvex::ComponentRule> table = orvex::LoadComponentRules(rulesPath);
        orvex::StatusTail tail(limit);
        orvex::ScanStatusLog(logPath, table, tail);
        std::string text = orvex::statusTextHeader;
        orvex::AppendStatusLines(tail, logPath, text);
        ASSERT_EQ(text, ReferenceScan(table, log, logPath, limit).statusText) << "limit " << limit;
    }

    const std::string& RulesPath() const { return rulesPath; }
    const std::string& LogPath() const { return logPath; }

private:
    std::string rulesPath;
    std::string logPath;
};

TEST(ScanDifferential, SmallAlphabetsMatchPlainScan) {
    const ScanFiles files;
    for (std::uint32_t seed = 1; seed <= 600; ++seed) {
        SCOPED_TRACE(seed);
        Generator generate(seed);
        const std::string alphabet = seed % 3 == 0 ? "ab " : seed % 3 == 1 ? "abc \t" : "abcdAB=";
        std::vector<Triple> made;
        const std::string rules = generate.Rules(alphabet, generate.Below(14), 1 + generate.Below(4), made);
        const std::string log = generate.Log(alphabet, made, generate.Below(30), seed % 2 == 0);
        files.Compare(rules, log);
        if (HasFatalFailure()) {
            return;
        }
    }
}

std::string WideAlphabet() {
    std::string alphabet;
    for (char c = '0'; c <= 'z'; ++c) {
        if (c != '=') {
            alphabet += c;
        }
    }
    return alphabet;
}

TEST(ScanDifferential, LargeTablesMatchPlainScan) {
    // Enough long texts over a wide alphabet that part of the automaton lies
    // beyond its full transition rows.
    const ScanFiles files;
    for (std::uint32_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        Generator generate(seed);
        std::vector<Triple> made;
        const std::string rules = generate.Rules(WideAlphabet(), 400, 60, made);
        const std::string log = generate.Log(WideAlphabet(), made, 3000);
        files.Compare(rules, log);
        if (HasFatalFailure()) {
            return;
        }
    }
}

// One or two components whose texts are at least two or three characters long,
// so that few starts are looked for sixteen positions at a time, on logs of many
// lines, most of them read in runs.
void CompareFewTexts(const ScanFiles& files, std::uint32_t seed) {
    Generator generate(seed);
    const std::string alphabet = seed % 2 == 0 ? "abc " : "ab\tc";
    std::vector<Triple> made;
    std::string rules;
    for (std::size_t rule = 1 + generate.Below(2); rule > 0; --rule) {
        Triple texts;
        for (int k = 0; k < 3; ++k) {
            texts.push_back(generate.Text(alphabet, 3) + generate.Text(alphabet, 3) +
                            (seed % 3 == 0 ? "" : generate.Text(alphabet, 2)));
        }
        rules += "k=" + texts[0] + "," + texts[1] + "," + texts[2] + "\n";
        made.push_back(texts);
    }
    files.Compare(rules, generate.Log(alphabet, made, 200 + generate.Below(400), seed % 2 == 0));
}

TEST(ScanDifferential, FewTextsMarkedSixteenAtATime) {
    const ScanFiles files;
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        SCOPED_TRACE(seed);
        CompareFewTexts(files, seed);
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(ScanDifferential, MarkedSixteenAtATimeWhateverTheStackAlignment) {
    // The startup check scans on a thread of its own, whose stack 32-bit Windows
    // aligns to 4 bytes only: the vector marking must not fault there.
    const ScanFiles files;
    for (const orvex::test::StackEntry& entry : orvex::test::kStackEntries) {
        SCOPED_TRACE(entry.name);
        orvex::test::RunWithStack(entry, [&files] {
            for (std::uint32_t seed = 1; seed <= 12 && !::testing::Test::HasFatalFailure(); ++seed) {
                SCOPED_TRACE(seed);
                CompareFewTexts(files, seed);
            }
        });
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(ScanDifferential, TextsFoundOnlyAcrossTheJoinOfTwoDeepTexts) {
    // Component i: long texts A and B, and a third text made of the end of A
    // and the start of B. Its line "AB" holds the third text only across the
    // join, which the automaton reaches by falling back from deep inside A.
    Generator generate(99);
    std::string rules;
    std::string log;
    for (int i = 0; i < 150; ++i) {
        std::string a;
        std::string b;
        while (a.size() < 100) {
            a += generate.Text(WideAlphabet(), 10);
        }
        while (b.size() < 100) {
            b += generate.Text(WideAlphabet(), 10);
        }
        a.resize(100);
        b.resize(100);
        rules.append("k=").append(a).append(",").append(b).append(",");
        rules.append(a.substr(90)).append(b.substr(0, 10)).append("\n");
        log.append(a).append(b).append("\n");
    }
    const ScanFiles files;
    files.Compare(rules, log);
    orvex::StatusChecker checker(files.RulesPath(), files.LogPath());
    EXPECT_TRUE(checker.Check());
}

TEST(ScanDifferential, LinesAcrossTheReadChunks) {
    // The log is read in chunks of 64 KiB: put a line end, a byte 0, the
    // 255-character cut and a line of 255 characters before its carriage
    // return on and around the end of the first chunk.
    using namespace std::string_literals;
    const std::size_t chunk = std::size_t{64} * 1024;
    const std::string longLine = "b c" + std::string(252, 'e') + "d" + std::string(50, 'e');
    const std::string line255 = "b c" + std::string(251, 'e') + "d";
    const std::vector<std::pair<std::string, std::size_t>> specials = {
        {"b c d\r\n", chunk - 8}, {"b\0c d\r\n"s, chunk - 8}, {longLine + "\r\n", chunk - 258},
        {line255 + "\r\n", chunk - 258}};
    const ScanFiles files;
    for (const auto& special : specials) {
        for (std::size_t start = special.second; start < special.second + 10; ++start) {
            SCOPED_TRACE(start);
            std::string log;
            while (log.size() + 102 <= start) {
                log += std::string(99, 'a') + "\r\n";
            }
            log += std::string(start - log.size() - 1, 'a') + "\n";
            files.Compare("k=b,c,d\nk=b,e,d\n", log + special.first + "b c e d");
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

}  // namespace
