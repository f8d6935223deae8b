// The block classifier on arbitrary blocks, and the content tests on the
// same bytes taken as one cluster or one sample.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "analysis/sample_start.h"
#include "analysis/seam_growth.h"
#include "fuzz_media.h"
#include "scan/classifier.h"
#include "scan/records.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The block: the input repeated to fill the examined part, so that short
    // inputs still exercise signatures near the block end and the 512-byte overlap.
    std::vector<uint8_t> block(size_t(kScanBlockRead), 0);
    if (size > 0)
        for (size_t i = 0; i < block.size(); i += size) std::memcpy(&block[i], data, std::min(size, block.size() - i));
    TMemorySource src(block, "fuzz");
    const TTreeData node = fuzz::Raw_Node();
    TScanSession session;
    TClassifyContext ctx = fuzz::Raw_Context(session, src, node, kScanBlockRead);
    int64_t count = 0;
    Classify_Block(block.data(), 0, ctx, count);

    if (size > 512) (void)Has_Marker(data, size);
    if (size >= 1024) (void)Is_SampleStart(data, 1024, 16384, data[0] & 1);
    // The length chain through leading units, with the sample size taken from
    // the input so that chains of every length are tried.
    if (size >= 9) (void)Is_SampleStartLed(data + 4, size - 4, uint32_t(data[0]) << 8 | data[1], data[2] & 1);
    (void)Has_ZeroRun(data, int64_t(size));
    return 0;
}
