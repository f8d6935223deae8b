// The allocation-map readers over arbitrary bytes: the NTFS file-record
// attribute walk, the data-run decoding and the exFAT root-directory search,
// then the whole map loading for the three file systems on the input as a volume.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/source_io.h"
#include "scan/alloc_map.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::span<const uint8_t> bytes(data, size);
    for (uint32_t type : {0x30u, 0x80u}) {
        TNtfsAttr a = Find_NtfsAttribute(bytes, type, type == 0x30);
        (void)a;
    }
    (void)Decode_FirstRun(bytes);
    (void)Ntfs_AsciiName(bytes);
    (void)Find_ExfatBitmapEntry(bytes);

    TMemorySource src(std::vector<uint8_t>(data, data + size), "fuzz");
    for (const char* fs : {"FAT32", "exFAT", "NTFS"}) {
        TAllocMap map = Load_AllocMap(src, fs, 0);
        if (map.Loaded)
            for (int64_t c : {0, 2, 3, 1000, 16384, 600000}) (void)Get_ClusterState(src, fs, map, c);
    }
    return 0;
}
