// The judge that decides open seams by decoding (seam_growth.h), made for one
// recording from the parameter sets in its own movie box.
#pragma once

#include <cstdint>

#include "analysis/seams.h"
#include "platform/source_io.h"

namespace qrv {

// A judge for the recording whose movie box lies at medium offset moovOff
// (moovLen bytes), which reads the box and makes its decoder on first use; an
// empty function for a box that cannot be one. A box without a usable H.264
// configuration judges every sample unclean (its seams stay unverified).
TSampleJudge Make_SampleJudge(TSource& h, int64_t moovOff, int64_t moovLen);

} // namespace qrv
