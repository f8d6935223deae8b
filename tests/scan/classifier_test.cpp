#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "common/byte_order.h"
#include "common/op_state.h"
#include "media/raw_access.h"
#include "platform/time_zone.h"
#include "scan/alloc_map.h"
#include "scan/classifier.h"
#include "scan/metadata.h"
#include "scan/movie_boxes.h"
#include "scan/records.h"
#include "scan/track_tables.h"

using namespace qrv;
using namespace qrv::test;

namespace {

// A medium in memory with a source node and a classification context over it.
struct TBench {
    TBytes Bytes;
    TTreeData Node;
    TAllocMap Map;
    std::unique_ptr<TMemorySource> Src;
    TScanSession Session;
    TClassifyContext Ctx;

    explicit TBench(size_t size, const std::string& fs = "RAW", int64_t unit = 512) : Bytes(Noise(size, 7)) {
        Node.Hddtype = HDD_IMAGE;
        Node.HddFs = fs;
        Node.PerSecBytes = 512;
        Node.LogPerClusec = uint32_t(unit / 512);
        Ctx.Node = &Node;
        Ctx.Session = &Session;
        Ctx.Unit = unit;
        Ctx.WalkStep = fs == "RAW" ? 32768 : unit;
        Ctx.Map = &Map;
        Ctx.RangeEnd = int64_t(size);
    }
    // Classifies the block read at P; returns the findings of this call only.
    std::vector<TFinding> Run(int64_t P, int64_t* movies = nullptr) {
        Src = std::make_unique<TMemorySource>(Bytes);
        Ctx.Handle = Src.get();
        std::vector<uint8_t> block(kScanBlockRead);
        Read_Block(*Src, block.data(), block.size(), P);
        Session.Scans.Clear();
        Map.Window.Clear();
        int64_t count = 0;
        Classify_Block(block.data(), P, Ctx, count);
        if (movies) *movies = count;
        return Findings(Session);
    }
};

class Classifier : public ::testing::Test {
  protected:
    void SetUp() override { Set_TimeZoneBiasOverride(0); }
    void TearDown() override { Set_TimeZoneBiasOverride(std::nullopt); }
};

} // namespace

TEST_F(Classifier, HeadsCountOnlyOnSectorStartsAndRecordTheirFields) {
    TBench b(1 << 20);
    Put(b.Bytes, 1000, Make_HeadMdat(100000));       // "ftyp" at 1,004: not a sector start
    Put(b.Bytes, 1024 + 512, Make_HeadMdat(200000)); // "ftyp" at 1,540 from a head at 1,536
    Put(b.Bytes, 4096, Make_HeadMoov());
    b.Ctx.RecoveryType = 0;
    int64_t movies = 0;
    auto f = b.Run(0, &movies);
    ASSERT_EQ(f, (std::vector<TFinding>{{1, 1536}, {0, 4096}}));
    EXPECT_EQ(movies, 1);

    const TScanResult& k1 = b.Session.Scans.Get(0);
    EXPECT_TRUE(k1.Head_Flag);
    EXPECT_EQ(k1.CamerType, 0);
    EXPECT_EQ(k1.MdatOFF, (1536 + 32) % 512);
    EXPECT_EQ(k1.MdatLen, 32 + 200000);
    EXPECT_EQ(k1.Next_AtomOff, (32 + 200000) % 512);
    EXPECT_EQ(k1.True_MdatLen, 0);
    EXPECT_EQ(k1.MoovOff, 0);
    EXPECT_TRUE(k1.CreateTime.empty());

    const TScanResult& k0 = b.Session.Scans.Get(1);
    const int64_t moovLen = int64_t(Make_Moov().size());
    EXPECT_TRUE(k0.Head_Flag);
    EXPECT_EQ(k0.MdatOFF, -1);
    EXPECT_EQ(k0.MoovOff, 4096 + 24);
    EXPECT_EQ(k0.MoovLen, moovLen);
    EXPECT_EQ(k0.True_MdatLen, Media_End());
    EXPECT_GT(k0.MoovFreeLen, 0);
    EXPECT_EQ(k0.MoovFreeSoff + k0.MoovFreeLen, 4096 + 24 + moovLen); // udta closes the movie box
    EXPECT_EQ(k0.MdatLen, Media_End() - moovLen - k0.MoovFreeLen - (4096 + 24) % 512);
    EXPECT_EQ(k0.Next_AtomOff, (k0.MoovFreeSoff + k0.MoovFreeLen) % 512);
    EXPECT_EQ(k0.moov.TrackCnt, 1);
    EXPECT_EQ(k0.moov.VmhdCnt, 1);
    ASSERT_EQ(k0.moov.Track.size(), 1u);
    EXPECT_EQ(k0.CreateTime, "2018-01-28 08:00:00");
    EXPECT_EQ(k0.Durting, "61.5");
    EXPECT_EQ(k0.CamerModel, "VANTO-X1");
}

TEST_F(Classifier, MovieBoxesNeedThe108ByteMvhdAndRecordKind3) {
    TBench b(1 << 20);
    TMoviePlan odd;
    odd.MvhdSize = 112;
    Put(b.Bytes, 20003, Make_Moov(odd));
    Put(b.Bytes, 70001, Make_Moov());
    b.Ctx.RecoveryType = 0;
    auto f = b.Run(0);
    ASSERT_EQ(f, (std::vector<TFinding>{{3, 70001}}));
    const TScanResult& r = b.Session.Scans.Get(0);
    EXPECT_EQ(r.CamerType, 2);
    EXPECT_FALSE(r.Head_Flag);
    EXPECT_EQ(r.MoovOff, 70001);
    EXPECT_EQ(r.MdatLen, Media_End());
    EXPECT_EQ(r.True_MdatLen, Media_End());
    EXPECT_EQ(r.MdatOFF, -1);
    EXPECT_EQ(r.MoovFreeSoff, 0);
    EXPECT_EQ(r.MoovFreeLen, 0);
    EXPECT_EQ(r.Next_AtomOff, 0);
    EXPECT_EQ(r.CamerModel, "VANTO-X1");
}

TEST_F(Classifier, MdatHeadSkipsTheRestOfItsSectorOnly) {
    // Sector units: a movie box in the head's own sector is skipped, one in the
    // next sector is found.
    TBench raw(1 << 20);
    Put(raw.Bytes, 8192, Make_HeadMdat(50000));
    Put(raw.Bytes, 8192 + 100, Make_Moov());
    Put(raw.Bytes, 16384, Make_HeadMdat(50000));
    Put(raw.Bytes, 16384 + 512 + 7, Make_Moov());
    EXPECT_EQ(raw.Run(0), (std::vector<TFinding>{{1, 8192}, {1, 16384}, {3, 16384 + 512 + 7}}));

    // 4 KiB clusters: a movie box in a later sector of the same cluster is found.
    TBench fat(1 << 20, "FAT32", 4096);
    Put(fat.Bytes, 8192, Make_HeadMdat(50000));
    Put(fat.Bytes, 8192 + 100, Make_Moov());
    Put(fat.Bytes, 8192 + 1024 + 3, Make_Moov());
    EXPECT_EQ(fat.Run(0), (std::vector<TFinding>{{1, 8192}, {3, 8192 + 1024 + 3}}));
}

TEST_F(Classifier, MovieHeaderLeavesTheUnitAndTheDateFilterDropsHeadsOnly) {
    TMoviePlan plan; // shot 2018-01-28 08:00:00 (zone bias 0)
    TBench b(1 << 20, "exFAT", 8192);
    Put(b.Bytes, 16384, Make_HeadMoov(plan));
    Put(b.Bytes, 16384 + 4096 + 11, Make_Moov(plan)); // same cluster: not examined after the head
    Put(b.Bytes, 32768 + 50, Make_Moov(plan));        // next cluster: a bare movie box
    EXPECT_EQ(b.Run(0), (std::vector<TFinding>{{0, 16384}, {3, 32768 + 50}}));

    b.Ctx.DateFilter = true;
    b.Ctx.DateFrom = Encode_DateTime(2019, 1, 1, 0, 0, 0);
    b.Ctx.DateTo = Encode_DateTime(2019, 12, 31, 0, 0, 0);
    int64_t movies = 0;
    EXPECT_EQ(b.Run(0, &movies), (std::vector<TFinding>{{3, 32768 + 50}}));
    EXPECT_EQ(movies, 1);

    b.Ctx.DateFrom = b.Ctx.DateTo = Encode_DateTime(2018, 1, 28, 8, 0, 0);
    EXPECT_EQ(b.Run(0), (std::vector<TFinding>{{0, 16384}, {3, 32768 + 50}}));
}

TEST_F(Classifier, ModesAskTheMapOncePerClusterAndOnlyAboveOneSector) {
    // FAT32-like map at offset 0: entry c at 4c; data area (cluster 2) at 65,536.
    auto Layout = [](TBench& b, int64_t unit) {
        b.Map.Loaded = true;
        b.Map.MapStart = 0;
        b.Map.MapLength = 65536;
        b.Map.DataStart = 65536;
        std::memset(b.Bytes.data(), 0, 65536);
        auto clusterOff = [&](int64_t c) { return 65536 + (c - 2) * unit; };
        // cluster 3 allocated and holds a movie box; cluster 5 free and holds one.
        Put_LE32(&b.Bytes[3 * 4], 0x0FFFFFFF);
        Put(b.Bytes, clusterOff(3) + 40, Make_Moov());
        Put(b.Bytes, clusterOff(5) + 40, Make_Moov());
        return std::make_pair(clusterOff(3) + 40, clusterOff(5) + 40);
    };
    TBench big(1 << 20, "FAT32", 4096);
    auto [live, gone] = Layout(big, 4096);
    big.Ctx.Mode = 0;
    EXPECT_EQ(big.Run(0), (std::vector<TFinding>{{3, live}, {3, gone}}));
    big.Ctx.Mode = 1;
    EXPECT_EQ(big.Run(0), (std::vector<TFinding>{{3, gone}}));
    big.Ctx.Mode = 2;
    EXPECT_EQ(big.Run(0), (std::vector<TFinding>{{3, live}}));

    TBench small(1 << 20, "FAT32", 512);
    auto [live1, gone1] = Layout(small, 512);
    small.Ctx.Mode = 1;
    EXPECT_EQ(small.Run(0), (std::vector<TFinding>{{3, live1}, {3, gone1}}));
}

TEST_F(Classifier, MovieSignatureReachingIntoTheOverlapIsFoundOnce) {
    TBench b(2 << 20);
    const int64_t sigPos = kScanBlockStep - 10; // "mvhd" lies in the trailing 512 bytes
    Put(b.Bytes, sigPos - 4, Make_Moov());
    EXPECT_EQ(b.Run(0), (std::vector<TFinding>{{3, sigPos - 4}}));
    EXPECT_TRUE(b.Run(kScanBlockStep).empty());

    // A head at the very start of the next block belongs to that block only.
    TBench h(2 << 20);
    Put(h.Bytes, kScanBlockStep, Make_HeadMdat(9000));
    EXPECT_TRUE(h.Run(0).empty());
    EXPECT_EQ(h.Run(kScanBlockStep), (std::vector<TFinding>{{1, kScanBlockStep}}));
}

// The byte-by-byte rule, written as plainly as possible, against which the
// candidate-jumping classifier is compared on randomly laid out blocks.
namespace {
void Reference_Classify(const uint8_t* block, int64_t P, TClassifyContext& ctx, int64_t& count) {
    static const uint8_t sig[12] = {'m', 'o', 'o', 'v', 0, 0, 0, 0x6C, 'm', 'v', 'h', 'd'};
    for (int64_t q = 0; q < kScanBlockStep; q += ctx.Unit) {
        int64_t r = 0;
        while (r < ctx.Unit && q + r < kScanBlockStep) {
            const int64_t p = q + r, X = P + p;
            if (r == 0 && (ctx.Mode == 1 || ctx.Mode == 2) && ctx.Unit > 512) {
                int st = Get_ClusterState(*ctx.Handle, ctx.Node->HddFs, *ctx.Map,
                                          (X - ctx.Map->DataStart) / ctx.Unit + 2);
                if ((ctx.Mode == 1 && st == 1) || (ctx.Mode == 2 && st == 0)) break;
            }
            if (X % 512 == 0 && std::memcmp(block + p + 4, "ftyp", 4) == 0) {
                int64_t R = 0, size = 0;
                int res = Get_HeadAtom(*ctx.Handle, ctx.WalkStep, R, size, X);
                if (res == 0) {
                    TScanResult rec;
                    rec.Fragmentype = 1;
                    rec.FragmentOff = X;
                    ctx.Session->Scans.Append(std::move(rec));
                    r += 512;
                    continue;
                }
                if (res == 1) {
                    TMoovCon con;
                    TmoovExt ext;
                    Get_MoovInfo(*ctx.Node, *ctx.Handle, 0, con, ctx.RangeEnd, X + R);
                    if (con.MoovGood) Get_MoovTracks(*ctx.Node, *ctx.Handle, con, ext, 0, ctx.RangeEnd);
                    if (con.MoovGood && ext.MoovGood) {
                        if (!ctx.DateFilter || Check_DateRange(con.CreateTime, ctx.DateFrom, ctx.DateTo)) {
                            TScanResult rec;
                            rec.Fragmentype = 0;
                            rec.FragmentOff = X;
                            ctx.Session->Scans.Append(std::move(rec));
                            ++count;
                        }
                        break;
                    }
                }
            }
            if (std::memcmp(block + p, sig, 12) == 0) {
                TMoovCon con;
                TmoovExt ext;
                Get_MoovInfo(*ctx.Node, *ctx.Handle, 0, con, ctx.RangeEnd, X - 4);
                if (con.MoovGood) Get_MoovTracks(*ctx.Node, *ctx.Handle, con, ext, 0, ctx.RangeEnd);
                if (con.MoovGood && ext.MoovGood) {
                    TScanResult rec;
                    rec.Fragmentype = 3;
                    rec.FragmentOff = X - 4;
                    ctx.Session->Scans.Append(std::move(rec));
                    ++count;
                    break;
                }
            }
            ++r;
        }
    }
}
} // namespace

TEST_F(Classifier, SameFindingsAsTheByteByByteRule) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 40; ++round) {
        const int64_t unit = int64_t(512) << (rng() % 5); // 512 .. 8 KiB
        TBench b(3 << 20, "FAT32", unit);
        b.Ctx.Mode = int(rng() % 3);
        b.Map.Loaded = true;
        b.Map.MapStart = 0;
        b.Map.DataStart = 1 << 20;
        for (int64_t c = 2; c < 2 + (2 << 20) / unit; ++c)
            Put_LE32(&b.Bytes[size_t(c * 4)], (rng() % 2) ? 1u : 0u);
        const int64_t P = (1 << 20) + int64_t(rng() % 4) * 512;
        // Heads, movie boxes, broken signatures and fake heads at random places,
        // many of them on sector starts and near unit boundaries.
        for (int k = 0; k < 60; ++k) {
            int64_t pos = P + int64_t(rng() % (kScanBlockStep - 2048));
            if (rng() % 2) pos = pos / 512 * 512;
            switch (rng() % 5) {
            case 0:
                Put(b.Bytes, pos, Make_HeadMdat(40000));
                break;
            case 1:
                Put(b.Bytes, pos, Make_HeadMoov());
                break;
            case 2:
                Put(b.Bytes, pos, Make_Moov());
                break;
            case 3:
                Put(b.Bytes, pos, TBytes{0, 0, 0, 8, 'f', 't', 'y', 'p', 0, 0, 0, 8, 'w', 'i', 'd', 'e'});
                break;
            default:
                Put(b.Bytes, pos, TBytes{'m', 'o', 'o', 'v', 0, 0, 0, 0x6C, 'm', 'v', 'h', 'd'});
                break;
            }
        }
        int64_t fastCount = 0;
        auto fast = b.Run(P, &fastCount);

        std::vector<uint8_t> block(kScanBlockRead);
        Read_Block(*b.Src, block.data(), block.size(), P);
        b.Session.Scans.Clear();
        b.Map.Window.Clear();
        int64_t refCount = 0;
        Reference_Classify(block.data(), P, b.Ctx, refCount);
        EXPECT_EQ(fast, Findings(b.Session))
            << "round " << round << " unit " << unit << " mode " << b.Ctx.Mode;
        EXPECT_EQ(fastCount, refCount);
        EXPECT_FALSE(fast.empty());
    }
}

// A block full of movie-box lookalikes (each a signature inside a box whose
// children keep looking like boxes) costs a few reads per candidate, not one
// read per child box: random media holds such runs, and a fuzzer found one
// that took a minute per megabyte.
TEST_F(Classifier, MovieLookalikesCostAFewReadsEach) {
    class TCounting final : public TSource {
      public:
        explicit TCounting(TBytes b) : mem_(std::move(b)) {}
        int64_t Read_At(void* buf, size_t len, int64_t off) override {
            ++Reads;
            return mem_.Read_At(buf, len, off);
        }
        int64_t Size() override { return mem_.Size(); }
        const std::string& Path() const override { return mem_.Path(); }
        int64_t Reads = 0;

      private:
        TMemorySource mem_;
    };
    const uint8_t unit[] = {0xFF, '"', 0, 0, 'f', 0x10, 'm', 'o', 'o', 'v', 0, 0, 0, 'l', 'm',
                            'v',  'h', 'd', 'd', 0xE4, 'd', 'd', 0xFE, 0xFF, 0xFF, 0xFF, '\n'};
    TBench b(1 << 20);
    for (size_t at = 0; at + sizeof unit <= b.Bytes.size(); at += sizeof unit)
        std::memcpy(&b.Bytes[at], unit, sizeof unit);
    TCounting src(b.Bytes);
    b.Ctx.Handle = &src;
    std::vector<uint8_t> block(kScanBlockRead);
    Read_Block(src, block.data(), block.size(), 0);
    src.Reads = 0;
    int64_t count = 0;
    Classify_Block(block.data(), 0, b.Ctx, count);
    const int64_t candidates = kScanBlockStep / int64_t(sizeof unit);
    EXPECT_EQ(count, 0);
    EXPECT_LE(src.Reads, 3 * candidates);
}
