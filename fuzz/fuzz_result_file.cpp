// The scan-result file reader over arbitrary files. Besides crashes, the
// harness fails when a load holds more heap memory than the reader's
// allowance for a file of that size (counts stored in a file must not size
// allocations).
#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "common/ui_message.h"
#include "results/result_file.h"
#include "scan/records.h"

using namespace qrv;

namespace {

// Heap bytes in use and their peak, counted through the sanitizer's
// allocation hooks (every malloc and operator new of the process).
std::atomic<int64_t> g_inUse{0};
std::atomic<int64_t> g_peak{0};

void Malloc_Hook(const volatile void*, size_t size) {
    const int64_t now = g_inUse += int64_t(size);
    int64_t peak = g_peak.load();
    while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
    }
}

void Free_Hook(const volatile void* p) {
    if (p) g_inUse -= int64_t(__sanitizer_get_allocated_size(const_cast<const void*>(p)));
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

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(Malloc_Hook, Free_Hook);
    return 0;
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
    TScanSession session;
    Load_To_List(session, path, &node);
    const int64_t peak = g_peak.load() - base;
    if (peak > kLoadMemoryPerByte * int64_t(size) + kLoadMemorySlack) {
        std::fprintf(stderr, "load of %zu bytes held %lld bytes of heap\n", size, (long long)peak);
        std::abort();
    }
    return 0;
}
