// Head walk, movie-box walk and the track tables over arbitrary bytes.
// The input is a medium: the harness parses a recording head and a bare movie
// box at offset 0 the way the scan does, with the track tables of both
// recovery types, then lets the block classifier find what it can in the
// input and reads the video and sound tables of every movie header it
// accepted, as the analysis does. The generic type's readers (its movie-box
// walk, mvhd, udta strings, sample entries with avcC/hvcC, the block search
// and the H.264/H.265 sample-start tests) run over the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/sample_start.h"
#include "fuzz_media.h"
#include "platform/source_io.h"
#include "scan/classifier.h"
#include "scan/metadata.h"
#include "scan/movie_generic.h"
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

    // The generic type's readers over the bytes as they are.
    const std::span<const uint8_t> bytes(data, size);
    (void)Parse_Mvhd(bytes);
    (void)Udta_Model(bytes);
    bool entryOk = false;
    const TNalFormat format = Parse_SampleEntry(bytes, entryOk);
    for (const TNalFormat f : {format, TNalFormat{NAL_H264, 4}, TNalFormat{NAL_H265, 2}})
        (void)Is_SampleStartAs(data, size, uint32_t(size), size % 2 == 0, f);
    (void)Get_HeadAtom(src, 32768, pos, len, 0, true);
    {
        TMoovCon con;
        Get_MoovInfo_Generic(src, con, scanEnd, 0);
        if (con.MoovGood) {
            TmoovExt ext;
            Get_MoovTracks(node, src, con, ext, 1, scanEnd);
        }
        (void)Ftyp_Brand(src, 0);
    }

    // The classifier's own parse, then the per-header table reads, for both types.
    std::vector<uint8_t> block(size_t(kScanBlockRead), 0);
    std::memcpy(block.data(), data, std::min(size, block.size()));
    for (int type : {0, 1}) {
        TScanSession session;
        TClassifyContext ctx = fuzz::Raw_Context(session, src, node, scanEnd);
        ctx.RecoveryType = type;
        int64_t count = 0;
        Classify_Block(block.data(), 0, ctx, count);
        for (int64_t i = 0; i < session.Scans.Count(); ++i) {
            const uint8_t kind = session.Scans.Get(i).Fragmentype;
            if (kind != KIND_HEAD_MOOV && kind != KIND_MOOV) continue;
            TVideo video;
            TSampleKeys keys;
            Get_MOOV_VideoAndSound(src, session, i, video, type, scanEnd, keys);
        }
    }
    return 0;
}
