// Partition table, extended-partition chain and boot-sector tests over an
// arbitrary disk image: the input is the image's first sectors.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "sources/regions.h"
#include "sources/source_tree.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/qrv-fuzz-regions-" + std::to_string(::getpid()) + ".img";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    TSourceTree tree;
    TTreeData img;
    img.Hddtype = HDD_IMAGE;
    img.HddNumber = "Image File";
    img.HddModel = path;
    img.HddFs = "RAW";
    img.PerSecBytes = 512;
    // A large apparent size lets table entries point anywhere; reads past the
    // file's end come back as zeros.
    img.TotalSpace = int64_t(1) << 40;
    TSourceNode* node = tree.Root()->Add_Child(img);
    Create_Region(*node, 512, 0, img.TotalSpace / 512);
    return 0;
}
