// A scan block's searches, kept apart from what is done with their finds: the
// searches only look at the block's bytes, so the read-ahead runs them on the
// thread that read the block, while the scan thread walks the finds in medium
// order (Classify_Found) and adds the features to the index.
#pragma once

#include <cstdint>
#include <vector>

namespace qrv {

struct TFeatureHit {
    int32_t Pos = 0;   // position in the block of the feature's first byte
    uint32_t Len = 0;  // big-endian 32-bit value of its first four bytes
    bool Sync = false; // its NAL header pair is 65 88 (else 41 9A)
};

struct TBlockFinds {
    std::vector<int32_t> Heads;        // positions p with "ftyp" at p + 4, P + p a sector start
    std::vector<int32_t> Movies;       // positions of "moov" of a movie-box signature
    std::vector<TFeatureHit> Features; // frame features (only when asked for)
};

// Searches positions [0, examined) of a block read at absolute offset P; the
// block must be readable up to examined + 72. Every list is in increasing
// position. generic: movie boxes are found by the generic type's test
// (movie_generic.h) instead of the camera signature; only the generic
// recovery type asks for it, so the camera scan runs the one fast search.
void Search_Block(const uint8_t* block, int64_t P, int64_t examined, bool features, TBlockFinds& out,
                  bool generic = false);

} // namespace qrv
