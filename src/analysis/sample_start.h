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
#include "scan/records.h"

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

// The same tests for a track of the given coding. NAL_CAMERA is exactly the
// tests above. H.264 (generic): a slice of any reference priority, type 5
// for a sync sample, 1 to 5 for another. H.265: a first slice segment of a
// picture on layer 0 (nal_unit_type = (b0 >> 1) & 0x3F, temporal id
// (b1 & 7) - 1), types 16 to 21 (BLA, IDR, CRA) for a sync sample, 0 to 9 or
// 16 to 21 for another, behind leading VPS (32), SPS (33), PPS (34), AUD
// (35), end of sequence or bitstream (36, 37), filler (38) and SEI (39, 40)
// units. Length prefixes are f.LengthSize bytes.
bool Is_SampleStartAs(const uint8_t* buf, size_t len, uint32_t expectedSize, bool sync, TNalFormat f);
bool Probe_SampleStart(TSource& h, int64_t p, uint32_t expectedSize, bool sync, TNalFormat f);

// True when the bytes at q (a length prefix of f.LengthSize bytes and the
// unit after it; q readable for f.LengthSize + 3 bytes) start a slice unit of
// the coding f, sync or not, whatever its length: the generic type's frame
// feature. NAL_CAMERA gives the camera's feature (Is_FrameFeature).
bool Is_SliceStart(const uint8_t* q, TNalFormat f, bool& sync);

} // namespace qrv
