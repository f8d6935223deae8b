#include "analysis/sample_start.h"

#include <cstring>

#include "common/byte_order.h"
#include "media/raw_access.h"
#include "scan/classifier.h"
#include "scan/frame_feature.h"

namespace qrv {

namespace {

constexpr int64_t kUnitHeader = 5; // length prefix and NAL header byte

// Follows the units of a sample from its start. read(off, out) puts the 5
// header bytes of the unit at sample offset off into out; false when they
// cannot be had.
template <class TRead> bool Chain_ToSlice(TRead&& read, uint32_t expectedSize, bool sync) {
    uint8_t u[kUnitHeader];
    if (!read(0, u)) return false;
    if (Is_SampleStart(u, sizeof u, expectedSize, sync)) return true;
    int64_t off = 0;
    for (int k = 0; k < kMaxLeadingUnits; ++k) {
        if (!Is_LeadingUnit(u[4])) return false;
        const uint32_t len = Get_BE32(u);
        if (len == 0) return false;
        off += 4 + int64_t(len);
        // The slice's own prefix and header must still lie inside the sample.
        if (off + kUnitHeader > int64_t(expectedSize)) return false;
        if (!read(off, u)) return false;
        if (Is_SampleStart(u, sizeof u, uint32_t(int64_t(expectedSize) - off), sync)) return true;
    }
    return false;
}

} // namespace

bool Is_LeadingUnit(uint8_t nalHeader) {
    if (nalHeader & 0x80) return false;
    switch (nalHeader & 0x1F) {
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 12:
        return true;
    default:
        return false;
    }
}

bool Is_SampleStartLed(const uint8_t* buf, size_t len, uint32_t expectedSize, bool sync) {
    if (buf == nullptr) return false;
    auto read = [&](int64_t off, uint8_t* out) {
        if (off < 0 || off + kUnitHeader > int64_t(len)) return false;
        std::memcpy(out, buf + off, kUnitHeader);
        return true;
    };
    return Chain_ToSlice(read, expectedSize, sync);
}

namespace {

// Unit header bytes the generic tests look at: the prefix and three bytes.
constexpr int64_t kMaxUnitHeader = 4 + 3;

uint32_t Prefix_Value(const uint8_t* q, int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k)
        v = (v << 8) | q[k];
    return v;
}

// The unit after the prefix is a slice of coding f that may open a sample
// (sync or not as asked).
bool Slice_Fits(const uint8_t* u, TNalFormat f, bool sync) {
    if (f.Codec == NAL_H265) {
        if ((u[0] & 0x81) != 0 || (u[1] & 0xF8) != 0 || (u[1] & 7) == 0) return false;
        if ((u[2] & 0x80) == 0) return false; // first_slice_segment_in_pic_flag
        const int type = (u[0] >> 1) & 0x3F;
        const bool key = type >= 16 && type <= 21;
        return sync ? key : (key || type <= 9);
    }
    if (u[0] & 0x80) return false;
    const int type = u[0] & 0x1F;
    // first_mb_in_slice 0 is the single bit 1 at the head of the slice header.
    if ((u[1] & 0x80) == 0) return false;
    return sync ? type == 5 : (type >= 1 && type <= 5);
}

bool Is_Leading(const uint8_t* u, TNalFormat f) {
    if (f.Codec == NAL_H265) {
        if ((u[0] & 0x80) != 0) return false;
        const int type = (u[0] >> 1) & 0x3F;
        return type >= 32 && type <= 40;
    }
    return Is_LeadingUnit(u[0]);
}

template <class TRead> bool Chain_ToSliceAs(TRead&& read, uint32_t expectedSize, bool sync, TNalFormat f) {
    const int n = f.LengthSize;
    if (n != 1 && n != 2 && n != 4) return false;
    uint8_t u[kMaxUnitHeader];
    int64_t off = 0;
    for (int k = 0; k <= kMaxLeadingUnits; ++k) {
        if (off + n + 3 > int64_t(expectedSize)) return false;
        if (!read(off, u, n + 3)) return false;
        const uint64_t len = Prefix_Value(u, n);
        if (len == 0) return false;
        if (Slice_Fits(u + n, f, sync) && off + n + int64_t(len) == int64_t(expectedSize)) return true;
        // A sample may also hold several slices of one picture: the first
        // one opens it and the sample is whole when its prefixes tile it,
        // which the size of the first unit alone cannot tell; such samples
        // are found by their neighbours instead.
        if (!Is_Leading(u + n, f)) return false;
        off += n + int64_t(len);
    }
    return false;
}

} // namespace

bool Is_SliceStart(const uint8_t* q, TNalFormat f, bool& sync) {
    if (f.Codec == NAL_CAMERA) {
        sync = q[4] == 0x65;
        return Is_FrameFeature(q);
    }
    const int n = f.LengthSize;
    if (n != 1 && n != 2 && n != 4) return false;
    if (Prefix_Value(q, n) == 0) return false;
    sync = true;
    if (Slice_Fits(q + n, f, true)) return true;
    sync = false;
    return Slice_Fits(q + n, f, false);
}

bool Is_SampleStartAs(const uint8_t* buf, size_t len, uint32_t expectedSize, bool sync, TNalFormat f) {
    if (f.Codec == NAL_CAMERA) return Is_SampleStartLed(buf, len, expectedSize, sync);
    if (buf == nullptr) return false;
    auto read = [&](int64_t off, uint8_t* out, int64_t count) {
        if (off < 0 || off + count > int64_t(len)) return false;
        std::memcpy(out, buf + off, size_t(count));
        return true;
    };
    return Chain_ToSliceAs(read, expectedSize, sync, f);
}

bool Probe_SampleStart(TSource& h, int64_t p, uint32_t expectedSize, bool sync, TNalFormat f) {
    if (f.Codec == NAL_CAMERA) return Probe_SampleStart(h, p, expectedSize, sync);
    if (p < 0) return false;
    auto read = [&](int64_t off, uint8_t* out, int64_t count) {
        constexpr int64_t kSector = 512;
        alignas(64) uint8_t sec[2 * kSector];
        const int64_t at = p + off;
        const int64_t from = Round_Down(at, kSector);
        const size_t n = size_t(Round_Up(at + count, kSector) - from);
        Read_Block(h, sec, n, from);
        std::memcpy(out, sec + (at - from), size_t(count));
        return true;
    };
    return Chain_ToSliceAs(read, expectedSize, sync, f);
}

bool Probe_SampleStart(TSource& h, int64_t p, uint32_t expectedSize, bool sync) {
    if (p < 0) return false;
    // One or two sectors per unit header, on the stack: a fragment walk makes
    // one probe per sample.
    auto read = [&](int64_t off, uint8_t* out) {
        constexpr int64_t kSector = 512;
        alignas(64) uint8_t sec[2 * kSector];
        const int64_t at = p + off;
        const int64_t from = Round_Down(at, kSector);
        const size_t n = size_t(Round_Up(at + kUnitHeader, kSector) - from);
        Read_Block(h, sec, n, from);
        std::memcpy(out, sec + (at - from), kUnitHeader);
        return true;
    };
    return Chain_ToSlice(read, expectedSize, sync);
}

} // namespace qrv
