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
    // The decoder is made when a seam first asks for it: most recordings have
    // no seam the tables leave open, and pay nothing.
    struct TLazy {
        TSource* H;
        int64_t Off, Len;
        bool Tried = false;
        std::unique_ptr<TSampleDecoder> Decoder;
    };
    auto lazy = std::make_shared<TLazy>(TLazy{&h, moovOff, moovLen});
    // Used on the analysis thread that resolves this recording's seams.
    return [lazy](std::span<const uint8_t> sample) {
        if (!lazy->Tried) {
            lazy->Tried = true;
            const std::vector<uint8_t> moov = Get_Bytes(*lazy->H, lazy->Len, lazy->Off);
            const std::vector<uint8_t> avcC =
                int64_t(moov.size()) == lazy->Len ? Find_AvcConfig(moov) : std::vector<uint8_t>();
            if (!avcC.empty()) {
                auto d = std::make_unique<TSampleDecoder>(avcC);
                if (d->Ok()) lazy->Decoder = std::move(d);
            }
        }
        return lazy->Decoder && lazy->Decoder->Judge(sample).Clean;
    };
}

} // namespace qrv
