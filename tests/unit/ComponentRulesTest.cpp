#include "StatusChecker.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <ios>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

using namespace std::string_literals;
using Texts = std::array<std::string, 3>;

// A file in the temp directory with the given bytes, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& content) : path(UniquePath()) {
        std::ofstream(path, std::ios::binary) << content;
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    std::string Path() const { return path.string(); }

    static std::filesystem::path UniquePath() {
        static std::mt19937_64 random{std::random_device{}()};
        return std::filesystem::temp_directory_path() / ("orvex-rules-" + std::to_string(random()) + ".tmp");
    }

private:
    std::filesystem::path path;
};

std::vector<Texts> Load(const std::string& content) {
    const TempFile file(content);
    std::vector<Texts> texts;
    for (const auto& rule : orvex::LoadComponentRules(file.Path())) {
        EXPECT_FALSE(rule.found);
        texts.push_back({rule.text1, rule.text2, rule.text3});
    }
    return texts;
}

struct LineCase {
    std::string line;
    std::vector<Texts> rules;
};

TEST(ComponentRules, SingleLinesGiveTheirTexts) {
    const std::vector<LineCase> cases = {
        {"k=alpha,beta,gamma", {{"alpha", "beta", "gamma"}}},
        {"k=alpha , beta , gamma", {{"alpha ", "beta ", "gamma"}}},
        {"k=,,alpha,,beta,gamma,delta", {{"alpha", "beta", "gamma"}}},
        {"k=, alpha,beta,gamma", {{" alpha", "beta", "gamma"}}},
        {"k=, ,beta,gamma", {{" ", "beta", "gamma"}}},
        {"k=alpha,beta", {}},
        {"k=alpha, ,gamma", {}},
        {"k=alpha,beta,,,", {}},
        {"k=", {}},
        {"k=   ", {}},
        {"k=,,,", {}},
        {"  # k=alpha,beta,gamma", {}},
        {"  ! k=alpha,beta,gamma", {}},
        {"#k=alpha,beta,gamma", {}},
        {"\t!k=alpha,beta,gamma", {}},
        {"x # k=alpha,beta,gamma", {{"alpha", "beta", "gamma"}}},
        {"k=#alpha,!beta,gamma", {{"#alpha", "!beta", "gamma"}}},
        {"=alpha,beta,gamma", {{"alpha", "beta", "gamma"}}},
        {"k=alpha=1,beta,gamma", {{"alpha=1", "beta", "gamma"}}},
        {"k alpha,beta,gamma", {}},
        {"   ", {}},
        {"  key =  alpha,beta,gamma", {{"alpha", "beta", "gamma"}}},
        {"k=alpha,beta,gamma  ", {{"alpha", "beta", "gamma  "}}},
        {"k=\talpha\t,\tbeta\t,\tgamma\t", {{"alpha\t", "beta\t", "gamma\t"}}},
        {"k=\v\falpha,\v beta,\f gamma", {{"alpha", "beta", "gamma"}}},
        {"k=\xA0" "alpha,\xA0" "beta,gamma", {{"\xA0" "alpha", "\xA0" "beta", "gamma"}}},
        {"k=a\rb,beta,gamma", {{"a\rb", "beta", "gamma"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Load(c.line + "\n"), c.rules);
    }
}

TEST(ComponentRules, EveryDefinitionLineAddsARuleInFileOrder) {
    EXPECT_EQ(Load("a=x,y,z\n# note\n\nb=p,q,r\nc=x,y,z\nc=x,y,z\n"),
              (std::vector<Texts>{{"x", "y", "z"}, {"p", "q", "r"}, {"x", "y", "z"}, {"x", "y", "z"}}));
}

TEST(ComponentRules, CrLfFileEqualsLfFile) {
    const std::string lf = "# c\na=x, y ,z\n\nb=p,q,r\n";
    const std::string crlf = "# c\r\na=x, y ,z\r\n\r\nb=p,q,r\r\n";
    EXPECT_EQ(Load(crlf), Load(lf));
    EXPECT_EQ(Load(crlf).back()[2], "r");
}

TEST(ComponentRules, LastLineNeedsNoLineFeed) {
    EXPECT_EQ(Load("a=x,y,z\nb=p,q,r"), (std::vector<Texts>{{"x", "y", "z"}, {"p", "q", "r"}}));
    // Only a carriage return right before a line feed is dropped.
    EXPECT_EQ(Load("b=p,q,r\r"), (std::vector<Texts>{{"p", "q", "r\r"}}));
}

TEST(ComponentRules, LineOfExactly255CharactersIsReadWhole) {
    const std::string line = "k=x,y," + std::string(249, 'z');
    ASSERT_EQ(line.size(), 255U);
    EXPECT_EQ(Load(line + "\na=p,q,r\n"), (std::vector<Texts>{{"x", "y", std::string(249, 'z')}, {"p", "q", "r"}}));
    EXPECT_EQ(Load(line + "\r\na=p,q,r"), (std::vector<Texts>{{"x", "y", std::string(249, 'z')}, {"p", "q", "r"}}));
}

TEST(ComponentRules, LongerLineKeepsItsFirst255Characters) {
    const std::string head = "k=x,y," + std::string(249, 'z');
    const std::vector<Texts> expected{{"x", "y", std::string(249, 'z')}, {"p", "q", "r"}};
    EXPECT_EQ(Load(head + "w,v\na=p,q,r\n"), expected);
    EXPECT_EQ(Load(head + std::string(70000, 'w') + "\r\na=p,q,r\n"), expected);
    // A definition that begins only after character 255 is ignored with the rest of its line.
    EXPECT_EQ(Load(std::string(255, ' ') + "k=a,b,c\na=p,q,r"), (std::vector<Texts>{{"p", "q", "r"}}));
}

TEST(ComponentRules, ByteZeroEndsTheLineText) {
    EXPECT_EQ(Load("a=x,y,z\0w,v\nb=p,q\0,r\nc=s,t,u\n"s),
              (std::vector<Texts>{{"x", "y", "z"}, {"s", "t", "u"}}));
}

TEST(ComponentRules, CtrlZEndsTheFile) {
    EXPECT_EQ(Load("a=x,y,z\nb=p,q,r\x1A\nc=s,t,u\n"), (std::vector<Texts>{{"x", "y", "z"}, {"p", "q", "r"}}));
    EXPECT_EQ(Load("\x1A" "a=x,y,z\n"), std::vector<Texts>{});
}

TEST(ComponentRules, EmptyOrCommentOnlyFileGivesEmptyTable) {
    EXPECT_TRUE(Load("").empty());
    EXPECT_TRUE(Load("# a=x,y,z\n\n   \n! b=p,q,r").empty());
}

TEST(ComponentRules, MissingFileThrowsStreamFailureWithExactMessage) {
    const std::string path = (TempFile::UniquePath() / "status.properties").string();
    try {
        orvex::LoadComponentRules(path);
        FAIL() << "no exception";
    } catch (const std::ios_base::failure& failure) {
        EXPECT_EQ(typeid(failure), typeid(std::ios_base::failure));
        EXPECT_EQ(std::string(failure.what()), "Failure while opening file: " + path);
    }
}

TEST(ComponentRules, SkipLeadingSpaceDropsOnlyTheSixWhiteSpaceCharacters) {
    EXPECT_EQ(orvex::SkipLeadingSpace(" \t\n\v\f\rx y ", 0), "x y ");
    EXPECT_EQ(orvex::SkipLeadingSpace("ab  c", 2), "c");
    EXPECT_EQ(orvex::SkipLeadingSpace("ab", 2), "");
    EXPECT_EQ(orvex::SkipLeadingSpace("   ", 0), "");
    EXPECT_EQ(orvex::SkipLeadingSpace("\xA0x", 0), "\xA0x");
}

TEST(ComponentRules, NextTokenSkipsCommaRunsAndKeepsItsPosition) {
    const std::string value = ",,a ,, b,c,";
    std::size_t position = 0;
    EXPECT_EQ(orvex::NextToken(value, position), "a ");
    EXPECT_EQ(orvex::NextToken(value, position), " b");
    EXPECT_EQ(orvex::NextToken(value, position), "c");
    EXPECT_EQ(orvex::NextToken(value, position), "");
    EXPECT_EQ(orvex::NextToken(value, position), "");
}

}  // namespace
