#include "analysis/sample_start.h"

#include <cstring>

#include "common/byte_order.h"
#include "media/raw_access.h"
#include "scan/classifier.h"

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
