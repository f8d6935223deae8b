// Content tests on raw bytes: the structural-marker test, the marker-free run
// search and the sample-start test, plus the fast signature searches the
// block classifier and the marker test are built on.
//
// Both searches look at every byte of what they are given, so they do not
// test every rule at every byte: a vector pass over 32 positions at a time
// picks out the few positions whose bytes could start a match (two or three
// characteristic bytes per signature), and only those are checked exactly.
// A plain path gives the same answers on machines without AVX2; tests run
// every path the machine offers (Set_SearchPath).
#include "scan/classifier.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "media/raw_access.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QRV_HAVE_X86 1
#endif

namespace qrv {

namespace {

constexpr uint8_t kMovieSig[12] = {'m', 'o', 'o', 'v', 0, 0, 0, 0x6C, 'm', 'v', 'h', 'd'};

bool Movie_SigAt(const uint8_t* p) {
    return std::memcmp(p, kMovieSig, 12) == 0;
}

// ---------------------------------------------------------------------------
// Movie-box signature search

int64_t Find_MovieSig_Scalar(const uint8_t* buf, int64_t from, int64_t to) {
    int64_t i = from;
    while (i < to) {
        const void* hit = std::memchr(buf + i, 'm', size_t(to - i));
        if (!hit) return to;
        i = static_cast<const uint8_t*>(hit) - buf;
        if (buf[i + 11] == 'd' && Movie_SigAt(buf + i)) return i;
        ++i;
    }
    return to;
}

#ifdef QRV_HAVE_X86
__attribute__((target("avx2"))) int64_t Find_MovieSig_Avx2(const uint8_t* buf, int64_t from, int64_t to) {
    const __m256i vm = _mm256_set1_epi8('m');
    const __m256i vd = _mm256_set1_epi8('d');
    int64_t i = from;
    for (; i + 32 <= to; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i));
        __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 11));
        uint32_t m = uint32_t(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, vm), _mm256_cmpeq_epi8(d, vd))));
        while (m) {
            int j = __builtin_ctz(m);
            if (Movie_SigAt(buf + i + j)) return i + j;
            m &= m - 1;
        }
    }
    return Find_MovieSig_Scalar(buf, i, to);
}

__attribute__((target("avx512f,avx512bw"))) int64_t Find_MovieSig_Avx512(const uint8_t* buf, int64_t from,
                                                                         int64_t to) {
    const __m512i vm = _mm512_set1_epi8('m');
    const __m512i vd = _mm512_set1_epi8('d');
    int64_t i = from;
    for (; i + 64 <= to; i += 64) {
        __m512i a = _mm512_loadu_si512(buf + i);
        __m512i d = _mm512_loadu_si512(buf + i + 11);
        uint64_t m = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(a, vm), d, vd);
        while (m) {
            int j = __builtin_ctzll(m);
            if (Movie_SigAt(buf + i + j)) return i + j;
            m &= m - 1;
        }
    }
    return Find_MovieSig_Avx2(buf, i, to);
}
#endif

// ---------------------------------------------------------------------------
// Structural markers

// Rules tested at sector starts only.
bool Sector_MarkerAt(const uint8_t* p) {
    if (std::memcmp(p, ".       ", 8) == 0 && std::memcmp(p + 32, "..      ", 8) == 0) return true;
    if (p[0] == 0xFF) {
        bool erased = true;
        for (int k = 0; k < 512 && erased; ++k)
            erased = p[k] == 0xFF;
        if (erased) return true;
        if (p[1] == 0xD8 && p[2] == 0xFF) {
            switch (p[3]) {
            case 0xE0:
            case 0xE1:
            case 0xDB:
            case 0xEB:
            case 0xEE:
            case 0xFE:
            case 0xC4:
            case 0xC0:
                return true;
            default:
                break;
            }
        }
    }
    if (p[0] == 0 && p[1] == 0 && p[2] == 0 && std::memcmp(p + 4, "ftyp", 4) == 0) return true;
    if (std::memcmp(p, "RIFF", 4) == 0) return true;
    return false;
}

// Rules tested at every position; p must be readable for 12 bytes.
bool Byte_MarkerAt(const uint8_t* p) {
    if (p[0] == 0 && ((p[4] == 0x65 && p[5] == 0x88) || (p[4] == 0x41 && p[5] == 0x9A)) &&
        (p[1] | p[2] | p[3]) != 0)
        return true;
    static const uint8_t kZeros[8] = {};
    switch (p[0]) {
    case 'm':
        return Movie_SigAt(p) || (std::memcmp(p, "mdhd", 4) == 0 && std::memcmp(p + 4, kZeros, 4) == 0);
    case 's':
        if (std::memcmp(p, "stsz", 4) == 0) return std::memcmp(p + 4, kZeros, 8) == 0;
        return (std::memcmp(p, "stco", 4) == 0 || std::memcmp(p, "stts", 4) == 0 ||
                std::memcmp(p, "stsc", 4) == 0) &&
               std::memcmp(p + 4, kZeros, 4) == 0;
    case 't':
        return std::memcmp(p, "trak", 4) == 0 && std::memcmp(p + 8, "tkhd", 4) == 0;
    default:
        return false;
    }
}

// Cheap pre-filter: false only where Byte_MarkerAt is certainly false.
inline bool Byte_MarkerCandidate(const uint8_t* p) {
    if ((p[4] == 0x65 && p[5] == 0x88) || (p[4] == 0x41 && p[5] == 0x9A)) return true;
    if ((p[0] == 's' || p[0] == 'm') && p[4] == 0) return true;
    return p[0] == 't' && p[8] == 't';
}

bool Any_ByteMarker_Scalar(const uint8_t* buf, int64_t from, int64_t n) {
    for (int64_t i = from; i < n; ++i)
        if (Byte_MarkerCandidate(buf + i) && Byte_MarkerAt(buf + i)) return true;
    return false;
}

#ifdef QRV_HAVE_X86
__attribute__((target("avx2"))) bool Any_ByteMarker_Avx2(const uint8_t* buf, int64_t n) {
    const __m256i c65 = _mm256_set1_epi8(char(0x65)), c88 = _mm256_set1_epi8(char(0x88));
    const __m256i c41 = _mm256_set1_epi8(char(0x41)), c9A = _mm256_set1_epi8(char(0x9A));
    const __m256i cs = _mm256_set1_epi8('s'), cm = _mm256_set1_epi8('m'), ct = _mm256_set1_epi8('t');
    const __m256i zero = _mm256_setzero_si256();
    int64_t i = 0;
    for (; i + 32 <= n; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i));
        __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 4));
        __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 5));
        __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 8));
        __m256i au = _mm256_or_si256(_mm256_and_si256(_mm256_cmpeq_epi8(e, c65), _mm256_cmpeq_epi8(f, c88)),
                                     _mm256_and_si256(_mm256_cmpeq_epi8(e, c41), _mm256_cmpeq_epi8(f, c9A)));
        __m256i box = _mm256_and_si256(_mm256_or_si256(_mm256_cmpeq_epi8(a, cs), _mm256_cmpeq_epi8(a, cm)),
                                       _mm256_cmpeq_epi8(e, zero));
        __m256i trak = _mm256_and_si256(_mm256_cmpeq_epi8(a, ct), _mm256_cmpeq_epi8(g, ct));
        uint32_t m = uint32_t(_mm256_movemask_epi8(_mm256_or_si256(au, _mm256_or_si256(box, trak))));
        while (m) {
            int j = __builtin_ctz(m);
            if (Byte_MarkerAt(buf + i + j)) return true;
            m &= m - 1;
        }
    }
    return Any_ByteMarker_Scalar(buf, i, n);
}
#endif

struct TSearchImpl {
    int64_t (*FindMovie)(const uint8_t*, int64_t, int64_t);
    bool (*AnyByteMarker)(const uint8_t*, int64_t);
};

bool Any_ByteMarker_ScalarAll(const uint8_t* buf, int64_t n) {
    return Any_ByteMarker_Scalar(buf, 0, n);
}

constexpr TSearchImpl kPlain = {Find_MovieSig_Scalar, Any_ByteMarker_ScalarAll};
#ifdef QRV_HAVE_X86
constexpr TSearchImpl kAvx2 = {Find_MovieSig_Avx2, Any_ByteMarker_Avx2};
constexpr TSearchImpl kAvx512 = {Find_MovieSig_Avx512, Any_ByteMarker_Avx2};
#endif

// The implementation of a path; nullptr when this processor cannot run it.
const TSearchImpl* Impl_Of(TSearchPath path) {
    switch (path) {
    case TSearchPath::Plain:
        return &kPlain;
#ifdef QRV_HAVE_X86
    case TSearchPath::Avx2:
        return __builtin_cpu_supports("avx2") ? &kAvx2 : nullptr;
    case TSearchPath::Avx512:
        return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx2") ? &kAvx512 : nullptr;
    case TSearchPath::Best:
        if (auto* i = Impl_Of(TSearchPath::Avx512)) return i;
        if (auto* i = Impl_Of(TSearchPath::Avx2)) return i;
        return &kPlain;
#else
    case TSearchPath::Best:
        return &kPlain;
#endif
    default:
        return nullptr;
    }
}

std::atomic<TSearchPath> g_searchPath{TSearchPath::Best};
std::atomic<const TSearchImpl*> g_searchImpl{Impl_Of(TSearchPath::Best)};

const TSearchImpl& Impl() {
    return *g_searchImpl.load(std::memory_order_relaxed);
}

} // namespace

bool Set_SearchPath(TSearchPath path) {
    const TSearchImpl* impl = Impl_Of(path);
    if (!impl) return false;
    g_searchImpl.store(impl);
    g_searchPath.store(path);
    return true;
}

TSearchPath Search_Path() {
    return g_searchPath.load();
}

int64_t Find_MovieSignature(const uint8_t* buf, int64_t from, int64_t to) {
    if (from >= to) return to;
    return Impl().FindMovie(buf, from, to);
}

bool Has_Marker(const uint8_t* buf, size_t len) {
    if (buf == nullptr || len <= 512) return false;
    const int64_t n = int64_t(len) - 512; // positions 0 .. n-1; every test stays below len
    for (int64_t i = 0; i < n; i += 512)
        if (Sector_MarkerAt(buf + i)) return true;
    return Impl().AnyByteMarker(buf, n);
}

int64_t Find_PlainRun(TSource& h, int direction, int64_t step, int64_t start, int64_t limit) {
    if (step <= 0) return -1;
    int64_t result = -1;
    if (direction == 0) {
        for (int64_t pos = start; pos < limit; pos += step) {
            std::vector<uint8_t> b = Get_Bytes(h, step + 512, pos);
            if (b.empty() || Has_Marker(b.data(), b.size())) break;
            result = pos + step;
        }
    } else {
        for (int64_t pos = limit - step; pos >= start; pos -= step) {
            std::vector<uint8_t> b = Get_Bytes(h, step + 512, pos);
            if (b.empty() || Has_Marker(b.data(), b.size())) break;
            result = pos;
        }
    }
    return result;
}

bool Is_SampleStart(const uint8_t* buf, size_t len, uint32_t expectedSize, bool sync) {
    if (buf == nullptr || len < 5) return false;
    const uint8_t nal = buf[4];
    if (sync ? nal != 0x65 : (nal != 0x41 && nal != 0x01)) return false;
    return uint64_t(Get_BE32(buf)) + 4 == uint64_t(expectedSize);
}

} // namespace qrv
