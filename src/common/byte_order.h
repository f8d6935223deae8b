// Byte-order helpers: the one place where multi-byte numbers are decoded from
// raw bytes. Box fields and sample tables of recordings are big-endian, boot
// sectors and the scan-result file are little-endian.
//
// The pointer forms read exactly the bytes they name; callers check the
// length first. The span forms check the length themselves and return 0 for
// a read that would leave the buffer, so a malformed structure can never make
// a parser read outside what it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qrv {

inline uint16_t Get_BE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t Get_BE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline uint64_t Get_BE64(const uint8_t* p) { return (uint64_t(Get_BE32(p)) << 32) | Get_BE32(p + 4); }

inline uint16_t Get_LE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Get_LE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Get_LE64(const uint8_t* p) { return uint64_t(Get_LE32(p)) | (uint64_t(Get_LE32(p + 4)) << 32); }

inline void Put_BE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline void Put_BE64(uint8_t* p, uint64_t v) {
    Put_BE32(p, uint32_t(v >> 32));
    Put_BE32(p + 4, uint32_t(v));
}
inline void Put_LE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put_LE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Put_LE64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Checked forms: 0 when [off, off + width) is not inside the span.
inline bool Fits(std::span<const uint8_t> b, int64_t off, int64_t width) {
    return off >= 0 && width >= 0 && uint64_t(off) <= b.size() && uint64_t(width) <= b.size() - uint64_t(off);
}
inline uint32_t BE32_At(std::span<const uint8_t> b, int64_t off) { return Fits(b, off, 4) ? Get_BE32(&b[off]) : 0; }
inline uint64_t BE64_At(std::span<const uint8_t> b, int64_t off) { return Fits(b, off, 8) ? Get_BE64(&b[off]) : 0; }
inline uint16_t LE16_At(std::span<const uint8_t> b, int64_t off) { return Fits(b, off, 2) ? Get_LE16(&b[off]) : 0; }
inline uint32_t LE32_At(std::span<const uint8_t> b, int64_t off) { return Fits(b, off, 4) ? Get_LE32(&b[off]) : 0; }
inline uint64_t LE64_At(std::span<const uint8_t> b, int64_t off) { return Fits(b, off, 8) ? Get_LE64(&b[off]) : 0; }
inline uint8_t U8_At(std::span<const uint8_t> b, int64_t off) { return Fits(b, off, 1) ? b[off] : 0; }

// True when the bytes at off equal the given text (no terminator compared).
inline bool Bytes_Equal(std::span<const uint8_t> b, int64_t off, const char* text, size_t n) {
    return Fits(b, off, int64_t(n)) && std::memcmp(&b[off], text, n) == 0;
}
template <size_t N> inline bool Tag_At(std::span<const uint8_t> b, int64_t off, const char (&text)[N]) {
    return Bytes_Equal(b, off, text, N - 1);
}

// Rounding helpers on 64-bit offsets (m > 0).
inline int64_t Round_Down(int64_t x, int64_t m) {
    int64_t r = x % m;
    return r < 0 ? x - r - m : x - r;
}
inline int64_t Round_Up(int64_t x, int64_t m) {
    int64_t d = Round_Down(x, m);
    return d == x ? x : d + m;
}
// The 512-byte sector holding offset x starts at Floor512(x); Ceil512(x) is the
// first sector boundary at or after x.
inline int64_t Floor512(int64_t x) { return Round_Down(x, 512); }
inline int64_t Ceil512(int64_t x) { return Round_Up(x, 512); }

} // namespace qrv
