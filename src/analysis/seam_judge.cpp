#include "analysis/seam_judge.h"

#include <memory>

#include "analysis/sample_decode.h"
#include "media/raw_access.h"

namespace qrv {

namespace {

// A movie box larger than this is not a camera's (its tables would describe
// hours of video); no judge is made from it.
constexpr int64_t kMaxMovieBox = int64_t(64) << 20;

} // namespace

TSampleJudge Make_SampleJudge(TSource& h, int64_t moovOff, int64_t moovLen) {
    if (moovOff < 0 || moovLen <= 8 || moovLen > kMaxMovieBox) return {};
    const std::vector<uint8_t> moov = Get_Bytes(h, moovLen, moovOff);
    if (int64_t(moov.size()) != moovLen) return {};
    const std::vector<uint8_t> avcC = Find_AvcConfig(moov);
    if (avcC.empty()) return {};
    auto decoder = std::make_shared<TSampleDecoder>(avcC);
    if (!decoder->Ok()) return {};
    // One decoder per recording, used on the analysis thread that resolves its seams.
    return [decoder](std::span<const uint8_t> sample) { return decoder->Judge(sample).Clean; };
}

} // namespace qrv
