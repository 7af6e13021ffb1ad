#include "PositionMask.h"

namespace orvex {

void MarkByte(const unsigned char* bytes, std::size_t size, unsigned char byte, PositionMask& mask) {
    mask.resize((size + 63) / 64);
    std::size_t position = 0;
#ifdef ORVEX_VECTOR_MASKS
    const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
    const auto marked = [&wanted](const unsigned char* at) {
        const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(lanes, wanted))));
    };
    for (; position + 64 <= size; position += 64) {
        const unsigned char* at = bytes + position;
        mask[position / 64] = marked(at) | marked(at + 16) << 16U | marked(at + 32) << 32U | marked(at + 48) << 48U;
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
