// One bit per position of a block of bytes: bit k of word w stands for
// position 64 * w + k. Lines and candidate starts are found by their bits, so
// that a line costs a few word operations rather than a search of its bytes.
#ifndef ORVEX_POSITION_MASK_H
#define ORVEX_POSITION_MASK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// With SSE2, sixteen positions are marked at once. Where the build does not
// promise SSE2 (32-bit x86 for processors without it), the vector code is
// compiled for SSE2 function by function and taken only where the processor
// has it. ORVEX_PORTABLE_MASKS builds the portable marking alone, as such a
// processor runs it; ORVEX_MARKING_AT_RUN_TIME makes a build that promises
// SSE2 choose at run time all the same, as the 32-bit build does.
#if defined(ORVEX_PORTABLE_MASKS)
#elif defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__)) && \
    (!defined(__SSE2__) || defined(ORVEX_MARKING_AT_RUN_TIME))
#include <emmintrin.h>
#define ORVEX_VECTOR_MASKS 1
#define ORVEX_VECTOR_AT_RUN_TIME 1
#define ORVEX_VECTOR_TARGET __attribute__((target("sse2")))
#elif defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define ORVEX_VECTOR_MASKS 1
#define ORVEX_VECTOR_TARGET
#endif
// The small vector steps are inlined into their loops also where the build
// optimises for size.
#if defined(ORVEX_VECTOR_MASKS) && defined(__GNUC__)
#define ORVEX_VECTOR_STEP ORVEX_VECTOR_TARGET inline __attribute__((always_inline))
#elif defined(ORVEX_VECTOR_MASKS)
#define ORVEX_VECTOR_STEP __forceinline
#endif

namespace orvex {

// True where positions are marked sixteen at a time: always where the build
// promises SSE2, never in the portable build, otherwise where the processor
// has SSE2 (asked once per process).
#if defined(ORVEX_VECTOR_AT_RUN_TIME)
bool VectorMarking();
#else
inline bool VectorMarking() {
#ifdef ORVEX_VECTOR_MASKS
    return true;
#else
    return false;
#endif
}
#endif

using PositionMask = std::vector<std::uint64_t>;

// Index of the lowest set bit of a non-zero word.
inline unsigned LowestBit(std::uint64_t bits) {
#if defined(__GNUC__)
    return static_cast<unsigned>(__builtin_ctzll(bits));
#else
    // de Bruijn multiplication
    static constexpr std::array<unsigned char, 64> index = {
        0,  1,  48, 2,  57, 49, 28, 3,  61, 58, 50, 42, 38, 29, 17, 4,  62, 55, 59, 36, 53, 51,
        43, 22, 45, 39, 33, 30, 24, 18, 12, 5,  63, 47, 56, 27, 60, 41, 37, 16, 54, 35, 52, 21,
        44, 32, 23, 11, 46, 26, 40, 15, 34, 20, 31, 10, 25, 14, 19, 9,  13, 8,  7,  6};
    return index[((bits & (~bits + 1)) * 0x03F79D71B4CB0A89ULL) >> 58U];
#endif
}

// Index of the highest set bit of a non-zero word.
inline unsigned HighestBit(std::uint64_t bits) {
#if defined(__GNUC__)
    return 63U - static_cast<unsigned>(__builtin_clzll(bits));
#else
    unsigned index = 0;
    for (unsigned step = 32; step > 0; step /= 2) {
        if ((bits >> step) != 0) {
            bits >>= step;
            index += step;
        }
    }
    return index;
#endif
}

// Set bits of a word (counted in parallel: the compilers' own count calls a
// library function where the processor is not known to count by itself).
inline unsigned CountBits(std::uint64_t bits) {
    bits = bits - ((bits >> 1U) & 0x5555555555555555ULL);
    bits = (bits & 0x3333333333333333ULL) + ((bits >> 2U) & 0x3333333333333333ULL);
    bits = (bits + (bits >> 4U)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((bits * 0x0101010101010101ULL) >> 56U);
}

// The first marked position in [from, to), or to.
inline std::size_t NextMarked(const PositionMask& mask, std::size_t from, std::size_t to) {
    if (from >= to) {
        return to;
    }
    std::size_t word = from / 64;
    std::uint64_t bits = mask[word] >> (from % 64) << (from % 64);
    while (bits == 0) {
        ++word;
        if (word * 64 >= to) {
            return to;
        }
        bits = mask[word];
    }
    const std::size_t found = word * 64 + LowestBit(bits);
    return found < to ? found : to;
}

// The last marked position in [from, to), or from - 1.
inline std::size_t LastMarkedBefore(const PositionMask& mask, std::size_t from, std::size_t to) {
    if (to <= from) {
        return from - 1;
    }
    for (std::size_t word = (to - 1) / 64 + 1; word-- > from / 64;) {
        std::uint64_t bits = mask[word];
        if (to - word * 64 < 64) {
            bits &= (std::uint64_t{1} << (to - word * 64)) - 1;
        }
        if (word == from / 64) {
            bits &= ~std::uint64_t{0} << (from % 64);
        }
        if (bits != 0) {
            return word * 64 + HighestBit(bits);
        }
    }
    return from - 1;
}

// True when a position in [from, to) is marked.
inline bool AnyMarked(const PositionMask& mask, std::size_t from, std::size_t to) {
    if (from >= to) {
        return false;
    }
    const std::size_t first = from / 64;
    const std::size_t last = (to - 1) / 64;
    const std::uint64_t head = mask[first] >> (from % 64);
    const auto below = [](std::size_t count) { return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1; };
    if (first == last) {
        return (head & below(to - from)) != 0;
    }
    if (head != 0) {
        return true;
    }
    for (std::size_t word = first + 1; word < last; ++word) {
        if (mask[word] != 0) {
            return true;
        }
    }
    return (mask[last] & below(to - last * 64)) != 0;
}

// Marks the positions of [bytes, bytes + size) that hold byte.
void MarkByte(const unsigned char* bytes, std::size_t size, unsigned char byte, PositionMask& mask);

}  // namespace orvex

#endif
