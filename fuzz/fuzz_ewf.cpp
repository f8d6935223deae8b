// Opening and reading an EWF container: the input is written as a one-segment
// .E01 file and opened the way every source is opened; a damaged container
// must be refused or read, never crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/ewf_source.h"
#include "platform/source_io.h"

using namespace qrv;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/qrv-fuzz-ewf-" + std::to_string(::getpid()) + ".E01";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    TSourcePtr src = Open_Source(path);
    if (!src) return 0;
    const int64_t media = src->Size();
    std::vector<uint8_t> buf(65536);
    // The start, a stretch across chunk boundaries, the end and past it.
    const int64_t offsets[] = {0, 32768 - 100, media / 2, media - 512, media, media + 4096};
    for (int64_t off : offsets) {
        if (off < 0) continue;
        src->Read_At(buf.data(), buf.size(), off);
    }
    if (const TEwfInfo* info = Ewf_Info(*src)) {
        if (info->MediaSize <= (int64_t(16) << 20)) Verify_Ewf(*src);
    }
    return 0;
}
