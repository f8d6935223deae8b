// The judge that decides open seams by decoding (seam_growth.h), made for one
// recording from the parameter sets in its own movie box.
#pragma once

#include <cstdint>

#include "analysis/seams.h"
#include "platform/source_io.h"

namespace qrv {

// A judge for the recording whose movie box lies at medium offset moovOff
// (moovLen bytes); an empty function when the box holds no usable H.264
// configuration or no decoder can be had (seams then stay unverified).
TSampleJudge Make_SampleJudge(TSource& h, int64_t moovOff, int64_t moovLen);

} // namespace qrv
