// The whole analysis over an arbitrary medium: the input is scanned block by
// block like a raw image (heads, movie boxes and their tables), then every
// movie header is analysed (frame-start search, fragment walks, seams over an
// empty allocation map, synthesized heads) and rated, with the default window
// scheme and the one that searches the whole medium.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/rebuild.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "fuzz_media.h"
#include "platform/source_io.h"
#include "scan/alloc_map.h"
#include "scan/classifier.h"
#include "scan/records.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (size_t(1) << 20)) return 0;
    TMemorySource src(std::vector<uint8_t>(data, data + size), "fuzz");
    const TTreeData node = fuzz::Raw_Node();
    const int64_t scanEnd = (int64_t(size) + 511) / 512 * 512;
    Set_UISink(nullptr);

    for (int scheme : {0, 7}) {
        TScanSession session;
        TClassifyContext ctx = fuzz::Raw_Context(session, src, node, scanEnd, size ? data[0] & 1 : 0);
        int64_t count = 0;
        std::vector<uint8_t> block(static_cast<size_t>(kScanBlockRead));
        for (int64_t p = 0; p < scanEnd; p += kScanBlockStep) {
            std::memset(block.data(), 0, block.size());
            src.Read_At(block.data(), block.size(), p);
            Classify_Block(block.data(), p, ctx, count);
        }
        TAllocMap map{};
        To_Rebuild(TAnalysisContext{session, src, node, map, scheme, 0, scanEnd, ctx.RecoveryType, 0, true});
    }
    return 0;
}
