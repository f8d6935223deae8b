// Small hand-made recording pieces for the scan tests: a movie box with one
// video track (the layout these recorders write: mvhd of 108 bytes first, udta
// with the camera model last), file heads that continue with the movie box or
// with mdat, and an in-memory medium to place them on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scan/scan_session.h"

namespace qrv::test {

using TBytes = std::vector<uint8_t>;

TBytes Box(const char* type, const TBytes& payload);
TBytes Cat(std::initializer_list<TBytes> parts);

struct TMoviePlan {
    uint32_t Creation = 3600000000u; // mvhd creation time (seconds since 1904)
    uint32_t TimeScale = 1000, Duration = 61500;
    std::string Model = "VANTO-X1";
    uint32_t ChunkOffset = 4096; // file offset of the only chunk
    std::vector<uint32_t> Sizes = {1000, 2000, 3000};
    uint32_t MvhdSize = 108; // anything else breaks the signature
};

// The moov box. Its media end (what the track tables give) is
// ChunkOffset + sum(Sizes).
TBytes Make_Moov(const TMoviePlan& plan = {});
int64_t Media_End(const TMoviePlan& plan = {});

// "ftyp" box of 24 bytes.
TBytes Make_Ftyp();
// ftyp + moov: a head whose walk reaches the movie box at offset 24.
TBytes Make_HeadMoov(const TMoviePlan& plan = {});
// ftyp + free (8) + mdat header: a head whose walk reaches mdat at offset 32
// (mdatSize is the mdat box size field; only the header is returned).
TBytes Make_HeadMdat(uint32_t mdatSize);

// Deterministic bytes holding none of the signatures the scan looks for.
TBytes Noise(size_t n, uint32_t seed);

// What the scan has found so far: the kind and offset of every scan result.
struct TFinding {
    int Kind;
    int64_t Off;
    bool operator==(const TFinding&) const = default;
};
std::vector<TFinding> Findings(TScanSession& session);

void Put(TBytes& medium, int64_t off, const TBytes& bytes);

} // namespace qrv::test
