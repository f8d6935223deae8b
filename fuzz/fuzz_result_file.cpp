// The scan-result file reader over arbitrary files.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "analysis/records.h"
#include "results/result_file.h"

using namespace qrv;

// The node every seed file was written for (see make_seeds.cpp).
static TTreeData Fuzz_Node() {
    TTreeData n;
    n.Level = 1;
    n.Hddtype = HDD_IMAGE;
    n.HddNumber = "Image File";
    n.HddModel = "/fuzz/card.img";
    n.HddFs = "RAW";
    n.PerSecBytes = 512;
    n.TotalSpace = 1 << 20;
    return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/qrv-fuzz-result-" + std::to_string(::getpid()) + ".QRV";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    static const TTreeData node = Fuzz_Node();
    Load_To_List(path, &node);
    RebuildResultList.Clear();
    ScanResultList.Clear();
    return 0;
}
