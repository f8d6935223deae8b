#include "scan/block_search.h"

#include <cstring>

#include "common/byte_order.h"
#include "scan/classifier.h"
#include "scan/frame_feature.h"
#include "scan/movie_generic.h"

namespace qrv {

void Search_Block(const uint8_t* block, int64_t P, int64_t examined, bool features, TBlockFinds& out,
                  bool generic) {
    out.Heads.clear();
    out.Movies.clear();
    out.Features.clear();
    if (block == nullptr || examined <= 0) return;
    for (int64_t s = (512 - ((P % 512) + 512) % 512) % 512; s < examined; s += 512)
        if (std::memcmp(block + s + 4, "ftyp", 4) == 0) out.Heads.push_back(int32_t(s));
    if (generic) {
        // Every camera signature is a generic movie box header as well.
        for (int64_t p = Find_GenericMovie(block, 0, examined); p < examined;
             p = Find_GenericMovie(block, p + 1, examined))
            out.Movies.push_back(int32_t(p));
    } else {
        for (int64_t p = Find_MovieSignature(block, 0, examined); p < examined;
             p = Find_MovieSignature(block, p + 1, examined))
            out.Movies.push_back(int32_t(p));
    }
    if (!features) return;
    for (int64_t b = Find_FrameFeature(block, 0, examined); b < examined;
         b = Find_FrameFeature(block, b + 1, examined))
        out.Features.push_back({int32_t(b), Get_BE32(block + b), block[b + 4] == 0x65});
}

} // namespace qrv
