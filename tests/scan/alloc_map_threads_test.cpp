// Each map carries its own window: queries from two threads over two different
// maps must each get their own map's answers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "scan/alloc_map.h"

using namespace qrv;

namespace {

// A FAT32 volume whose FAT marks cluster c allocated when c % period == 0.
std::vector<uint8_t> Fat32_Volume(int period) {
    std::vector<uint8_t> img(1 << 20, 0);
    Put_LE16(&img[0x0B], 512);
    Put_LE16(&img[0x0E], 32);
    Put_LE32(&img[0x24], 400);
    img[510] = 0x55;
    img[511] = 0xAA;
    for (int64_t c = 0; c < 51200; ++c)
        if (c % period == 0) Put_LE32(&img[size_t(16384 + 4 * c)], 0x0FFFFFFF);
    return img;
}

} // namespace

TEST(AllocMapThreads, TwoSourcesQueriedAtOnceKeepTheirOwnAnswers) {
    TMemorySource a(Fat32_Volume(3)), b(Fat32_Volume(5));
    const TAllocMap ma = Load_AllocMap(a, "FAT32", 0), mb = Load_AllocMap(b, "FAT32", 0);
    ASSERT_TRUE(ma.Loaded && mb.Loaded);
    std::atomic<int64_t> wrong{0};
    auto worker = [&](TSource& src, const TAllocMap& m, int period) {
        for (int round = 0; round < 3; ++round)
            for (int64_t c = 2; c < 51200; c += 7)
                if (Get_ClusterState(src, "FAT32", m, c) != (c % period == 0 ? 1 : 0)) ++wrong;
    };
    std::thread ta(worker, std::ref(a), std::cref(ma), 3);
    std::thread tb(worker, std::ref(b), std::cref(mb), 5);
    ta.join();
    tb.join();
    EXPECT_EQ(wrong.load(), 0);
}
