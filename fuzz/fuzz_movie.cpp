// Head walk, movie-box walk and the track tables over arbitrary bytes.
// The input is a medium; the harness parses a recording head at offset 0 and
// a bare movie box at offset 0 the way the scan does.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/metadata.h"
#include "analysis/records.h"
#include "platform/source_io.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemorySource src(std::vector<uint8_t>(data, data + size), "fuzz");
    TTreeData node;
    node.Hddtype = HDD_IMAGE;
    node.PerSecBytes = 512;
    node.HddFs = "RAW";
    const int64_t scanEnd = int64_t(size) + 4096;

    int64_t pos = 0, len = 0;
    int r = Get_HeadAtom(src, 32768, pos, len, 0);
    std::vector<int64_t> moovs = {0};
    if (r == 1) moovs.push_back(pos);
    for (int64_t m : moovs) {
        TMoovCon con;
        Get_MoovInfo(node, src, 0, con, scanEnd, m);
    }
    return 0;
}
