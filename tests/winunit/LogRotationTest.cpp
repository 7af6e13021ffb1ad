// A product that rotates its status log (renames it, then starts a new one) while
// the host reads it: the reader's handle shares delete access, so neither waits.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

#include "LineReader.h"

namespace orvex {
namespace {

TEST(LogRotation, LogIsRenamedAndReplacedWhileTheReaderHoldsIt) {
    char directory[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0U);
    const std::string log = std::string(directory) + "orvex-rotation.log";
    const std::string rotated = std::string(directory) + "orvex-rotation.log.1";
    DeleteFileA(log.c_str());
    DeleteFileA(rotated.c_str());
    // Longer than the reader's buffer, so that reads go on after the rename.
    constexpr int kLines = 3000;
    {
        std::ofstream out(log, std::ios::binary);
        for (int i = 0; i < kLines; ++i) {
            out << "line " << i << " of the old log\r\n";
        }
    }

    int read = 0;
    {
        LineReader reader(log);
        Line line;
        ASSERT_TRUE(reader.Next(line));
        EXPECT_EQ(std::string(line.text, line.size), "line 0 of the old log");
        ++read;

        ASSERT_TRUE(MoveFileExA(log.c_str(), rotated.c_str(), 0)) << GetLastError();
        std::ofstream(log, std::ios::binary) << "the new log\r\n";

        while (reader.Next(line)) {
            if (line.size > 0) {
                EXPECT_EQ(std::string(line.text, line.size), "line " + std::to_string(read) + " of the old log");
                ++read;
            }
        }
        // The rotated log can go while the reader still holds it.
        EXPECT_TRUE(DeleteFileA(rotated.c_str())) << GetLastError();
    }
    EXPECT_EQ(read, kLines);
    EXPECT_TRUE(DeleteFileA(log.c_str())) << GetLastError();
}

}  // namespace
}  // namespace orvex
