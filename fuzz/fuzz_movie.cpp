// Head walk, movie-box walk and the track tables over arbitrary bytes.
// The input is a medium: the harness parses a recording head and a bare movie
// box at offset 0 the way the scan does, with the track tables of both
// recovery types, then lets the block classifier find what it can in the
// input and reads the video and sound tables of every movie header it
// accepted, as the analysis does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_media.h"
#include "platform/source_io.h"
#include "scan/classifier.h"
#include "scan/metadata.h"
#include "scan/records.h"
#include "scan/track_tables.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemorySource src(std::vector<uint8_t>(data, data + size), "fuzz");
    const TTreeData node = fuzz::Raw_Node();
    const int64_t scanEnd = int64_t(size) + 4096;

    int64_t pos = 0, len = 0;
    int r = Get_HeadAtom(src, 32768, pos, len, 0);
    std::vector<int64_t> moovs = {0};
    if (r == 1) moovs.push_back(pos);
    for (int64_t m : moovs) {
        TMoovCon con;
        Get_MoovInfo(node, src, 0, con, scanEnd, m);
        if (!con.MoovGood) continue;
        for (int recType : {0, 1}) {
            TmoovExt ext;
            Get_MoovTracks(node, src, con, ext, recType, scanEnd);
        }
    }

    // The classifier's own parse, then the per-header table reads.
    std::vector<uint8_t> block(size_t(kScanBlockRead), 0);
    std::memcpy(block.data(), data, std::min(size, block.size()));
    TClassifyContext ctx = fuzz::Raw_Context(src, node, scanEnd);
    int64_t count = 0;
    ScanResultList.Clear();
    Classify_Block(block.data(), 0, ctx, count);
    for (int64_t i = 0; i < ScanResultList.Count(); ++i) {
        const uint8_t kind = ScanResultList.Get(i).Fragmentype;
        if (kind != KIND_HEAD_MOOV && kind != KIND_MOOV) continue;
        for (int recType : {0, 1}) {
            TVideo video;
            TSampleKeys keys;
            Get_MOOV_VideoAndSound(src, i, video, recType, scanEnd, keys);
        }
    }
    ScanResultList.Clear();
    return 0;
}
