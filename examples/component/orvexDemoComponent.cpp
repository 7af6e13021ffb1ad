// A stand-in for one component of the sample product, so that the service host can be
// shown end to end. "run NAME" stays up until "stop NAME" signals it; "status NAME..."
// prints one status-log line per component that is up.
#include <windows.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace {

std::string StopEventName(const std::string& component) {
    return "orvexDemo." + component + ".stop";
}

bool IsUp(const std::string& component) {
    const HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, StopEventName(component).c_str());
    if (event == nullptr) {
        return false;
    }
    CloseHandle(event);
    return true;
}

std::string Now() {
    const std::time_t now = std::time(nullptr);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return text;
}

// A component whose etc\NAME.broken file exists fails at once, as a broken one would.
int Run(const std::string& component) {
    const std::string broken = "etc\\" + component + ".broken";
    if (GetFileAttributesA(broken.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return 1;
    }
    const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, StopEventName(component).c_str());
    if (stop == nullptr) {
        return 1;
    }
    WaitForSingleObject(stop, INFINITE);
    CloseHandle(stop);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: orvexDemoComponent run|status|stop|wait NAME...\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "run") {
        return Run(argv[2]);
    }
    int result = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string component = argv[i];
        if (mode == "status") {
            std::printf("%s %s component %s\n", Now().c_str(), IsUp(component) ? "INFO " : "ERROR",
                        IsUp(component) ? (component + " started, joined the kernel").c_str()
                                        : (component + " is not running").c_str());
        } else if (mode == "stop" || mode == "wait") {
            // Stop: signal the component, then give it up to 10 s to end.
            // Wait: give a starting component up to 5 s to come up.
            if (mode == "stop") {
                const HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, StopEventName(component).c_str());
                if (event != nullptr) {
                    SetEvent(event);
                    CloseHandle(event);
                }
            }
            const bool wantUp = mode == "wait";
            for (int round = 0; round < 100 && IsUp(component) != wantUp; ++round) {
                Sleep(wantUp ? 50 : 100);
            }
            result |= IsUp(component) != wantUp ? 1 : 0;
        }
    }
    return result;
}
