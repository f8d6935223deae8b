// The scan-result file reader over arbitrary files. Besides crashes, the
// harness fails when a load holds more heap memory than the reader's
// allowance for a file of that size (counts stored in a file must not size
// allocations).
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <unistd.h>

#include "analysis/records.h"
#include "common/ui_message.h"
#include "results/result_file.h"

using namespace qrv;

namespace {

std::atomic<int64_t> g_inUse{0};
std::atomic<int64_t> g_peak{0};

void* Counted_Alloc(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    const int64_t now = g_inUse += int64_t(malloc_usable_size(p));
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
    return p;
}

void Counted_Free(void* p) {
    if (!p) return;
    g_inUse -= int64_t(malloc_usable_size(p));
    std::free(p);
}

// The node every seed file was written for (see make_seeds.cpp).
TTreeData Fuzz_Node() {
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

} // namespace

void* operator new(size_t n) {
    return Counted_Alloc(n);
}
void* operator new[](size_t n) {
    return Counted_Alloc(n);
}
void operator delete(void* p) noexcept {
    Counted_Free(p);
}
void operator delete[](void* p) noexcept {
    Counted_Free(p);
}
void operator delete(void* p, size_t) noexcept {
    Counted_Free(p);
}
void operator delete[](void* p, size_t) noexcept {
    Counted_Free(p);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/qrv-fuzz-result-" + std::to_string(::getpid()) + ".QRV";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    static const TTreeData node = Fuzz_Node();
    Set_UISink(nullptr);
    const int64_t base = g_inUse.load();
    g_peak.store(base);
    Load_To_List(path, &node);
    const int64_t peak = g_peak.load() - base;
    if (peak > kLoadMemoryPerByte * int64_t(size) + kLoadMemorySlack) {
        std::fprintf(stderr, "load of %zu bytes held %lld bytes of heap\n", size, (long long)peak);
        std::abort();
    }
    RebuildResultList.Clear();
    ScanResultList.Clear();
    return 0;
}
