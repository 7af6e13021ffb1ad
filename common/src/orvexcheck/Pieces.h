// Small pieces of text that orvexcheck's gathering and its reports share.
#ifndef ORVEX_CHECK_PIECES_H
#define ORVEX_CHECK_PIECES_H

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "StartupVerification.h"

namespace orvex::check {

// Appends the pieces: one call where a chain of + would make a string per step.
inline void Put(std::string& out, std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) {
        out.append(piece.data(), piece.size());
    }
}

inline std::string Cat(std::initializer_list<std::string_view> pieces) {
    std::string out;
    Put(out, pieces);
    return out;
}

inline std::string Plural(std::uint64_t count, const char* one, const char* many) {
    return Cat({std::to_string(count), " ", count == 1 ? one : many});
}

// A number with three decimals ("3.250"), as the reports give times in seconds.
inline std::string FixedText(double value) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// Where a text begins and ends without the white space at either end.
inline std::pair<std::size_t, std::size_t> BlankFreeSpan(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsWhiteSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsWhiteSpace(text[end - 1])) {
        --end;
    }
    return {begin, end};
}

}  // namespace orvex::check

#endif
