#include "StatusChecker.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <ios>
#include <random>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;
using Texts = std::array<std::string, 3>;

std::filesystem::path UniquePath() {
    static std::mt19937_64 random{std::random_device{}()};
    return std::filesystem::temp_directory_path() / ("orvex-rules-" + std::to_string(random()) + ".tmp");
}

// The rules read from a definitions file holding these bytes.
std::vector<Texts> Load(const std::string& content) {
    const auto path = UniquePath();
    std::ofstream(path, std::ios::binary) << content;
    const auto rules = orvex::LoadComponentRules(path.string());
    std::filesystem::remove(path);
    std::vector<Texts> texts;
    for (const auto& rule : rules) {
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

TEST(ComponentRules, FilesGiveTheirRulesInOrder) {
    const Texts xyz{"x", "y", "z"};
    const Texts pqr{"p", "q", "r"};
    const Texts long3{"x", "y", std::string(249, 'z')};
    const std::string line255 = "k=x,y," + std::string(249, 'z');
    const std::vector<std::pair<std::string, std::vector<Texts>>> cases = {
        {"a=x,y,z\n# note\n\nb=p,q,r\nc=x,y,z\nc=x,y,z\n", {xyz, pqr, xyz, xyz}},
        {"# c\r\na=x,y,z\r\n\r\nb=p,q,r\r\n", {xyz, pqr}},
        {"a=x,y,z\nb=p,q,r", {xyz, pqr}},
        {"b=p,q,r\r", {{"p", "q", "r\r"}}},
        {line255 + "\na=p,q,r\n", {long3, pqr}},
        {line255 + "\r\na=p,q,r", {long3, pqr}},
        {line255 + "w,v\na=p,q,r\n", {long3, pqr}},
        {line255 + std::string(70000, 'w') + "\r\na=p,q,r\n", {long3, pqr}},
        {std::string(255, ' ') + "k=a,b,c\na=p,q,r", {pqr}},
        {"a=x,y,z\0w,v\nb=p,q\0,r\nc=p,q,r\n"s, {xyz, pqr}},
        {"a=x,y,z\nb=p,q,r\x1A\nc=s,t,u\n", {xyz, pqr}},
        {"\x1A" "a=x,y,z\n", {}},
        {"", {}},
        {"# a=x,y,z\n\n   \n! b=p,q,r", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 60));
        EXPECT_EQ(Load(c.first), c.second);
    }
}

TEST(ComponentRules, MissingFileThrowsStreamFailureWithExactMessage) {
    const std::string path = (UniquePath() / "status.properties").string();
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
