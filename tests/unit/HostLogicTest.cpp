// The host's decisions that need no Win32.
#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "HostLogic.h"
#include "ProductFile.h"

namespace orvex {
namespace {

int Classify(std::vector<std::string> arguments, std::string* rewritten = nullptr) {
    std::vector<char*> argv;
    std::string program = "orvex.exe";
    argv.push_back(program.data());
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const int result = ClassifyArguments(static_cast<int>(arguments.size()) + 1, argv.data());
    if (rewritten != nullptr && !arguments.empty()) {
        *rewritten = argv[1];
    }
    return result;
}

TEST(ArgumentClassification, SingleArgumentsByTable) {
    const struct {
        const char* argument;
        int expected;
    } cases[] = {
        {"-install", kInstall},      {"/INSTALL", kInstall},    {"-Install", kInstall},
        {"/install", kInstall},      {"-UNINSTALL", kUninstall}, {"/uninstall", kUninstall},
        {"-uninstall", kUninstall},  {"-install2", kUnrecognised}, {"install", kUnrecognised},
        {"--install", kUnrecognised}, {"-uninstal", kUnrecognised}, {"", kUnrecognised},
        {"-install ", kUnrecognised}, {"//install", kUnrecognised},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Classify({c.argument}), c.expected) << "[" << c.argument << "]";
    }
}

TEST(ArgumentClassification, NoneOrSeveralArgumentsMeanServiceMode) {
    EXPECT_EQ(Classify({}), kServiceMode);
    EXPECT_EQ(Classify({"-install", "-install"}), kServiceMode);
    EXPECT_EQ(Classify({"x", "y", "z"}), kServiceMode);
}

TEST(ArgumentClassification, LeadingSlashIsRewrittenInPlace) {
    std::string rewritten;
    Classify({"/Whatever"}, &rewritten);
    EXPECT_EQ(rewritten, "-Whatever");
    Classify({"-Install"}, &rewritten);
    EXPECT_EQ(rewritten, "-Install");  // the case of the argument itself is kept
}

TEST(PathDerivation, ExecutableInABinDirectory) {
    const ServicePaths paths = DeriveServicePaths("D:\\prod\\bin\\orvex.exe");
    EXPECT_EQ(paths.binDir, "D:\\prod\\bin");
    EXPECT_EQ(paths.installDir, "D:\\prod");
    EXPECT_EQ(paths.startScriptPath, "D:\\prod\\bin\\orvexStart.bat");
    EXPECT_EQ(paths.stopScriptPath, "D:\\prod\\bin\\orvexStop.bat");
    EXPECT_EQ(paths.statusScriptPath, "D:\\prod\\bin\\orvexStatus.bat");
    EXPECT_EQ(paths.statusLogPath, "D:\\prod\\logs\\orvexStatus.log");
}

TEST(PathDerivation, ExecutableInADriveRoot) {
    const ServicePaths paths = DeriveServicePaths("C:\\orvex.exe");
    EXPECT_EQ(paths.binDir, "C:");
    EXPECT_EQ(paths.installDir, "C:");
    EXPECT_EQ(paths.startScriptPath, "C:\\orvexStart.bat");
    EXPECT_EQ(paths.statusLogPath, "C:\\logs\\orvexStatus.log");
}

TEST(PathDerivation, PathWithoutBackslashIsNotCut) {
    const ServicePaths paths = DeriveServicePaths("orvex.exe");
    EXPECT_EQ(paths.binDir, "orvex.exe");
    EXPECT_EQ(paths.installDir, "orvex.exe");
    EXPECT_EQ(paths.stopScriptPath, "orvex.exe\\orvexStop.bat");
}

TEST(PathDerivation, BlanksAreKeptUnquoted) {
    const ServicePaths paths = DeriveServicePaths("C:\\Program Files\\Orvex\\bin\\orvex.exe");
    EXPECT_EQ(paths.installDir, "C:\\Program Files\\Orvex");
    EXPECT_EQ(StartCommandLine(paths.startScriptPath),
              "\"C:\\Program Files\\Orvex\\bin\\orvexStart.bat\" --service");
}

TEST(ErrorText, CodeIsWrittenAsSignedDecimal) {
    const struct {
        std::uint32_t code;
        const char* expected;
    } cases[] = {
        {2, "launch: 2"},          {0, "launch: 0"},
        {1063, "launch: 1063"},    {0x7FFFFFFF, "launch: 2147483647"},
        {0x80000000, "launch: -2147483648"}, {0xFFFFFFFF, "launch: -1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatErrorText("launch: ", c.code), c.expected);
    }
}

TEST(CheckPoints, PendingStatesTakeTheNextValueOthersZero) {
    std::uint32_t next = 1;
    EXPECT_EQ(TakeCheckPoint(3, next), 1U);
    EXPECT_EQ(TakeCheckPoint(3, next), 2U);
    EXPECT_EQ(TakeCheckPoint(4, next), 0U);
    EXPECT_EQ(next, 3U);
    EXPECT_EQ(TakeCheckPoint(1, next), 0U);
    EXPECT_EQ(TakeCheckPoint(2, next), 3U);
    EXPECT_EQ(next, 4U);
}

TEST(StopUnderWay, OnceStopPendingOrStoppedHasBeenReported) {
    const struct {
        std::uint32_t state;
        bool underWay;
    } cases[] = {
        {0, false},  // nothing reported yet
        {1, true},   // STOPPED
        {2, false},  // START_PENDING
        {3, true},   // STOP_PENDING
        {4, false},  // RUNNING
        {5, false},  // CONTINUE_PENDING
        {6, false},  // PAUSE_PENDING
        {7, false},  // PAUSED
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StopUnderWay(c.state), c.underWay) << "state " << c.state;
    }
}

TEST(ControlDecisions, EachControlWithAndWithoutAStopUnderWay) {
    constexpr std::uint32_t kNoError = 0;
    constexpr std::uint32_t kNotImplemented = 120;
    const struct {
        const char* what;
        std::uint32_t control;
        bool stopUnderWay;
        ControlAction action;
        StopCause cause;
        std::uint32_t result;
    } cases[] = {
        {"STOP", 1, false, ControlAction::kBeginStop, StopCause::kStopControl, kNoError},
        {"STOP", 1, true, ControlAction::kStopGoesOn, StopCause::kNone, kNoError},
        {"PRESHUTDOWN", 15, false, ControlAction::kBeginStop, StopCause::kPreshutdown, kNoError},
        {"PRESHUTDOWN", 15, true, ControlAction::kStopGoesOn, StopCause::kNone, kNoError},
        {"INTERROGATE", 4, false, ControlAction::kReportStatus, StopCause::kNone, kNoError},
        {"INTERROGATE", 4, true, ControlAction::kReportStatus, StopCause::kNone, kNoError},
        {"SHUTDOWN", 5, false, ControlAction::kIgnore, StopCause::kNone, kNotImplemented},
        {"SHUTDOWN", 5, true, ControlAction::kIgnore, StopCause::kNone, kNotImplemented},
        {"PAUSE", 2, false, ControlAction::kIgnore, StopCause::kNone, kNotImplemented},
        {"PAUSE", 2, true, ControlAction::kIgnore, StopCause::kNone, kNotImplemented},
        {"user-defined 128", 128, false, ControlAction::kIgnore, StopCause::kNone, kNotImplemented},
        {"user-defined 128", 128, true, ControlAction::kIgnore, StopCause::kNone, kNotImplemented},
    };
    for (const auto& c : cases) {
        const ControlDecision decision = DecideControl(c.control, c.stopUnderWay);
        const std::string row = std::string(c.what) + (c.stopUnderWay ? " during a stop" : "");
        EXPECT_EQ(decision.action, c.action) << row;
        EXPECT_EQ(decision.cause, c.cause) << row;
        EXPECT_EQ(decision.result, c.result) << row;
    }
}

TEST(StopExitCodes, OnlyTheFailedStartupCheckEndsWithAnError) {
    const struct {
        const char* what;
        StopCause cause;
        std::uint32_t win32;
        std::uint32_t serviceSpecific;
    } cases[] = {
        {"failed startup check", StopCause::kFailedStartupCheck, 1066, 1},
        {"administrator's STOP", StopCause::kStopControl, 0, 0},
        {"PRESHUTDOWN", StopCause::kPreshutdown, 0, 0},
        {"uninstall", StopCause::kUninstall, 0, 0},
        {"no cause recorded", StopCause::kNone, 0, 0},
    };
    for (const auto& c : cases) {
        const StopExitCodes codes = ExitCodesOfStop(c.cause);
        EXPECT_EQ(codes.win32, c.win32) << c.what;
        EXPECT_EQ(codes.serviceSpecific, c.serviceSpecific) << c.what;
    }
}

TEST(FailureList, HeaderThenOneLinePerComponent) {
    EXPECT_EQ(FailureListText({"A", "B"}),
              "Following ORVEX components did not started successfully or did not join the kernel. \nA\nB\n");
    EXPECT_EQ(FailureListText({}),
              "Following ORVEX components did not started successfully or did not join the kernel. \n");
}

// The check's steps as a checker that throws each kind of failure: every one is heard,
// none escapes to end the process.
TEST(GuardedCheck, EveryFailureOfTheCheckIsOneEntry) {
    const std::string checking = "Failure while checking the status of ORVEX components: ";
    const struct {
        const char* what;
        void (*steps)();
        bool entry;
        std::string text;
        std::uint16_t type;
    } cases[] = {
        {"no failure", [] {}, false, "", 0},
        {"file cannot be opened",
         [] { throw OpeningFailure("C:\\p\\etc\\status.properties"); }, true,
         "Failure while opening file: C:\\p\\etc\\status.properties", 2},
        {"too little memory", [] { throw std::bad_alloc(); }, true, checking + std::bad_alloc().what(), 1},
        {"another exception", [] { throw std::length_error("vector::reserve"); }, true,
         checking + "vector::reserve", 1},
        {"not an exception", [] { throw 7; }, true, checking + "unknown failure", 1},
    };
    for (const auto& c : cases) {
        const std::optional<EventEntry> entry = GuardedCheck(c.steps);
        ASSERT_EQ(entry.has_value(), c.entry) << c.what;
        if (entry) {
            EXPECT_EQ(entry->text, c.text) << c.what;
            EXPECT_EQ(entry->type, c.type) << c.what;
        }
    }
}

std::string Joined(const std::vector<std::string_view>& pieces) {
    std::string whole;
    for (const std::string_view piece : pieces) {
        whole += piece;
    }
    return whole;
}

TEST(EventTextSplitting, TextsThatFitStayWhole) {
    for (const std::string& text : {std::string(), std::string("short\n"), std::string(31839, 'a')}) {
        const auto pieces = SplitEventText(text);
        ASSERT_EQ(pieces.size(), 1U);
        EXPECT_EQ(pieces[0], text);
    }
}

TEST(EventTextSplitting, CutsAfterTheLastLineFeedWithinTheLimit) {
    const std::string text = "aaaa\nbb\ncccc\ndd";
    const auto pieces = SplitEventText(text, 10);
    EXPECT_EQ(pieces, (std::vector<std::string_view>{"aaaa\nbb\n", "cccc\ndd"}));
}

TEST(EventTextSplitting, CutsAtTheLimitWhereAPieceHasNoLineFeed) {
    const auto pieces = SplitEventText("abcdefghijklmnopqrstuvwxy\nz", 10);
    EXPECT_EQ(pieces, (std::vector<std::string_view>{"abcdefghij", "klmnopqrst", "uvwxy\nz"}));
}

TEST(EventTextSplitting, LineFeedExactlyAtTheLimit) {
    const auto pieces = SplitEventText("abcdefghi\nXYZ", 10);
    EXPECT_EQ(pieces, (std::vector<std::string_view>{"abcdefghi\n", "XYZ"}));
    // One past the limit: the piece before it must not take the line feed.
    const auto past = SplitEventText("abcdefghij\nXYZ", 10);
    EXPECT_EQ(past, (std::vector<std::string_view>{"abcdefghij", "\nXYZ"}));
    // A line feed that begins a piece, then more than the limit without one.
    const auto alone = SplitEventText("abcdefghij\nklmnopqrstuvwxy", 10);
    EXPECT_EQ(alone, (std::vector<std::string_view>{"abcdefghij", "\n", "klmnopqrst", "uvwxy"}));
}

TEST(EventTextSplitting, LongLogKeepsEveryCharacterInBoundedPieces) {
    std::string text = "ORVEX STATUS:\n\n";
    for (int i = 0; text.size() < 100000; ++i) {
        text += "component " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 300), '.') + "\n";
    }
    const auto pieces = SplitEventText(text);
    ASSERT_GE(pieces.size(), 4U);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_LE(pieces[i].size(), kMaxEventTextLength);
        EXPECT_FALSE(pieces[i].empty());
        if (i + 1 < pieces.size()) {
            EXPECT_EQ(pieces[i].back(), '\n');
        }
    }
    EXPECT_EQ(Joined(pieces), text);
}

}  // namespace
}  // namespace orvex
