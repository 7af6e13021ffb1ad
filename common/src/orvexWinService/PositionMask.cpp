#include "PositionMask.h"

#ifdef ORVEX_VECTOR_AT_RUN_TIME
#include <cpuid.h>
#endif

namespace orvex {

#ifdef ORVEX_VECTOR_AT_RUN_TIME
bool VectorMarking() {
    static const bool sse2 = [] {
        unsigned eax = 0;
        unsigned ebx = 0;
        unsigned ecx = 0;
        unsigned edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
    }();
    return sse2;
}
#endif

namespace {

#ifdef ORVEX_VECTOR_MASKS
ORVEX_VECTOR_STEP std::uint64_t Marked16(const unsigned char* at, const __m128i& wanted) {
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(lanes, wanted))));
}

// Marks whole words of 64 positions; returns the first position not marked.
ORVEX_VECTOR_TARGET std::size_t MarkByteByVectors(const unsigned char* bytes, std::size_t size, unsigned char byte,
                                                  std::uint64_t* words) {
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
    std::size_t position = 0;
    for (; position + 64 <= size; position += 64) {
        const unsigned char* at = bytes + position;
        words[position / 64] = Marked16(at, wanted) | Marked16(at + 16, wanted) << 16U |
                               Marked16(at + 32, wanted) << 32U | Marked16(at + 48, wanted) << 48U;
    }
    return position;
}
#endif

}  // namespace

void MarkByte(const unsigned char* bytes, std::size_t size, unsigned char byte, PositionMask& mask) {
    mask.resize((size + 63) / 64);
    std::size_t position = 0;
#ifdef ORVEX_VECTOR_MASKS
    if (VectorMarking()) {
        position = MarkByteByVectors(bytes, size, byte, mask.data());
    }
#endif
    for (; position < size; position += 64) {
        std::uint64_t word = 0;
        for (std::size_t k = 0; k < 64 && position + k < size; ++k) {
            word |= static_cast<std::uint64_t>(bytes[position + k] == byte ? 1 : 0) << k;
        }
        mask[position / 64] = word;
    }
}

}  // namespace orvex
