// Unit tests of header analysis, seam resolution, levels, output pieces and
// the completion stage, on hand-built records and in-memory media.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "analysis/header_analysis.h"
#include "analysis/output.h"
#include "analysis/rebuild.h"
#include "analysis/seams.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "scan/alloc_map.h"
#include "scan/track_tables.h"
#include "support/disk_image.h"
#include "support/test_env.h"

namespace qrv {
namespace {

constexpr int64_t kF = 32768; // cluster size of a source without a known file system

// ---------------------------------------------------------------- levels

TEST(Quality, LevelsAtTheEdges) {
    struct Case {
        int64_t num, den; // found = expected * num / den
        int64_t percent;
        uint8_t level;
    } cases[] = {
        {1, 1, 100, 0},        {79, 100, 79, 1},       {595, 1000, 60, 1},   {285, 1000, 28, 3},
        {295, 1000, 28, 3},    {1005, 1000, 100, 0},   {1006, 1000, 101, 3}, {29, 100, 28, 3},
        {57, 100, 56, 2},      {58, 100, 57, 2},       {8, 10, 80, 0},       {6, 10, 60, 1},
        {3, 10, 30, 2},        {0, 1, 0, 3},
    };
    for (int64_t expected : {int64_t(1000), int64_t(10000), int64_t(200000)}) {
        for (const Case& c : cases) {
            const int64_t found = expected * c.num / c.den;
            SCOPED_TRACE(testing::Message() << found << " of " << expected);
            EXPECT_EQ(Quality_Percent(found, expected), c.percent);
            EXPECT_EQ(Quality_Level(Quality_Percent(found, expected)), c.level);
        }
    }
    EXPECT_EQ(Quality_Percent(5, 0), -1);
}

TFragmenArr Movie_Entry(int64_t soff, int64_t eoff, int64_t mdatLen) {
    TFragmenArr e;
    e.FragmenType = ENTRY_MOVIE;
    e.FragmeSnumType = 255;
    e.FragmenSoff = soff;
    e.FragmenEoff = eoff;
    e.MdatLen = mdatLen;
    e.FragmentLastErySoff = soff;
    return e;
}

TFragmenArr Data_Entry(int32_t sc, int32_t ss, int32_t ec, int32_t es, int64_t soff, int64_t eoff) {
    TFragmenArr e;
    e.FragmenType = ENTRY_DATA;
    e.FragmeSnum = sc;
    e.FragmeSLnum = ss;
    e.FragmeEnum = ec;
    e.FragmeELnum = es;
    e.FragmenSoff = soff;
    e.FragmenEoff = eoff;
    return e;
}

TEST(Quality, OverlappingEntriesCountNothing) {
    TRebuildResult r;
    r.CamerType = 2; // movie box at the end: the file is the media data and the box
    r.FragmenArray.push_back(Movie_Entry(0, 1000, 9000)); // expected 10,000
    TFragmenArr a = Data_Entry(0, 0, 5, 0, 50000, 0);
    a.FragmentLastSoff = 50000;
    a.FragmentLastEoff = 58000; // 8,000 bytes: 80 %
    r.FragmenArray.push_back(a);
    TFragmenArr big = Data_Entry(1, 0, 3, 0, 90000, 190000);
    big.ChongHeFlag = true;
    r.FragmenArray.push_back(big);
    TFragmenArr backwards = Data_Entry(6, 0, 7, 0, 70000, 60000); // negative range counts 0
    r.FragmenArray.push_back(backwards);
    r.Fragmenum = 4;
    Get_FileQuality(r);
    EXPECT_EQ(r.MdatLenx, 10000);
    EXPECT_EQ(r.HeadMdatLenx, 9000 - 32);
    EXPECT_EQ(r.LessByte, 8000);
    EXPECT_EQ(r.TrueFileLen, 8000);
    EXPECT_EQ(r.Leavelx, 0);

    r.FragmenArray[1].FragmentLastEoff = 50000 + 7900; // 79 %
    Get_FileQuality(r);
    EXPECT_EQ(r.Leavelx, 1);
}

TEST(Quality, NoExpectedLengthRatesPoorWithoutDividing) {
    TRebuildResult r;
    r.FragmenArray.push_back(Movie_Entry(0, 0, 0));
    r.FragmenArray.push_back(Data_Entry(0, 0, 1, 0, 100, 5000));
    Get_FileQuality(r);
    EXPECT_EQ(r.MdatLenx, 0);
    EXPECT_EQ(r.Leavelx, 3);
    EXPECT_EQ(r.LessByte, 4900);
}

// ---------------------------------------------------------------- windows

TEST(SearchRange, SchemesAndModes) {
    const int64_t HS = 10000100, HE = 10005300, M = 1000000, E = 100000000;
    int64_t s, e;
    auto fl = [](int64_t x) { return x / 512 * 512; };
    auto ce = [](int64_t x) { return (x + 511) / 512 * 512; };
    Get_SearchRange(0, 0, E, M, -1, HE, HS, s, e);
    EXPECT_EQ(s, fl(HS - 2 * M));
    EXPECT_EQ(e, ce(HE));
    // A head that holds its movie box: the media data follows it, so the
    // one-way windows lie above the header; the others are those of head mode 0.
    const std::pair<int64_t, int64_t> above[8] = {
        {fl(HS), ce(HE + 2 * M)},
        {fl(HS), ce(HE + 4 * M)},
        {fl(HS), ce(HS + 2 * M)},
        {fl(HS), ce(HS + 4 * M)},
        {fl(HS - 2 * M), ce(HE + 2 * M)},
        {fl(HS - 4 * M), ce(HE + 4 * M)},
        {fl(HS), E},
        {0, E},
    };
    for (int scheme = 0; scheme < 8; ++scheme) {
        Get_SearchRange(scheme, 1, E, M, -1, HE, HS, s, e);
        EXPECT_EQ(s, above[scheme].first) << scheme;
        EXPECT_EQ(e, above[scheme].second) << scheme;
    }
    const std::pair<int64_t, int64_t> want[8] = {
        {fl(HS - 2 * M), ce(HE)},     {fl(HS - 4 * M), ce(HS)},     {fl(HS), ce(HS + 2 * M)},
        {fl(HS), ce(HS + 4 * M)},     {fl(HS - 2 * M), ce(HE + 2 * M)}, {fl(HS - 4 * M), ce(HE + 4 * M)},
        {0, ce(HS)},                  {0, E},
    };
    for (int scheme = 0; scheme < 8; ++scheme) {
        Get_SearchRange(scheme, 0, E, M, -1, HE, HS, s, e);
        EXPECT_EQ(s, want[scheme].first) << scheme;
        EXPECT_EQ(e, want[scheme].second) << scheme;
    }
    // Windows are clipped at the start of the medium and at the scan end.
    Get_SearchRange(5, 0, HE + 1000, 3 * M, -1, HE, HS, s, e);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(e, ce(HE + 1000));
    Get_SearchRange(0, 0, HS + 100, M, -1, HE, HS, s, e);
    EXPECT_EQ(e, HS + 100);
    Get_SearchRange(1, 1, HE + 1000, M, -1, HE, HS, s, e);
    EXPECT_EQ(e, ce(HE + 1000));
}

TEST(SearchRange, EmptyMediaEndAndPairedHead) {
    const int64_t HS = 10000100, HE = 10005300, E = 100000000;
    int64_t s, e;
    // M = 0 in head mode 1: at most one sector around the header start.
    Get_SearchRange(0, 1, E, 0, -1, HE, HS, s, e);
    EXPECT_EQ(s, 10000100 / 512 * 512);
    EXPECT_EQ(e, s + 512);
    // M <= 0: the base window stands whatever the scheme.
    Get_SearchRange(7, 0, E, -5, -1, HE, HS, s, e);
    EXPECT_EQ(s, (HS + 10) / 512 * 512);
    EXPECT_EQ(e, (HE + 511) / 512 * 512);
    // Head mode 1 with the header at 0 searches 2 M after the header's end.
    Get_SearchRange(0, 1, E, 1000, -1, 700, 0, s, e);
    EXPECT_EQ(s, 0);
    EXPECT_EQ(e, 3072);

    // A paired head at F: only [F, HS) in head mode 0, unrounded.
    Get_SearchRange(0, 0, E, 1000000, 9000333, HE, HS, s, e);
    EXPECT_EQ(s, 9000333);
    EXPECT_EQ(e, HS);
    // Other schemes replace it.
    Get_SearchRange(2, 0, E, 1000000, 9000333, HE, HS, s, e);
    EXPECT_EQ(s, HS / 512 * 512);
    // Head mode 1 ignores F.
    Get_SearchRange(0, 1, E, 1000000, 9000333, HE, HS, s, e);
    EXPECT_EQ(s, HS / 512 * 512);
    EXPECT_EQ(e, (HE + 2000000 + 511) / 512 * 512);
}

// ---------------------------------------------------------------- order and overlaps

TEST(SortAndOverlap, ShellSortKeepsHeadersInFront) {
    TRebuildResult r;
    r.FragmenArray.push_back(Movie_Entry(0, 512, 100));
    TFragmenArr head;
    head.FragmenType = ENTRY_FILE_HEAD;
    r.FragmenArray.push_back(head);
    for (int32_t k : {40, 7, 19, 3, 25, 7}) r.FragmenArray.push_back(Data_Entry(k, 0, k + 1, 0, k * 1000, k * 1000 + 1));
    r.Fragmenum = int32_t(r.FragmenArray.size());
    Sort_Fragment(r);
    std::vector<int32_t> keys;
    for (const auto& e : r.FragmenArray) keys.push_back(e.FragmeSnum);
    EXPECT_EQ(keys, (std::vector<int32_t>{-1, -1, 3, 7, 7, 19, 25, 40}));
    EXPECT_EQ(r.FragmenArray[0].FragmenType, ENTRY_MOVIE);
    EXPECT_EQ(r.FragmenArray[1].FragmenType, ENTRY_FILE_HEAD);

    // Two entries: no pass runs.
    TRebuildResult two;
    two.FragmenArray = {Data_Entry(9, 0, 9, 0, 0, 0), Data_Entry(2, 0, 2, 0, 0, 0)};
    Sort_Fragment(two);
    EXPECT_EQ(two.FragmenArray[0].FragmeSnum, 9);
}

TEST(SortAndOverlap, MarkOverlap) {
    TRebuildResult r;
    r.FragmenArray.push_back(Movie_Entry(0, 512, 100));
    r.FragmenArray.push_back(Data_Entry(0, 0, 10, 0, 0, 100000));       // m
    r.FragmenArray.push_back(Data_Entry(5, 0, 8, 0, 500000, 530000));   // inside m, shorter: marked
    r.FragmenArray.push_back(Data_Entry(10, 0, 12, 0, 700000, 800000)); // starts in m's last chunk, equal length
    r.FragmenArray.push_back(Data_Entry(11, 0, 30, 0, 900000, 990000)); // after m: stop
    Mark_Overlap(r, 1, false);
    EXPECT_FALSE(r.FragmenArray[1].ChongHeFlag);
    EXPECT_TRUE(r.FragmenArray[2].ChongHeFlag);
    EXPECT_TRUE(r.FragmenArray[3].ChongHeFlag);
    EXPECT_FALSE(r.FragmenArray[4].ChongHeFlag);

    // A longer later entry marks m itself and ends the walk.
    TRebuildResult q;
    q.FragmenArray.push_back(Data_Entry(0, 0, 4, 0, 0, 1000));
    q.FragmenArray.push_back(Data_Entry(3, 0, 20, 0, 5000, 90000));
    q.FragmenArray.push_back(Data_Entry(4, 0, 5, 0, 5000, 5100));
    Mark_Overlap(q, 0, false);
    EXPECT_TRUE(q.FragmenArray[0].ChongHeFlag);
    EXPECT_FALSE(q.FragmenArray[1].ChongHeFlag);
    EXPECT_FALSE(q.FragmenArray[2].ChongHeFlag);

    // With multi-sample chunks the sample index decides within the last chunk.
    TRebuildResult w;
    w.FragmenArray.push_back(Data_Entry(0, 0, 4, 2, 0, 10000));
    w.FragmenArray.push_back(Data_Entry(4, 3, 9, 0, 20000, 21000));
    Mark_Overlap(w, 0, true);
    EXPECT_FALSE(w.FragmenArray[1].ChongHeFlag);
    Mark_Overlap(w, 0, false);
    EXPECT_TRUE(w.FragmenArray[1].ChongHeFlag);
}

// ---------------------------------------------------------------- seams

// Video tables of n one-sample chunks with the given sizes, laid out
// contiguously from file offset first (no sound).
TVideo Make_Video(const std::vector<uint32_t>& sizes, int64_t first) {
    TVideo v;
    v.Ext_Flag = true;
    int64_t off = first;
    int32_t num = 1;
    for (uint32_t s : sizes) {
        TVideoSTCO c;
        c.STCOoff = off;
        c.STSZNum = 1;
        c.Log_SNum = num++;
        TVideoSTSZ z;
        z.STSZoff = off;
        z.STSZlen = s;
        c.STSZArr.push_back(z);
        v.STCOArr.push_back(c);
        off += s;
    }
    v.STCONum = int32_t(v.STCOArr.size());
    return v;
}

struct TLinkFixture : testing::Test {
    TTreeData node = test::Image_FileNode();
    TAllocMap map;
    TMemorySource mem{std::vector<uint8_t>(64 * size_t(kF), 0x11)};
    TScanSession session;
    // The analysis context of this medium, with the given gap scheme.
    TAnalysisContext Ctx(int interleave = 0) { return {session, mem, node, map, 0, interleave}; }
    void Link_All(TRebuildResult& r, const TVideo& v, uint8_t layout) {
        r.CamerType = layout;
        r.Fragmenum = int32_t(r.FragmenArray.size());
        int32_t L = r.Fragmenum - 1;
        while (L > 0 && r.FragmenArray[size_t(L)].ChongHeFlag) --L;
        for (int32_t g = 0; g < r.Fragmenum; ++g) Link_Fragment(Ctx(interleave), layout, L, g, r, v);
    }
    int interleave = 0; // the gap scheme the seams are resolved with
};

TEST_F(TLinkFixture, FrontHeaderContiguousAndSectorLevel) {
    std::vector<uint32_t> sizes(40, 1000);
    TVideo v = Make_Video(sizes, 1008);
    const int64_t S0 = 100 * 512;
    {
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(S0, S0 + 1000, 41008));
        r.FragmenArray.push_back(Data_Entry(0, 0, 39, 0, S0 + 1008, S0 + 1008 + 39000));
        Link_All(r, v, 0);
        EXPECT_EQ(r.FragmenArray[0].FragmentLastEoff, S0 + 1024);
        EXPECT_EQ(r.FragmenArray[0].FragmentFreeSpace, 0);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastSoff, S0 + 1024);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastErySoff, std::optional<int64_t>(S0 + 1024));
        // Last entry of a front layout: copied to the end of its last sample.
        EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, S0 + 1008 + 40000);
    }
    {
        // The data found starts at sample 5, far from the head.
        const int64_t D = 3000 * 512 + (6008 % 512);
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(S0, S0 + 1000, 41008));
        r.FragmenArray.push_back(Data_Entry(5, 0, 39, 0, D, D + 34000));
        Link_All(r, v, 0);
        EXPECT_EQ(r.FragmenArray[0].FragmentLastEoff, S0 + 1024);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastSoff, D - 6008 % 512);
        // D's sector lands where its first sample needs it: 1024 + fill + P = 6008.
        EXPECT_EQ(1024 + r.FragmenArray[0].FragmentFreeSpace + 6008 % 512, 6008);
    }
}

TEST_F(TLinkFixture, DataSeamsSectorAndClusterLevel) {
    std::vector<uint32_t> sizes(200, 1000);
    TVideo v = Make_Video(sizes, 48); // sample i at 48 + 1000 i
    // Sector level: samples 10 and 11 missing between the fragments.
    {
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(900 * kF, 900 * kF + 700, 300000));
        r.FragmenArray.push_back(Data_Entry(0, 0, 9, 0, 5 * kF + 48, 5 * kF + 9048));
        r.FragmenArray.push_back(Data_Entry(12, 0, 60, 0, 7 * kF + 300, 7 * kF + 48300));
        Link_All(r, v, 2);
        const TFragmenArr& g = r.FragmenArray[1];
        EXPECT_EQ(g.FragmentLastEoff, (5 * kF + 9048) / 512 * 512 + 512);
        EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, 7 * kF);
        // Sample 12 (file offset 12048) must land there: offset of g's copy end
        // in the file, plus the fill, plus its position in its sector.
        const int64_t copyEndFile = 9048 + (g.FragmentLastEoff - (5 * kF + 9048));
        EXPECT_EQ(copyEndFile + g.FragmentFreeSpace + 300, 12048);
    }
    // Clusters adjoin in the file: the seam is the cluster boundary, no fill.
    {
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(900 * kF, 900 * kF + 700, 300000));
        r.FragmenArray.push_back(Data_Entry(0, 0, 32, 0, 10 * kF + 48, 10 * kF + 32048));
        r.FragmenArray.push_back(Data_Entry(33, 0, 60, 0, 20 * kF + 280, 20 * kF + 27280));
        Link_All(r, v, 2);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, 11 * kF);
        EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, 0);
        EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, 20 * kF);
    }
    // One whole cluster of the file lost (samples 33..65): fill of one cluster.
    {
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(900 * kF, 900 * kF + 700, 300000));
        r.FragmenArray.push_back(Data_Entry(0, 0, 32, 0, 10 * kF + 48, 10 * kF + 32048));
        r.FragmenArray.push_back(Data_Entry(66, 0, 90, 0, 30 * kF + 512, 30 * kF + 24512));
        Link_All(r, v, 2);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, 11 * kF);
        EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, kF);
        EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, 30 * kF);
    }
}

TEST_F(TLinkFixture, LastSampleOnSectorBoundaryLandsTheNextFragmentInPlace) {
    // Sample 9 starts on a sector boundary of the medium.
    std::vector<uint32_t> sizes(100, 1000);
    TVideo v = Make_Video(sizes, 48);
    const int64_t s0 = (5 * kF + 9 * 1024) - 9048 + 48;             // medium offset of sample 0
    const int64_t e9 = s0 + 9000; // start of sample 9
    ASSERT_EQ(e9 % 512, 0);
    TRebuildResult r;
    r.FragmenArray.push_back(Movie_Entry(900 * kF, 900 * kF + 700, 300000));
    r.FragmenArray.push_back(Data_Entry(0, 0, 9, 0, s0, e9));
    r.FragmenArray.push_back(Data_Entry(12, 0, 60, 0, 7 * kF + 300, 7 * kF + 48300));
    Link_All(r, v, 2);
    const TFragmenArr& g = r.FragmenArray[1];
    EXPECT_EQ(g.FragmentLastEoff, e9 + 512);
    // 512 bytes of sample 9 are copied, so the fill is 512 smaller.
    const int64_t copyEndFile = 9048 + 512;
    EXPECT_EQ(copyEndFile + g.FragmentFreeSpace + 300, 12048);
    EXPECT_EQ(g.FragmentFreeSpace, 3000 - 512 - 300);
}

// Sample 32 runs from cluster 0 of the file through clusters 1..3 into
// cluster 4, where sample 33 starts 100 bytes in. On the medium g holds file
// cluster 0 at cluster 10, D begins at cluster 20: a gap of three clusters
// with no video sample start missing.
struct TGapFixture : TLinkFixture {
    TVideo v;
    void SetUp() override {
        std::vector<uint32_t> sizes(32, 1000);
        sizes.push_back(uint32_t(4 * kF + 100 - 32048));
        for (int i = 0; i < 40; ++i) sizes.push_back(1000);
        v = Make_Video(sizes, 48);
    }
    void Marker_At(int64_t cluster) {
        uint8_t au[6] = {0, 0, 0x10, 0, 0x65, 0x88};
        std::memcpy(mem.Bytes().data() + cluster * kF + 4000, au, 6);
    }
    TRebuildResult Run() {
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(900 * kF, 900 * kF + 700, 300000));
        r.FragmenArray.push_back(Data_Entry(0, 0, 32, 0, 10 * kF + 48, 10 * kF + 32048));
        r.FragmenArray.push_back(Data_Entry(33, 0, 60, 0, 20 * kF + 100, 20 * kF + 27100));
        Link_All(r, v, 2);
        return r;
    }
};

TEST_F(TGapFixture, SchemeZeroGrowsTheEarlierFragmentUpToAFrameStart) {
    Marker_At(13); // the third gap cluster after g holds a frame start
    Marker_At(19); // and the cluster before D holds one too
    interleave = 0;
    TRebuildResult r = Run();
    EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, 13 * kF);
    EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, kF);
    EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, 20 * kF);
}

TEST_F(TGapFixture, TheSchemeDecidesWhichSideIsGrownFirst) {
    Marker_At(17); // clusters 11..16 and 18, 19 are clean
    interleave = 0;
    TRebuildResult a = Run();
    EXPECT_EQ(a.FragmenArray[1].FragmentLastEoff, 14 * kF);
    EXPECT_EQ(a.FragmenArray[1].FragmentFreeSpace, 0);
    EXPECT_EQ(a.FragmenArray[2].FragmentLastSoff, 20 * kF);
    interleave = 1;
    TRebuildResult b = Run();
    EXPECT_EQ(b.FragmenArray[2].FragmentLastSoff, 18 * kF);
    EXPECT_EQ(b.FragmenArray[1].FragmentLastEoff, 12 * kF);
    EXPECT_EQ(b.FragmenArray[1].FragmentFreeSpace, 0);
}

TEST_F(TLinkFixture, PairedHeadAndMovieBoxAtTheEnd) {
    std::vector<uint32_t> sizes(60, 1000);
    TVideo v = Make_Video(sizes, 48); // media end 60048
    // Everything contiguous from a head at cluster 4.
    const int64_t H = 4 * kF;
    TRebuildResult r;
    r.FragmenArray.push_back(Movie_Entry(H + 60048, H + 60048 + 3000, 60048));
    TFragmenArr head;
    head.FragmenType = ENTRY_FILE_HEAD;
    head.FragmenSoff = head.FragmentLastSoff = H;
    head.FragmenEoff = head.FragmentLastEoff = H + 512;
    head.MdatLen = 60048;
    r.FragmenArray.push_back(head);
    r.FragmenArray.push_back(Data_Entry(0, 0, 59, 0, H + 48, H + 59048));
    Link_All(r, v, 2);
    EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, H + 512);
    EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, 0);
    EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, H + 512);
    EXPECT_EQ(r.FragmenArray[2].FragmentLastEoff, (H + 60048) / 512 * 512);
    EXPECT_EQ(r.FragmenArray[2].FragmentFreeSpace, 0);
    EXPECT_EQ(r.FragmenArray[0].FragmentLastSoff, (H + 60048) / 512 * 512);

    // The movie box's cluster follows the last data cluster in the file but
    // lies elsewhere on the medium: the seam is the cluster boundary, and the
    // bytes of the movie box's cluster before the box are copied, not zeroed.
    std::vector<uint32_t> sizes66(66, 1000);
    TVideo v66 = Make_Video(sizes66, 48); // media end 66048, in file cluster 2
    TRebuildResult q;
    const int64_t M = 50 * kF + 512;
    q.FragmenArray.push_back(Movie_Entry(M, M + 3000, 66048));
    q.FragmenArray.push_back(Data_Entry(0, 0, 32, 0, 4 * kF + 48, 4 * kF + 32048));
    q.FragmenArray.push_back(Data_Entry(33, 0, 65, 0, 40 * kF + 280, 40 * kF + 32280));
    Link_All(q, v66, 2);
    EXPECT_EQ(q.FragmenArray[2].FragmentLastEoff, 41 * kF);
    EXPECT_EQ(q.FragmenArray[2].FragmentFreeSpace, 0);
    EXPECT_EQ(q.FragmenArray[0].FragmentLastSoff, 50 * kF);
}

TEST(SynthesizedHead, OffsetsAndFallbacks) {
    std::vector<uint32_t> sizes(10, 1000);
    auto run = [&](int64_t firstFileOff, int64_t soff) {
        TVideo v = Make_Video(sizes, firstFileOff);
        TRebuildResult r;
        r.FragmenArray.push_back(Movie_Entry(0, 512, 100));
        r.FragmenArray.push_back(Data_Entry(0, 0, 9, 0, soff, soff + 9000));
        Set_SynthesizedHead(r, 1, v);
        return r;
    };
    TRebuildResult a = run(1048, 20 * kF + 24);
    EXPECT_EQ(a.HeadFlag, 1);
    EXPECT_EQ(a.HeadLenx, 1024);
    EXPECT_EQ(a.FragmenArray[1].FragmentLastSoff, 20 * kF);
    EXPECT_EQ(a.FragmenArray[1].FragmentLastErySoff, std::optional<int64_t>(20 * kF));
    EXPECT_EQ(a.FragmenArray[1].UpHeadNum, 1);
    EXPECT_EQ(a.FragmenArray[1].UpHeadFreeSpace, 1024);
    // G = 0: a 512-byte head, copying from the next sector.
    TRebuildResult b = run(24, 20 * kF + 24);
    EXPECT_EQ(b.HeadLenx, 512);
    EXPECT_EQ(b.FragmenArray[1].FragmentLastSoff, 20 * kF + 512);
    EXPECT_EQ(b.FragmenArray[1].UpHeadFreeSpace, 0);
    // G < 0.
    TRebuildResult c = run(24, 20 * kF + 100);
    EXPECT_EQ(c.HeadLenx, 512);
    EXPECT_EQ(c.FragmenArray[1].FragmentLastSoff, 20 * kF + 100 - 24 + 512);
    EXPECT_EQ(c.FragmenArray[1].UpHeadFreeSpace, 0);
}

// ---------------------------------------------------------------- output pieces

struct TPieceFixture : testing::Test {
    test::TTempDir dir{"qrv-piece"};
    std::vector<uint8_t> medium;
    std::unique_ptr<TMemorySource> src;
    void SetUp() override {
        medium.resize(2 * 1024 * 1024);
        uint32_t x = 12345;
        for (auto& b : medium) {
            x = x * 1103515245u + 12345u;
            b = uint8_t(x >> 24);
        }
        src = std::make_unique<TMemorySource>(medium);
    }
    TOpState op; // the operation the pieces are written for
    std::vector<uint8_t> Write(int mode, int64_t size, int64_t off, int64_t len, bool* result = nullptr) {
        auto out = TOutputFile::Create(dir.File("o.bin"), TOutputGuard::Without_Sources());
        out->Set_Op(&op);
        bool ok = Write_Piece(*src, *out, mode, size, off, len);
        if (result) *result = ok;
        out->Commit_Replacing();
        return test::Read_File(dir.File("o.bin"));
    }
    std::vector<uint8_t> Slice(int64_t off, int64_t len) {
        return std::vector<uint8_t>(medium.begin() + off, medium.begin() + off + len);
    }
};

TEST_F(TPieceFixture, SynthesizedHead) {
    auto b = Write(PIECE_HEAD, 1000000, 0, 512);
    ASSERT_EQ(b.size(), 512u);
    EXPECT_EQ(0, std::memcmp(b.data(), kHeadTemplate, 40));
    const uint8_t size[8] = {0, 0, 0, 0, 0, 0x0F, 0x42, 0x40};
    EXPECT_EQ(0, std::memcmp(b.data() + 40, size, 8));
    EXPECT_TRUE(std::all_of(b.begin() + 48, b.end(), [](uint8_t c) { return c == 0; }));
    EXPECT_EQ(op.WrittenBytes.load(), 512);
    // A head longer than a block carries the template once.
    auto big = Write(PIECE_HEAD, 7, 0, 140000);
    ASSERT_EQ(big.size(), 140000u);
    EXPECT_EQ(0, std::memcmp(big.data(), kHeadTemplate, 40));
    EXPECT_TRUE(std::all_of(big.begin() + 48, big.end(), [](uint8_t c) { return c == 0; }));
}

TEST_F(TPieceFixture, CopiesAndFills) {
    const int64_t o = 3 * 512 + 100;
    EXPECT_EQ(Write(PIECE_COPY, 0, o, 65600), Slice(o, 65600));
    EXPECT_EQ(Write(PIECE_COPY, 0, 4096, 200000), Slice(4096, 200000));
    EXPECT_EQ(Write(PIECE_COPY, 0, 1000, 300), Slice(1000, 300));
    EXPECT_EQ(op.WrittenBytes.load(), 65600 + 200000 + 300);
    EXPECT_EQ(op.Progress2.load(), (65600 + 200000 + 300) / 65536);
    auto z = Write(PIECE_FILL, 0, 0, 70000);
    ASSERT_EQ(z.size(), 70000u);
    EXPECT_TRUE(std::all_of(z.begin(), z.end(), [](uint8_t c) { return c == 0; }));
    EXPECT_TRUE(Write(PIECE_FILL, 0, 0, -5).empty());
    // Past the end of the medium the copy holds zeros.
    auto tail = Write(PIECE_COPY, 0, int64_t(medium.size()) - 1000, 3000);
    ASSERT_EQ(tail.size(), 3000u);
    EXPECT_EQ(std::vector<uint8_t>(tail.begin(), tail.begin() + 1000), Slice(int64_t(medium.size()) - 1000, 1000));
    EXPECT_TRUE(std::all_of(tail.begin() + 1000, tail.end(), [](uint8_t c) { return c == 0; }));
}

TEST_F(TPieceFixture, StopFlag) {
    op.StopFlag = true;
    bool ok = false;
    EXPECT_TRUE(Write(PIECE_COPY, 0, 8192, 10 * 65536, &ok).empty());
    EXPECT_TRUE(ok);
    auto head = Write(PIECE_COPY, 0, 8192 + 100, 10 * 65536, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(head, Slice(8192 + 100, 412));
    EXPECT_TRUE(Write(PIECE_COPY, 0, 8192, 65536, &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Write(PIECE_FILL, 0, 0, 1000, &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Write(PIECE_FILL, 0, 0, 200000, &ok).empty());
    EXPECT_TRUE(ok);
}

TEST_F(TPieceFixture, FailedWritesAreReported) {
    auto out =
        TOutputFile::Create("/dev/full", TOutputGuard::Without_Sources(), nullptr, TOutputMode::Direct);
    ASSERT_TRUE(out);
    EXPECT_FALSE(Write_Piece(*src, *out, PIECE_COPY, 0, 0, 100000));
    EXPECT_FALSE(Write_Piece(*src, *out, PIECE_FILL, 0, 0, 10));
    EXPECT_FALSE(Write_Piece(*src, *out, PIECE_HEAD, 1, 0, 512));
}

// A medium whose second 64 KiB block cannot be read: as on a device, a read
// that starts there fails and one that reaches it stops short before it.
class TFailingSource : public TSource {
  public:
    explicit TFailingSource(std::vector<uint8_t> b) : mem_(std::move(b)) {}
    int64_t Read_At(void* buf, size_t len, int64_t off) override {
        if (off >= 65536 && off < 131072) return -1;
        if (off < 65536 && off + int64_t(len) > 65536) len = size_t(65536 - off);
        return mem_.Read_At(buf, len, off);
    }
    int64_t Size() override { return mem_.Size(); }
    const std::string& Path() const override { return mem_.Path(); }

  private:
    TMemorySource mem_;
};

TEST_F(TPieceFixture, UnreadableBlocksBecomeZerosNotStaleBytes) {
    TFailingSource bad(medium);
    auto out = TOutputFile::Create(dir.File("bad.bin"), TOutputGuard::Without_Sources());
    EXPECT_TRUE(Write_Piece(bad, *out, PIECE_COPY, 0, 0, 3 * 65536));
    out->Commit();
    auto b = test::Read_File(dir.File("bad.bin"));
    ASSERT_EQ(b.size(), size_t(3 * 65536));
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 65536), Slice(0, 65536));
    EXPECT_TRUE(std::all_of(b.begin() + 65536, b.begin() + 131072, [](uint8_t c) { return c == 0; }));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 131072, b.end()), Slice(131072, 65536));
}

TEST_F(TPieceFixture, BuildPieceWritesCopyFillAndTrailingPiece) {
    TRebuildResult r;
    r.HeadLenx = 1024;
    r.HeadMdatLenx = 5000;
    TFragmenArr e = Data_Entry(0, 0, 1, 0, 10000, 20000);
    e.FragmentLastErySoff = 12000;
    e.FragmentLastEoff = 13000;
    e.FragmentFreeSpace = 500;
    e.LastFragmenum = 1;
    e.LastFragmen.FragmentUpFreeSpace = 10;
    e.LastFragmen.FragmentLastSoff = 50000;
    e.LastFragmen.FragmentLastEoff = 50100;
    e.LastFragmen.FragmentDownFreeSpace = 20;
    r.FragmenArray.push_back(e);
    auto out = TOutputFile::Create(dir.File("b.bin"), TOutputGuard::Without_Sources());
    EXPECT_TRUE(Build_Piece(r, -1, *src, true, *out));
    EXPECT_TRUE(Build_Piece(r, 0, *src, false, *out));
    out->Commit();
    auto b = test::Read_File(dir.File("b.bin"));
    ASSERT_EQ(b.size(), size_t(1024 + 1000 + 500 + 10 + 100 + 20));
    EXPECT_EQ(b[47], 5000 % 256);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 1024, b.begin() + 2024), Slice(12000, 1000));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 2534, b.begin() + 2634), Slice(50000, 100));

    r.FragmenArray[0].FragmentLastErySoff = -1; // not a place on the medium
    auto out2 = TOutputFile::Create(dir.File("c.bin"), TOutputGuard::Without_Sources());
    EXPECT_FALSE(Build_Piece(r, 0, *src, false, *out2));
}

// The layout every writer follows, as text: a part per "|" (its entry, "!"
// when unusable), then its pieces: H(ead), F(ill) or C(opy) at file offset +
// length (@ source offset).
std::string Layout_Text(const TOutputLayout& l) {
    std::string t;
    for (const TOutputPart& p : l.Parts) {
        t += (t.empty() ? "" : " | ") + std::to_string(p.Entry) + (p.Usable ? ":" : "!");
        for (const TOutputPiece& x : p.Pieces) {
            t +=
                std::string(" ") + "HFC"[x.Mode] + std::to_string(x.FileOff) + "+" + std::to_string(x.Length);
            if (x.Mode == PIECE_COPY) t += "@" + std::to_string(x.SrcOff);
        }
    }
    return t + " = " + std::to_string(l.Length);
}

TEST_F(TPieceFixture, OutputLayoutPlacesEveryPartAndTheWriterFollowsIt) {
    auto data = [](int64_t from, int64_t to, int64_t fill = 0) {
        TFragmenArr e = Data_Entry(0, 0, 0, 0, from, to);
        e.FragmentFreeSpace = fill;
        return e;
    };
    auto result = [](int camera, std::vector<TFragmenArr> entries) {
        TRebuildResult r;
        r.CamerType = camera;
        r.FragmenArray = std::move(entries);
        r.Fragmenum = int32_t(r.FragmenArray.size());
        return r;
    };
    struct TCase {
        const char* What;
        TRebuildResult R;
        const char* Want;
    };
    std::vector<TCase> cases = {
        {"movie box first, a gap at the end, an overlap left out",
         result(0, {Movie_Entry(1000, 1100, 0), data(4096, 4196, 30), data(4100, 4150), data(8192, 8292)}),
         "0: C0+100@1000 | 1: C100+100@4096 F200+30 | 3: C230+100@8192 = 330"},
        {"synthesized head, media, movie box last",
         result(2, {Movie_Entry(9000, 9050, 0), data(4096, 4196), data(6000, 6010, 7)}),
         "-1: H0+64 | 1: C64+100@4096 | 2: C164+10@6000 F174+7 | 0: C181+50@9000 = 231"},
        {"no media: only the movie box", result(0, {Movie_Entry(1000, 1100, 0)}), "0: C0+100@1000 = 100"},
        {"an entry the record does not count", result(0, {Movie_Entry(1000, 1100, 0), data(4096, 4196)}),
         "0: C0+100@1000 = 100"},
        {"an unusable copy start",
         result(0, {Movie_Entry(1000, 1100, 0), data(4096, 4196), data(5000, 5010)}),
         "0: C0+100@1000 | 1! | 2: C100+10@5000 = 110"},
        {"lengths beyond any file", result(0, {Movie_Entry(0, INT64_MAX, 0), data(10, 20, INT64_MAX)}),
         "0: C0+9223372036854775807@0 | 1: C9223372036854775807+10@10 "
         "F9223372036854775807+9223372036854775807 = "
         "9223372036854775807"},
        {"a layout the export does not know writes the head only",
         result(5, {Movie_Entry(0, 10, 0), data(20, 30)}), "-1: H0+64 = 64"},
    };
    cases[0].R.FragmenArray[2].ChongHeFlag = true;
    cases[1].R.HeadFlag = 1;
    cases[1].R.HeadLenx = 64;
    cases[1].R.HeadMdatLenx = 4242;
    cases[3].R.Fragmenum = 1;
    cases[4].R.FragmenArray[1].FragmentLastErySoff = -1;
    cases[6].R.HeadFlag = 1;
    cases[6].R.HeadLenx = 64;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const TOutputLayout layout = Output_Layout(c.R);
        EXPECT_EQ(Layout_Text(layout), c.Want);
        EXPECT_EQ(Written_Length(c.R), layout.Length);
    }

    // The writer puts the bytes where the layout says, and stops at an unusable part.
    for (int i : {1, 4}) {
        SCOPED_TRACE(cases[size_t(i)].What);
        auto out = TOutputFile::Create(dir.File("l.bin"), TOutputGuard::Without_Sources());
        const TOutcome o = Write_Layout(Output_Layout(cases[size_t(i)].R), *src, *out);
        out->Commit_Replacing();
        const std::vector<uint8_t> b = test::Read_File(dir.File("l.bin"));
        if (i == 1) {
            EXPECT_TRUE(o.Is_Ok());
            ASSERT_EQ(b.size(), 231u);
            EXPECT_EQ(0, std::memcmp(b.data(), kHeadTemplate, 40));
            EXPECT_EQ(b[47], 4242 % 256);
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + 64, b.begin() + 164), Slice(4096, 100));
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + 174, b.begin() + 181), std::vector<uint8_t>(7, 0));
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + 181, b.end()), Slice(9000, 50));
        } else {
            EXPECT_EQ(o.Kind, TOutcomeKind::Corrupt);
            EXPECT_EQ(b, Slice(1000, 100)); // the movie box only: nothing past the unusable part
        }
    }
}

} // namespace
} // namespace qrv
