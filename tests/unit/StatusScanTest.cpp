#include "StatusChecker.h"
#include "PlainReading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ios>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;

std::filesystem::path UniquePath() {
    static std::mt19937_64 random{std::random_device{}()};
    return std::filesystem::temp_directory_path() / ("orvex-scan-" + std::to_string(random()) + ".tmp");
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A definitions file and a status log in the temp directory, removed at the end of the test.
class ProductFiles {
public:
    ProductFiles(const std::string& rules, const std::string& log) : rules(UniquePath()), log(UniquePath()) {
        WriteFile(this->rules, rules);
        WriteFile(this->log, log);
    }
    ProductFiles(const ProductFiles&) = delete;
    ProductFiles& operator=(const ProductFiles&) = delete;
    ~ProductFiles() {
        std::error_code ignored;
        std::filesystem::remove(rules, ignored);
        std::filesystem::remove(log, ignored);
    }
    orvex::StatusChecker Checker() const { return {rules.string(), log.string()}; }
    const std::filesystem::path& RulesPath() const { return rules; }
    const std::filesystem::path& LogPath() const { return log; }

private:
    std::filesystem::path rules;
    std::filesystem::path log;
};

struct ScanCase {
    const char* what;
    std::string rules;
    std::string log;
    Names failed;
};

TEST(StatusScan, LinesMarkComponentsInTableOrder) {
    const std::vector<ScanCase> cases = {
        {"all three texts in one line", "a=one,two,three\n", "x three two one x\n", {}},
        {"texts spread over two lines", "a=one,two,three\n", "one two\nthree\n", {"one"}},
        {"one line marks only the earlier component", "a=p1,p2,p3\nb=q1,q2,q3\n", "q1 q2 q3 p1 p2 p3\n", {"q1"}},
        {"a further line marks the later one", "a=p1,p2,p3\nb=q1,q2,q3\n", "q1 q2 q3 p1 p2 p3\nq1 q2 q3\n", {}},
        {"duplicate rules need two lines", "a=x,y,z\nb=x,y,z\n", "x y z\n", {"x"}},
        {"duplicate rules with two lines", "a=x,y,z\nb=x,y,z\n", "x y z\nzyx x y z\n", {}},
        {"found components are not tried again", "a=p,q,r\nb=p,q,s\n", "p q r s\np q r s\n", {}},
        {"a line marks the first component that matches", "a=p,q,r\nb=p,q,s\n", "p q s\np q s\n", {"p"}},
        {"letter case counts", "a=Started,Kernel,ok\n", "started kernel ok\nSTARTED KERNEL ok\n", {"Started"}},
        {"texts may overlap", "a=abc,ab,bc\n", "xabcx\n", {}},
        {"overlap needs the longer text", "a=abc,ab,bc\n", "ab bc\n", {"abc"}},
        {"a trailing blank is part of the text", "a=ok ,x,y\n", "ok,x,y\n", {"ok "}},
        {"a trailing blank matched", "a=ok ,x,y\n", "ok x,y\n", {}},
        {"a blank text matches any blank", "a=, ,p,q\n", "pq\np q\n", {}},
        {"empty table succeeds", "# nothing\n", "anything\n", {}},
        {"empty log fails every component", "a=x,y,z\nb=p,q,r\n", "", {"x", "p"}},
        {"failed list keeps table order", "a=p1,p2,p3\nb=q1,q2,q3\nc=r1,r2,r3\n", "q1q2q3\n", {"p1", "r1"}},
        {"carriage return before line feed is not searched", "a=x,y,z\n", "x y z\r\n", {}},
        {"only the text before a byte 0 is searched", "a=x,y,z\n", "x y \0z\n"s, {"x"}},
        {"Ctrl-Z ends the log", "a=x,y,z\n", "x y \x1Az\nx y z\n", {"x"}},
        {"last line without line feed", "a=x,y,z\n", "\nx y z", {}},
        {"texts within the first 255 characters", "a=x,y,z\n", "x y" + std::string(251, '.') + "z\n", {}},
        {"a text after character 255 is ignored", "a=x,y,z\n", "x y" + std::string(252, '.') + "z\nz\n", {"x"}},
        {"also in a later line", "a=x,y,z\n", "first\nx y" + std::string(252, '.') + "z\nz\n", {"x"}},
        {"the line after a long line", "a=x,y,z\n", std::string(300, '.') + "\nx y z", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProductFiles files(c.rules, c.log);
        auto checker = files.Checker();
        EXPECT_EQ(checker.Check(), c.failed.empty());
        EXPECT_EQ(checker.GetFailedComponents(), c.failed);
        const auto& rules = checker.GetComponents();
        const auto found = std::count_if(rules.begin(), rules.end(), [](const auto& rule) { return rule.found; });
        EXPECT_EQ(static_cast<std::size_t>(found) + c.failed.size(), rules.size());
    }
}

struct TextCase {
    const char* what;
    std::string log;
    std::string statusText;
};

TEST(StatusScan, StatusTextHoldsEveryReadLine) {
    const std::string header = orvex::statusTextHeader;
    const std::string line255(255, 'q');
    const std::vector<TextCase> cases = {
        {"final line feed gives a last empty read", "A\nB\n", header + "A\nB\n\n"},
        {"no final line feed", "A\nB", header + "A\nB\n"},
        {"empty log", "", header + "\n"},
        {"blank lines are kept", "\n\nA\n", header + "\n\nA\n\n"},
        {"carriage return before line feed dropped", "A\r\nB\r\n", header + "A\nB\n\n"},
        {"other carriage returns kept", "A\rB\r", header + "A\rB\r\n"},
        {"byte 0 ends the line text", "A\0junk\nB\n"s, header + "A\nB\n\n"},
        {"Ctrl-Z ends the log", "A\nB\x1A junk\nC\n", header + "A\nB\n"},
        {"Ctrl-Z right after a line feed", "A\n\x1A", header + "A\n\n"},
        {"line of 255 characters", line255 + "\r\nB", header + line255 + "\nB\n"},
        {"longer line is cut", line255 + "rest\0of\x1Bline\r\nB"s, header + line255 + "\nB\n"},
        {"carriage return as 255th character", line255.substr(1) + "\rx\n", header + line255.substr(1) + "\r\n\n"},
        {"carriage return before a byte 0 kept", "A\r\0B\r\n"s, header + "A\r\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProductFiles files("a=x,y,z\n", c.log);
        auto checker = files.Checker();
        EXPECT_EQ(checker.GetStatusText(), header);
        checker.Check();
        EXPECT_EQ(checker.GetStatusText(), c.statusText);
    }
}

TEST(StatusScan, LongLogKeepsItsLastLinesWithinTheBound) {
    // The first line marks the only component; then many lines of known kept
    // text, past the bound of 262,144 characters or right at it.
    struct LongCase {
        const char* what;
        std::string first;
        std::string raw;   // one repeated line as written, line feed included
        std::string kept;  // the same line as the status text holds it
        std::size_t count;
        std::string end;   // written after the repeated lines
        std::size_t leftOut;
    };
    const std::string line99(99, 'w');
    const std::string exact = "a b c" + std::string(37, '.');  // 43 + 2621 * 100 + 1 characters in all
    const std::vector<LongCase> cases = {
        {"the whole log fits exactly", exact, line99 + "\n", line99, 2621, "", 0},
        {"one character more", exact + ".", line99 + "\n", line99, 2621, "", 1},
        {"far past the bound", "a b c", line99 + "\n", line99, 20000, "", 17380},
        {"carriage returns before line feeds", "a b c", line99 + "\r\n", line99, 5000, "", 2380},
        {"a byte 0 in every line", "a b c", "kept\0dropped\n"s, "kept", 60000, "", 7573},
        {"lines longer than 255 characters", "a b c", std::string(400, 'l') + "\n", std::string(255, 'l'), 2000, "", 978},
        {"Ctrl-Z after the bound", "a b c", line99 + "\n", line99, 3000, "tail\x1A" + line99 + "\n", 380},
        {"lines longer than the read buffer", "a b c", std::string(150000, 'x') + "\n", std::string(255, 'x'), 20, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string log = c.first + "\n";
        std::vector<std::string> lines{c.first};
        for (std::size_t i = 0; i < c.count; ++i) {
            log += c.raw;
            lines.push_back(c.kept);
        }
        log += c.end;
        lines.push_back(c.end.empty() ? "" : "tail");
        const ProductFiles files("a=a,b,c\n", log);
        auto checker = files.Checker();
        EXPECT_TRUE(checker.Check());
        const std::string text = checker.GetStatusText();
        EXPECT_EQ(text, orvex::plain::StatusText(lines, files.LogPath().string()));
        const std::string header = orvex::statusTextHeader;
        const std::string note = c.leftOut == 0 ? "" : "(" + std::to_string(c.leftOut) + " earlier lines of " +
                                                        files.LogPath().string() + " are not shown)\n";
        EXPECT_EQ(text.substr(0, header.size() + note.size() + 1), header + note + lines[c.leftOut].substr(0, 1));
        EXPECT_LE(text.size(), header.size() + note.size() + 262144);
    }
}

TEST(StatusScan, GetFailedComponentsScansOnlyOnce) {
    const std::string header = orvex::statusTextHeader;
    const ProductFiles files("a=p,q,r\nb=x,y,z\n", "x y z\n");
    auto unscanned = files.Checker();
    EXPECT_EQ(unscanned.GetFailedComponents(), Names{"p"});
    EXPECT_EQ(unscanned.GetStatusText(), header + "x y z\n\n");

    auto scanned = files.Checker();
    EXPECT_FALSE(scanned.Check());
    std::filesystem::remove(files.LogPath());
    EXPECT_EQ(scanned.GetFailedComponents(), Names{"p"});
    EXPECT_EQ(scanned.GetFailedComponents(), Names{"p"});
    EXPECT_EQ(scanned.GetStatusText(), header + "x y z\n\n");
    // A checker that is done with hands over the same text.
    EXPECT_EQ(std::move(scanned).GetStatusText(), header + "x y z\n\n");
}

// What can stand where a product file should be and keep it from being read
// whole: nothing, a directory, or (on Linux) a file that opens but cannot be read.
enum class Fault { missing, directory, unreadable };

struct FaultCase {
    const char* what;
    Fault fault;
    const char* failure;
};

std::vector<FaultCase> FaultCases() {
    std::vector<FaultCase> cases = {
        {"missing", Fault::missing, "Failure while opening file: "},
        {"a directory", Fault::directory, "Failure while opening file: "},
    };
#ifdef __linux__
    cases.push_back({"a file that opens but cannot be read", Fault::unreadable, "Failure while reading file: "});
#endif
    return cases;
}

void PutFault(const std::filesystem::path& path, Fault fault) {
    std::filesystem::remove(path);
    if (fault == Fault::directory) {
        std::filesystem::create_directory(path);
    } else if (fault == Fault::unreadable) {
        std::filesystem::create_symlink("/proc/self/mem", path);
    }
}

std::string FailureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::ios_base::failure& failure) {
        return failure.what();
    }
    return "no failure";
}

TEST(StatusScan, LogThatCannotBeReadWholeThrowsAndLeavesCheckerUnscanned) {
    const std::string header = orvex::statusTextHeader;
    for (const FaultCase& c : FaultCases()) {
        SCOPED_TRACE(c.what);
        const ProductFiles files("a=x,y,z\n", "");
        PutFault(files.LogPath(), c.fault);
        auto checker = files.Checker();
        EXPECT_EQ(FailureOf([&checker] { checker.Check(); }), c.failure + files.LogPath().string());
        EXPECT_THROW(checker.GetFailedComponents(), std::ios_base::failure);
        EXPECT_EQ(checker.GetStatusText(), header);
        EXPECT_FALSE(checker.GetComponents()[0].found);

        // Still unscanned: the next request scans the log that now exists.
        std::filesystem::remove(files.LogPath());
        WriteFile(files.LogPath(), "z y x");
        EXPECT_EQ(checker.GetFailedComponents(), Names{});
        EXPECT_EQ(checker.GetStatusText(), header + "z y x\n");
    }
}

TEST(StatusScan, DefinitionsFileThatCannotBeReadWholeThrowsFromConstruction) {
    for (const FaultCase& c : FaultCases()) {
        SCOPED_TRACE(c.what);
        const ProductFiles files("", "");
        PutFault(files.RulesPath(), c.fault);
        EXPECT_EQ(FailureOf([&files] { (void)files.Checker(); }), c.failure + files.RulesPath().string());
        std::filesystem::remove(files.RulesPath());
    }
}

}  // namespace
