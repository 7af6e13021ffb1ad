#include "HostLogic.h"

#include <cctype>

namespace orvex {

int ClassifyArguments(int argc, char** argv) {
    if (argc != 2) {
        return kServiceMode;
    }
    char* argument = argv[1];
    if (argument[0] == '/') {
        argument[0] = '-';
    }
    std::string lower(argument);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lower == "-install") {
        return kInstall;
    }
    if (lower == "-uninstall") {
        return kUninstall;
    }
    return kUnrecognised;
}

namespace {
std::string BeforeLastBackslash(const std::string& path) {
    const std::size_t last = path.rfind('\\');
    return last == std::string::npos ? path : path.substr(0, last);
}
}  // namespace

ServicePaths DeriveServicePaths(const std::string& modulePath) {
    ServicePaths paths;
    paths.binDir = BeforeLastBackslash(modulePath);
    paths.installDir = BeforeLastBackslash(paths.binDir);
    paths.startScriptPath = paths.binDir + "\\orvexStart.bat";
    paths.stopScriptPath = paths.binDir + "\\orvexStop.bat";
    paths.statusScriptPath = paths.binDir + "\\orvexStatus.bat";
    paths.statusLogPath = paths.installDir + "\\logs\\orvexStatus.log";
    return paths;
}

std::string FormatErrorText(const std::string& message, std::uint32_t code) {
    // Codes of 2^31 and above read as negative, as a signed 32-bit value.
    const auto value = static_cast<std::int64_t>(code);
    const std::int64_t asSigned = value >= 0x80000000LL ? value - 0x100000000LL : value;
    return message + std::to_string(asSigned);
}

std::vector<std::string_view> SplitEventText(std::string_view text, std::size_t maxLength) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (text.size() - start > maxLength) {
        const std::size_t lastFeed = text.rfind('\n', start + maxLength - 1);
        const std::size_t end =
            (lastFeed != std::string_view::npos && lastFeed >= start) ? lastFeed + 1 : start + maxLength;
        pieces.push_back(text.substr(start, end - start));
        start = end;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

std::uint32_t TakeCheckPoint(std::uint32_t state, std::uint32_t& nextCheckPoint) {
    if (state == scm::kRunning || state == scm::kStopped) {
        return 0;
    }
    return nextCheckPoint++;
}

bool StopUnderWay(std::uint32_t state) {
    return state == scm::kStopPending || state == scm::kStopped;
}

ControlDecision DecideControl(std::uint32_t control, bool stopUnderWay) {
    switch (control) {
        case scm::kControlStop:
        case scm::kControlPreshutdown: {
            if (stopUnderWay) {
                return {ControlAction::kStopGoesOn, StopCause::kNone, scm::kNoError};
            }
            const StopCause cause =
                control == scm::kControlStop ? StopCause::kStopControl : StopCause::kPreshutdown;
            return {ControlAction::kBeginStop, cause, scm::kNoError};
        }
        case scm::kControlInterrogate:
            return {ControlAction::kReportStatus, StopCause::kNone, scm::kNoError};
        default:
            return {ControlAction::kIgnore, StopCause::kNone, scm::kCallNotImplemented};
    }
}

StopExitCodes ExitCodesOfStop(StopCause cause) {
    if (cause == StopCause::kFailedStartupCheck) {
        return {scm::kServiceSpecificError, 1};
    }
    return {scm::kNoError, 0};
}

std::string StartCommandLine(const std::string& startScriptPath) {
    return "\"" + startScriptPath + "\" --service";
}

std::string FailureListText(const std::vector<std::string>& failedComponents) {
    std::string listText = text::kFailureListHeader;
    for (const std::string& name : failedComponents) {
        listText += name;
        listText += '\n';
    }
    return listText;
}

}  // namespace orvex
