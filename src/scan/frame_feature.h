#pragma once
// Search for the frame features the header analysis anchors on: a zero byte
// followed, four bytes on, by one of the two slice header pairs (65 88 for a
// sync slice, 41 9A for another), i.e. the NAL length prefix of a frame whose
// size is below 16 MiB.
#include <cstdint>

namespace qrv {

// True when a frame feature starts at q (reads q[0..5]).
inline bool Is_FrameFeature(const uint8_t* q) {
    return q[0] == 0 && ((q[4] == 0x65 && q[5] == 0x88) || (q[4] == 0x41 && q[5] == 0x9A));
}

// First position b in [from, to) with Is_FrameFeature(buf + b), or to when
// there is none. buf must be readable up to to + 5 (and, for the vector paths,
// up to to + 69; callers pass buffers with at least that much slack).
int64_t Find_FrameFeature(const uint8_t* buf, int64_t from, int64_t to);

// Bytes past `to` the search may read.
constexpr int64_t kFrameFeatureSlack = 72;

// The portable path, exposed so tests can compare it with the one picked for
// this processor.
int64_t Find_FrameFeature_Scalar(const uint8_t* buf, int64_t from, int64_t to);

} // namespace qrv
