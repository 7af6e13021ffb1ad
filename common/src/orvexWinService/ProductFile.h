// A product file opened for reading. It is shared with every other reader,
// writer and deleter, so that a status script still writing the log, or a
// product that renames its log to start a new one, never has to wait for the
// host. A read that fails is an error, never taken for the end of the file.
#ifndef ORVEX_PRODUCT_FILE_H
#define ORVEX_PRODUCT_FILE_H

#include <cstddef>
#include <ios>
#include <string>

#ifdef _WIN32
#include "ScopedHandle.h"
#else
#include <cstdio>
#endif

namespace orvex {

// The failure a product file that cannot be opened raises: what() is exactly
// "Failure while opening file: " + path.
std::ios_base::failure OpeningFailure(const std::string& path);

// The failure a read of an opened product file raises: what() is exactly
// "Failure while reading file: " + path.
std::ios_base::failure ReadingFailure(const std::string& path);

class ProductFile {
public:
    // Throws OpeningFailure(path) where the file cannot be opened for reading,
    // a directory included.
    explicit ProductFile(const std::string& path);
    ~ProductFile();
    ProductFile(const ProductFile&) = delete;
    ProductFile& operator=(const ProductFile&) = delete;

    // Reads until size bytes are read or the file ends; returns how many were
    // read. Throws ReadingFailure(path) where a read fails.
    std::size_t Read(char* buffer, std::size_t size);

private:
    std::string path;
#ifdef _WIN32
    KernelHandle file;
#else
    std::FILE* stream = nullptr;
#endif
};

}  // namespace orvex

#endif
