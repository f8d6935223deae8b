#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "common/byte_order.h"
#include "scan/classifier.h"
#include "scan/movie_boxes.h"

using namespace qrv;
using namespace qrv::test;

// ---- content tests ----

namespace {
TBytes Clean_Cluster(size_t n = 4096 + 512) {
    return Noise(n, 99);
}

// Runs check once per search path this processor offers (the plain path
// always), then returns to the best one.
template <class F> void For_EachSearchPath(F check) {
    int ran = 0;
    for (TSearchPath path : {TSearchPath::Plain, TSearchPath::Avx2, TSearchPath::Avx512}) {
        if (!Set_SearchPath(path)) continue;
        SCOPED_TRACE("search path " + std::to_string(int(path)));
        ++ran;
        check();
    }
    Set_SearchPath(TSearchPath::Best);
    EXPECT_GE(ran, 1);
}
} // namespace

TEST(HasMarker, SectorStartRules) {
    TBytes c = Clean_Cluster();
    EXPECT_FALSE(Has_Marker(c.data(), c.size()));

    TBytes jpeg = c;
    Put(jpeg, 3 * 512, {0xFF, 0xD8, 0xFF, 0xE1});
    EXPECT_TRUE(Has_Marker(jpeg.data(), jpeg.size()));
    TBytes jpegOff = c;
    Put(jpegOff, 3 * 512 + 1, {0xFF, 0xD8, 0xFF, 0xE1});
    EXPECT_FALSE(Has_Marker(jpegOff.data(), jpegOff.size()));
    TBytes jpegOther = c;
    Put(jpegOther, 512, {0xFF, 0xD8, 0xFF, 0xE2});
    EXPECT_FALSE(Has_Marker(jpegOther.data(), jpegOther.size()));

    TBytes dir = c;
    Put(dir, 1024, {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' '});
    EXPECT_FALSE(Has_Marker(dir.data(), dir.size())); // "." without ".." 32 bytes later
    Put(dir, 1024 + 32, {'.', '.', ' ', ' ', ' ', ' ', ' ', ' '});
    EXPECT_TRUE(Has_Marker(dir.data(), dir.size()));

    TBytes erased = c;
    std::memset(&erased[2048], 0xFF, 511);
    EXPECT_FALSE(Has_Marker(erased.data(), erased.size()));
    erased[2048 + 511] = 0xFF;
    EXPECT_TRUE(Has_Marker(erased.data(), erased.size()));

    TBytes head = c;
    Put(head, 512, {0, 0, 0, 0x20, 'f', 't', 'y', 'p'});
    EXPECT_TRUE(Has_Marker(head.data(), head.size()));
    TBytes bigHead = c;
    Put(bigHead, 512, {0, 1, 0, 0x20, 'f', 't', 'y', 'p'}); // size above 16 MiB: not a small head
    EXPECT_FALSE(Has_Marker(bigHead.data(), bigHead.size()));

    TBytes riff = c;
    Put(riff, 0, {'R', 'I', 'F', 'F'});
    EXPECT_TRUE(Has_Marker(riff.data(), riff.size()));
}

TEST(HasMarker, EveryByteRules) {
    For_EachSearchPath([] {
        const TBytes c = Clean_Cluster();
        auto With = [&](int64_t off, const TBytes& bytes) {
            TBytes b = c;
            Put(b, off, bytes);
            return Has_Marker(b.data(), b.size());
        };
        EXPECT_TRUE(With(1001, {0, 0, 0x12, 0x34, 0x65, 0x88}));
        EXPECT_TRUE(With(77, {0, 0, 0, 1, 0x41, 0x9A}));
        EXPECT_FALSE(With(1001, {0, 0, 0, 0, 0x65, 0x88}));
        EXPECT_FALSE(With(1001, {1, 0, 0x12, 0x34, 0x65, 0x88})); // length of 16 MiB or more
        EXPECT_FALSE(With(1001, {0, 0, 0x12, 0x34, 0x65, 0x89}));

        EXPECT_TRUE(With(333, {'s', 't', 'c', 'o', 0, 0, 0, 0}));
        EXPECT_FALSE(With(333, {'s', 't', 'c', 'o', 0, 0, 0, 1}));
        EXPECT_TRUE(With(333, {'s', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_FALSE(With(333, {'s', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0, 4}));
        EXPECT_TRUE(With(333, {'s', 't', 't', 's', 0, 0, 0, 0}));
        EXPECT_TRUE(With(333, {'s', 't', 's', 'c', 0, 0, 0, 0}));
        EXPECT_TRUE(With(333, {'m', 'd', 'h', 'd', 0, 0, 0, 0}));
        EXPECT_TRUE(With(333, {'m', 'o', 'o', 'v', 0, 0, 0, 0x6C, 'm', 'v', 'h', 'd'}));
        EXPECT_FALSE(With(333, {'m', 'o', 'o', 'v', 0, 0, 0, 0x70, 'm', 'v', 'h', 'd'}));
        EXPECT_TRUE(With(333, {'t', 'r', 'a', 'k', 1, 2, 3, 4, 't', 'k', 'h', 'd'}));
        EXPECT_FALSE(With(333, {'t', 'r', 'a', 'k', 1, 2, 3, 4, 'm', 'd', 'i', 'a'}));

        // The last examined position may read into the trailing 512 bytes; a
        // marker starting in them does not count.
        const int64_t last = int64_t(c.size()) - 513;
        EXPECT_TRUE(With(last, {'s', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_FALSE(With(last + 1, {'s', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_FALSE(With(4096, {'R', 'I', 'F', 'F'}));

        TBytes zeros(4096 + 512, 0);
        EXPECT_FALSE(Has_Marker(zeros.data(), zeros.size()));
        EXPECT_FALSE(Has_Marker(zeros.data(), 512));
    });
}

// Every rule at every position, as plainly as possible.
namespace {
bool Reference_Marker(const uint8_t* b, size_t len) {
    auto eq = [&](size_t i, std::initializer_list<int> v) {
        size_t k = 0;
        for (int x : v)
            if (b[i + k++] != uint8_t(x)) return false;
        return true;
    };
    for (size_t i = 0; i + 512 < len; ++i) {
        if (i % 512 == 0) {
            if (std::memcmp(b + i, ".       ", 8) == 0 && std::memcmp(b + i + 32, "..      ", 8) == 0)
                return true;
            bool ff = true;
            for (int k = 0; k < 512; ++k)
                ff = ff && b[i + k] == 0xFF;
            if (ff) return true;
            if (eq(i, {0, 0, 0}) && std::memcmp(b + i + 4, "ftyp", 4) == 0) return true;
            for (int t : {0xE0, 0xE1, 0xDB, 0xEB, 0xEE, 0xFE, 0xC4, 0xC0})
                if (eq(i, {0xFF, 0xD8, 0xFF, t})) return true;
            if (std::memcmp(b + i, "RIFF", 4) == 0) return true;
        }
        if (b[i] == 0 && (eq(i + 4, {0x65, 0x88}) || eq(i + 4, {0x41, 0x9A})) && Get_BE32(b + i) > 0)
            return true;
        if (eq(i, {'m', 'o', 'o', 'v', 0, 0, 0, 0x6C, 'm', 'v', 'h', 'd'})) return true;
        if (eq(i, {'s', 't', 'c', 'o', 0, 0, 0, 0}) || eq(i, {'s', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0, 0}) ||
            eq(i, {'s', 't', 't', 's', 0, 0, 0, 0}) || eq(i, {'s', 't', 's', 'c', 0, 0, 0, 0}) ||
            eq(i, {'m', 'd', 'h', 'd', 0, 0, 0, 0}))
            return true;
        if (std::memcmp(b + i, "trak", 4) == 0 && std::memcmp(b + i + 8, "tkhd", 4) == 0) return true;
    }
    return false;
}
} // namespace

TEST(HasMarker, SameAnswerAsEveryRuleAtEveryByte) {
    std::mt19937 rng(777);
    const std::vector<TBytes> pieces = {{0, 0, 0x12, 0x34, 0x65, 0x88},
                                        {0, 0, 0, 0, 0x41, 0x9A},
                                        {'s', 't', 'c', 'o', 0, 0, 0, 0},
                                        {'s', 't', 's', 'z', 0, 0, 0, 0, 0, 0, 0, 0},
                                        {'m', 'd', 'h', 'd', 0, 0, 0, 0},
                                        {'t', 'r', 'a', 'k', 0, 0, 0, 0, 't', 'k', 'h', 'd'},
                                        {0xFF, 0xD8, 0xFF, 0xDB},
                                        {'R', 'I', 'F', 'F'},
                                        {'m', 'o', 'o', 'v', 0, 0, 0, 0x6C, 'm', 'v', 'h', 'd'},
                                        {0, 0, 0, 0x18, 'f', 't', 'y', 'p'}};
    int positives = 0;
    for (int round = 0; round < 400; ++round) {
        size_t len = 512 + 512 * (1 + rng() % 8) + (rng() % 3 == 0 ? rng() % 512 : 0);
        TBytes b(len);
        // Mostly zeros or bytes from a small alphabet, so near misses are common.
        for (auto& x : b)
            x = (rng() % 4) ? 0 : uint8_t("\x00stcozmdhvkr\x65\x88\x41\x9A\xFF"[rng() % 17]);
        if (rng() % 2) {
            const TBytes& p = pieces[rng() % pieces.size()];
            size_t at = rng() % (len - p.size());
            if (rng() % 2) at = at / 512 * 512;
            std::memcpy(&b[at], p.data(), p.size());
        }
        bool ref = Reference_Marker(b.data(), b.size());
        positives += ref;
        For_EachSearchPath([&] { ASSERT_EQ(Has_Marker(b.data(), b.size()), ref) << "round " << round; });
    }
    EXPECT_GT(positives, 50);
    EXPECT_LT(positives, 390);
}

TEST(FindPlainRun, GrowsForwardsAndBackwardsUpToAMarker) {
    const int64_t s = 8192, c = 4096;
    TBytes m = Noise(64 * 1024, 3);
    Put(m, s + 3 * c + 700, {'s', 't', 'c', 'o', 0, 0, 0, 0}); // fourth cluster has a marker
    TMemorySource src(m);
    EXPECT_EQ(Find_PlainRun(src, 0, c, s, s + 10 * c), s + 3 * c);
    EXPECT_EQ(Find_PlainRun(src, 0, c, s, s + 2 * c), s + 2 * c); // stops at the limit
    EXPECT_EQ(Find_PlainRun(src, 0, c, s + 3 * c, s + 10 * c), -1);
    EXPECT_EQ(Find_PlainRun(src, 1, c, s, s + 3 * c), s);
    EXPECT_EQ(Find_PlainRun(src, 1, c, s, s + 6 * c), s + 4 * c);
    EXPECT_EQ(Find_PlainRun(src, 1, c, s, s + 4 * c), -1);
    // A marker in the 512 bytes after a cluster belongs to the next cluster.
    TBytes m2 = Noise(64 * 1024, 4);
    Put(m2, s + c + 8, {'s', 't', 'c', 'o', 0, 0, 0, 0});
    TMemorySource src2(m2);
    EXPECT_EQ(Find_PlainRun(src2, 0, c, s, s + 10 * c), s + c);
    // Beyond the end of the medium the bytes read as zeros: no marker.
    EXPECT_EQ(Find_PlainRun(src2, 0, c, 60 * 1024, 80 * 1024), 80 * 1024);
    EXPECT_EQ(Find_PlainRun(src2, 0, 0, s, s + c), -1);
}

TEST(IsSampleStart, LengthPrefixAndNalHeader) {
    const uint8_t nonSync[] = {0, 0, 0x3F, 0xFC, 0x41, 0x9A};
    EXPECT_TRUE(Is_SampleStart(nonSync, sizeof nonSync, 16384, false));
    EXPECT_FALSE(Is_SampleStart(nonSync, sizeof nonSync, 16384, true));
    EXPECT_FALSE(Is_SampleStart(nonSync, sizeof nonSync, 16383, false));
    const uint8_t sync[] = {0, 0, 0x3F, 0xFC, 0x65, 0x88};
    EXPECT_TRUE(Is_SampleStart(sync, sizeof sync, 16384, true));
    EXPECT_FALSE(Is_SampleStart(sync, sizeof sync, 16384, false));
    const uint8_t low[] = {0, 0, 0x3F, 0xFC, 0x01};
    EXPECT_TRUE(Is_SampleStart(low, sizeof low, 16384, false));
    const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x41};
    EXPECT_FALSE(Is_SampleStart(huge, sizeof huge, 3, false)); // no wrap-around
    EXPECT_FALSE(Is_SampleStart(sync, 4, 16384, true));
}
