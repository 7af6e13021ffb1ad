#include "ReportFile.h"

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "Pieces.h"

namespace orvex::check {
namespace {

#ifdef _WIN32
// A collector that has the old file open without sharing deletion makes the
// rename fail for that moment: it is tried again for up to a second.
constexpr int kRenameTries = 20;
constexpr DWORD kRenamePauseMs = 50;
#endif

int ProcessId() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

// Writes the whole text and closes the file: 0, or the C runtime's error number.
int WriteAll(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return errno;
    }
    int code = 0;
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file) != 0) {
        code = errno;
    }
    if (std::fclose(file) != 0 && code == 0) {
        code = errno;
    }
    return code;
}

// Renames from over to: 0, or the error code.
int RenameOver(const std::string& from, const std::string& to) {
#ifdef _WIN32
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
            return 0;
        }
        const DWORD code = GetLastError();
        if (attempt == kRenameTries || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)) {
            return static_cast<int>(code);
        }
        Sleep(kRenamePauseMs);
    }
#else
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
#endif
}

}  // namespace

bool ReplaceWhole(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = Cat({path, ".", std::to_string(ProcessId()), ".tmp"});
    int code = WriteAll(temporary, text);
    if (code == 0) {
        code = RenameOver(temporary, path);
    }
    if (code == 0) {
        return true;
    }
    (void)std::remove(temporary.c_str());
    error = Cat({"Failure while writing file: ", path, " (", std::to_string(code), ")"});
    return false;
}

}  // namespace orvex::check
