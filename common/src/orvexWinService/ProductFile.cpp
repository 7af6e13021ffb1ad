#include "ProductFile.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdio>
#include <filesystem>
#include <system_error>
#endif

namespace orvex {
namespace {

std::ios_base::failure FileFailure(const std::string& message) {
    std::ios_base::failure failure(message);
    // The library may append the error category's text to what(); callers
    // report what() as it is, so the base keeps the message alone.
    static_cast<std::runtime_error&>(failure) = std::runtime_error(message);
    return failure;
}

}  // namespace

std::ios_base::failure OpeningFailure(const std::string& path) {
    return FileFailure("Failure while opening file: " + path);
}

std::ios_base::failure ReadingFailure(const std::string& path) {
    return FileFailure("Failure while reading file: " + path);
}

#ifdef _WIN32

ProductFile::ProductFile(const std::string& path) : path(path) {
    // A directory is not opened without backup semantics: it fails here too.
    HANDLE opened = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        throw OpeningFailure(path);
    }
    file.reset(opened);
}

ProductFile::~ProductFile() = default;

std::size_t ProductFile::Read(char* buffer, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const std::size_t left = size - total;
        const DWORD wanted = left > 0x40000000U ? 0x40000000U : static_cast<DWORD>(left);
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer + total, wanted, &read, nullptr)) {
            throw ReadingFailure(path);
        }
        if (read == 0) {
            break;  // the end of the file
        }
        total += read;
    }
    return total;
}

#else

ProductFile::ProductFile(const std::string& path) : path(path) {
    // The C library opens a directory for reading here, where Windows does
    // not; it is no product file on either.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw OpeningFailure(path);
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw OpeningFailure(path);
    }
    // Reads go straight into the caller's buffer: no second buffer inside the library.
    (void)std::setvbuf(file, nullptr, _IONBF, 0);
    stream = file;
}

ProductFile::~ProductFile() {
    (void)std::fclose(stream);
}

std::size_t ProductFile::Read(char* buffer, std::size_t size) {
    const std::size_t read = std::fread(buffer, 1, size, stream);
    if (read < size && std::ferror(stream) != 0) {
        throw ReadingFailure(path);
    }
    return read;
}

#endif

}  // namespace orvex
