// Frame-feature search. The header analysis runs it over windows of several
// times a recording's size, so it has to run near memory speed: a vector pass
// tests 32 or 64 positions at once on the three fixed bytes (offset 0 zero,
// offset 4 slice type, offset 5 slice header) and only the rare positions
// that pass all three are checked exactly. Random data passes about once in
// 8 MiB, H.264 slice data a little more often.
#include "scan/frame_feature.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QRV_FEATURE_X86 1
#endif

namespace qrv {

namespace {

// Bit 7 of each byte set exactly where the byte of w is zero.
inline uint64_t Zero_Bytes(uint64_t w) {
    constexpr uint64_t k7F = 0x7F7F7F7F7F7F7F7FULL;
    uint64_t t = (w & k7F) + k7F;
    return ~(t | w | k7F);
}

#ifdef QRV_FEATURE_X86
__attribute__((target("avx2"))) int64_t Find_Avx2(const uint8_t* buf, int64_t from, int64_t to) {
    // Two of the three fixed bytes pick the candidates (a zero at offset 0,
    // 88 or 9A at offset 5: about one position in 30,000 of random data);
    // each candidate is then checked whole.
    const __m256i zero = _mm256_setzero_si256();
    const __m256i v88 = _mm256_set1_epi8(char(0x88)), v9A = _mm256_set1_epi8(char(0x9A));
    int64_t i = from;
    for (; i + 32 <= to; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i));
        const __m256i h = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 5));
        const __m256i m =
            _mm256_and_si256(_mm256_cmpeq_epi8(a, zero),
                             _mm256_or_si256(_mm256_cmpeq_epi8(h, v88), _mm256_cmpeq_epi8(h, v9A)));
        for (uint32_t bits = uint32_t(_mm256_movemask_epi8(m)); bits; bits &= bits - 1) {
            const int64_t b = i + __builtin_ctz(bits);
            if (Is_FrameFeature(buf + b)) return b;
        }
    }
    return Find_FrameFeature_Scalar(buf, i, to);
}

__attribute__((target("avx512f,avx512bw"))) int64_t Find_Avx512(const uint8_t* buf, int64_t from,
                                                                int64_t to) {
    const __m512i v88 = _mm512_set1_epi8(char(0x88)), v9A = _mm512_set1_epi8(char(0x9A));
    int64_t i = from;
    for (; i + 64 <= to; i += 64) {
        const __m512i a = _mm512_loadu_si512(buf + i);
        const __m512i h = _mm512_loadu_si512(buf + i + 5);
        const __mmask64 z = _mm512_testn_epi8_mask(a, a);
        uint64_t bits =
            uint64_t(_mm512_mask_cmpeq_epi8_mask(z, h, v88) | _mm512_mask_cmpeq_epi8_mask(z, h, v9A));
        for (; bits; bits &= bits - 1) {
            const int64_t b = i + __builtin_ctzll(bits);
            if (Is_FrameFeature(buf + b)) return b;
        }
    }
    return Find_Avx2(buf, i, to);
}
#endif

using TFindFn = int64_t (*)(const uint8_t*, int64_t, int64_t);

TFindFn Pick() {
#ifdef QRV_FEATURE_X86
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx2")) return Find_Avx512;
    if (__builtin_cpu_supports("avx2")) return Find_Avx2;
#endif
    return Find_FrameFeature_Scalar;
}

} // namespace

// Candidates are found eight positions at a time by the byte after the NAL
// header byte (88 or 9A), so the common case costs a few word operations per
// eight bytes and no per-byte branch.
int64_t Find_FrameFeature_Scalar(const uint8_t* buf, int64_t from, int64_t to) {
    constexpr uint64_t k88 = 0x8888888888888888ULL;
    constexpr uint64_t k9A = 0x9A9A9A9A9A9A9A9AULL;
    for (int64_t q = from; q < to; q += 8) {
        uint64_t w;
        std::memcpy(&w, buf + q + 5, 8);
        uint64_t hits = Zero_Bytes(w ^ k88) | Zero_Bytes(w ^ k9A);
        while (hits) {
            const int64_t b = q + __builtin_ctzll(hits) / 8; // little-endian: byte j has bit 8j+7
            hits &= hits - 1;
            if (b >= to) return to;
            if (Is_FrameFeature(buf + b)) return b;
        }
    }
    return to;
}

int64_t Find_FrameFeature(const uint8_t* buf, int64_t from, int64_t to) {
    static const TFindFn fn = Pick();
    return fn(buf, from, to);
}

} // namespace qrv
