// Sample starts as encoders really write them. A video sample is a run of
// length-prefixed NAL units that ends with the frame's slice; the first frame
// of a recording (and, with some cameras, every IDR frame) carries its SEI and
// parameter sets (SPS, PPS) ahead of the slice. Is_SampleStart looks only at
// the first unit; the tests here follow the length prefixes through the
// leading units to the slice.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/source_io.h"

namespace qrv {

// Most NAL units followed ahead of a slice.
inline constexpr int kMaxLeadingUnits = 8;

// True for the NAL header byte of a unit that may precede a frame's slice
// inside its sample: SEI (6), SPS (7), PPS (8), access unit delimiter (9),
// end of sequence (10), filler (12), with the forbidden bit clear.
bool Is_LeadingUnit(uint8_t nalHeader);

// The sample-start test over bytes read at a predicted sample position. buf
// holds len bytes from the sample's first length prefix. It holds when
// Is_SampleStart holds for the first unit, or when leading units (each a
// 4-byte big-endian length and a NAL header byte of Is_LeadingUnit) chain, by
// their lengths, to a slice unit whose prefix and header pass Is_SampleStart
// for the bytes that remain of the sample. Every unit examined must lie within
// buf; at most kMaxLeadingUnits leading units are followed.
bool Is_SampleStartLed(const uint8_t* buf, size_t len, uint32_t expectedSize, bool sync);

// The same test on the medium at offset p, reading only the few bytes of each
// unit header. Bytes that cannot be read count as zeros.
bool Probe_SampleStart(TSource& h, int64_t p, uint32_t expectedSize, bool sync);

} // namespace qrv
