// Sample starts behind SEI and parameter sets, the evidence that decides which
// clusters between two pieces of a recording are its own, the cluster-level
// seam after a movie box at the front, the synthesized head's first entry,
// and the count of samples a rebuilt recording takes from the medium.
#include <gtest/gtest.h>

#include <cstring>

#include "analysis/header_analysis.h"
#include "analysis/output.h"
#include "analysis/sample_start.h"
#include "analysis/seam_growth.h"
#include "analysis/seams.h"
#include "scan/alloc_map.h"
#include "support/disk_image.h"

namespace qrv {
namespace {

constexpr int64_t kF = 32768; // cluster size of a source without a known file system

// One sample made of NAL units {header byte, NAL length}; the bytes after each
// header are 0x11 (NAL payload never holds a zero run).
std::vector<uint8_t> Sample_Of(const std::vector<std::pair<uint8_t, uint32_t>>& units) {
    std::vector<uint8_t> b;
    for (auto [hdr, len] : units) {
        const uint8_t p[4] = {uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len)};
        b.insert(b.end(), p, p + 4);
        if (len == 0) continue;
        b.push_back(hdr);
        b.insert(b.end(), len - 1, 0x11);
    }
    return b;
}

TEST(SampleStart, LeadingUnitsChainToTheSlice) {
    const std::pair<uint8_t, uint32_t> sps{0x67, 27}, pps{0x68, 4}, sei{0x06, 574};
    struct TCase {
        const char* What;
        std::vector<std::pair<uint8_t, uint32_t>> Units;
        bool Sync;
        int Extra; // expected size minus the real one
        bool Want;
    };
    std::vector<std::pair<uint8_t, uint32_t>> many(kMaxLeadingUnits + 1, {0x06, 10});
    many.push_back({0x65, 900});
    const TCase cases[] = {
        {"IDR slice alone", {{0x65, 5000}}, true, 0, true},
        {"P slice alone", {{0x41, 3000}}, false, 0, true},
        {"non-reference slice", {{0x01, 3000}}, false, 0, true},
        {"SEI ahead of the IDR slice", {sei, {0x65, 9000}}, true, 0, true},
        {"SPS, PPS, SEI ahead of the IDR slice", {sps, pps, sei, {0x65, 9000}}, true, 0, true},
        {"SEI ahead of a P slice", {{0x06, 600}, {0x41, 2000}}, false, 0, true},
        {"access unit delimiter first", {{0x09, 2}, {0x41, 2000}}, false, 0, true},
        {"sync sample whose slice is not IDR", {sei, {0x41, 9000}}, true, 0, false},
        {"lengths that do not reach the sample's end", {sps, pps, sei, {0x65, 9000}}, true, 1, false},
        {"lengths that run past the sample's end", {sps, pps, sei, {0x65, 9000}}, true, -1, false},
        {"too many leading units", many, true, 0, false},
        {"leading unit with the forbidden bit", {{0x86, 10}, {0x65, 900}}, true, 0, false},
        {"a slice type that does not lead", {{0x21, 100}, {0x65, 900}}, true, 0, false},
        {"zero-length leading unit", {{0x06, 0}, {0x65, 900}}, true, 0, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const std::vector<uint8_t> b = Sample_Of(c.Units);
        const uint32_t size = uint32_t(int64_t(b.size()) + c.Extra);
        EXPECT_EQ(Is_SampleStartLed(b.data(), b.size(), size, c.Sync), c.Want);
        // On the medium, at a place where unit headers straddle sector boundaries.
        TMemorySource mem(std::vector<uint8_t>(64 * 1024, 0));
        const int64_t at = 3 * 512 - 2;
        std::memcpy(mem.Bytes().data() + at, b.data(), b.size());
        EXPECT_EQ(Probe_SampleStart(mem, at, size, c.Sync), c.Want);
    }
    // The chain is followed only within the bytes given.
    const std::vector<uint8_t> led = Sample_Of({sps, pps, sei, {0x65, 9000}});
    EXPECT_FALSE(Is_SampleStartLed(led.data(), 620, uint32_t(led.size()), true));
    EXPECT_TRUE(Is_SampleStartLed(led.data(), 660, uint32_t(led.size()), true));
}

TEST(SeamGrowth, ZeroRunsAreNotNalPayload) {
    struct TCase {
        std::vector<uint8_t> Bytes;
        bool Want;
    };
    const TCase cases[] = {
        {{0x11, 0x00, 0x00, 0x03}, false},
        {{0x11, 0x00, 0x00, 0x02}, true},
        {{0x00, 0x00, 0x00}, true},
        {{0x00, 0x00}, false},
        {{0x00, 0x11, 0x00, 0x00, 0x01, 0x22}, true},
        {{0xFF, 0x00, 0x00, 0x05, 0x00, 0x00}, false},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(Has_ZeroRun(c.Bytes.data(), int64_t(c.Bytes.size())), c.Want);
}

// ---------------------------------------------------------------- seams over an in-memory medium

TFragmenArr Data(int32_t sc, int32_t ec, int64_t soff, int64_t eoff) {
    TFragmenArr e;
    e.FragmenType = ENTRY_DATA;
    e.FragmeSnumType = 0;
    e.FragmeSnum = sc;
    e.FragmeSLnum = 0;
    e.FragmeEnum = ec;
    e.FragmeELnum = 0;
    e.FragmenSoff = soff;
    e.FragmenEoff = eoff;
    return e;
}

TFragmenArr Movie(int64_t soff, int64_t eoff, int64_t mdatLen) {
    TFragmenArr e;
    e.FragmenType = ENTRY_MOVIE;
    e.FragmeSnumType = 255;
    e.FragmeSnum = e.FragmeEnum = e.FragmeSLnum = e.FragmeELnum = -1;
    e.FragmenSoff = soff;
    e.FragmenEoff = eoff;
    e.MdatLen = mdatLen;
    e.FragmentLastErySoff = soff;
    return e;
}

// One-sample chunks of the given sizes from file offset first on.
TVideo Video_Of(const std::vector<uint32_t>& sizes, int64_t first) {
    TVideo v;
    v.Ext_Flag = true;
    int64_t off = first;
    for (uint32_t s : sizes) {
        TVideoSTCO c;
        c.STCOoff = off;
        c.STSZNum = 1;
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

struct TSeamMedium : testing::Test {
    TTreeData node = test::Image_FileNode();
    TAllocMap map;
    TMemorySource mem{std::vector<uint8_t>(64 * size_t(kF), 0x11)};
    TScanSession session;
    // The analysis context of this medium, with the given gap scheme.
    TAnalysisContext Ctx(int interleave = 0) { return {session, mem, node, map, 0, interleave}; }
    void Zero(int64_t firstCluster, int64_t count) {
        std::memset(mem.Bytes().data() + firstCluster * kF, 0, size_t(count * kF));
    }
    void Link_All(TRebuildResult& r, const TVideo& v, uint8_t layout) {
        r.CamerType = layout;
        r.Fragmenum = int32_t(r.FragmenArray.size());
        for (int32_t g = 0; g < r.Fragmenum; ++g)
            Link_Fragment(Ctx(interleave), layout, r.Fragmenum - 1, g, r, v);
    }
    int interleave = 0; // the gap scheme the seams are resolved with
};

// Sample 32 runs from file cluster 0 to 100 bytes into file cluster 4, where
// sample 33 starts. g holds file clusters 0 and 1 at medium clusters 10 and
// 11; D holds file clusters 2, 3, 4 at 18, 19, 20.
TEST_F(TSeamMedium, EachPieceTakesTheClustersThatHoldItsBytes) {
    std::vector<uint32_t> sizes(32, 1000);
    sizes.push_back(uint32_t(4 * kF + 100 - 32048));
    sizes.insert(sizes.end(), 40, 1000);
    const TVideo v = Video_Of(sizes, 48);
    struct TCase {
        const char* What;
        bool ZeroGap;       // medium clusters 12..17 never written
        bool LostCluster11; // file cluster 1 overwritten with zeros
        int Interleave;
        int64_t CopyEnd, NextStart, Fill; // clusters, clusters, bytes
    };
    const TCase cases[] = {
        {"unwritten gap, earlier piece first", true, false, 0, 12, 18, 0},
        {"unwritten gap, later piece first", true, false, 1, 12, 18, 0},
        {"a cluster of the file lost", true, true, 0, 11, 18, kF},
        // Nothing tells payload-like gap bytes from the file's: the scheme decides.
        {"gap indistinguishable, earlier piece first", false, false, 0, 14, 20, 0},
        {"gap indistinguishable, later piece first", false, false, 1, 11, 17, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::fill(mem.Bytes().begin(), mem.Bytes().end(), uint8_t(0x11));
        if (c.ZeroGap) Zero(12, 6);
        if (c.LostCluster11) Zero(11, 1);
        interleave = c.Interleave;
        TRebuildResult r;
        r.FragmenArray = {Movie(900 * kF, 900 * kF + 700, 300000), Data(0, 32, 10 * kF + 48, 10 * kF + 32048),
                          Data(33, 60, 20 * kF + 100, 20 * kF + 27100)};
        Link_All(r, v, 2);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, c.CopyEnd * kF);
        EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, c.NextStart * kF);
        EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, c.Fill);
    }
}

// The same seam when each medium cluster holds bytes of its own: the tables
// and the content tests leave several splits, and decoding decides. A judge
// that passes only the true bytes of the straddling sample (file clusters 0
// and 1 from medium 10 and 11, 2 to 4 from 18 to 20) singles out the true
// split whichever side the scheme would grow first, and the seam is
// verified; a judge that passes every split, or none, leaves the scheme's
// guess, marked unverified.
TEST_F(TSeamMedium, SeveralSplitsAreDecidedByDecoding) {
    std::vector<uint32_t> sizes(32, 1000);
    sizes.push_back(uint32_t(4 * kF + 100 - 32048));
    sizes.insert(sizes.end(), 40, 1000);
    const TVideo v = Video_Of(sizes, 48);
    const TVideoSTSZ& straddling = v.STCOArr[32].STSZArr[0];
    for (int64_t c = 0; c < 64; ++c)
        std::memset(mem.Bytes().data() + c * kF, 0x20 + int(c), size_t(kF));
    auto truth = [&](int64_t fileOff) {
        const int64_t cluster = fileOff / kF;
        return uint8_t(0x20 + (cluster < 2 ? 10 + cluster : 16 + cluster));
    };
    const TSampleJudge onlyTruth = [&](std::span<const uint8_t> sample) {
        if (int64_t(sample.size()) != int64_t(straddling.STSZlen)) return false;
        for (size_t i = 0; i < sample.size(); ++i)
            if (sample[i] != truth(straddling.STSZoff + int64_t(i))) return false;
        return true;
    };
    const TSampleJudge everything = [](std::span<const uint8_t>) { return true; };
    const TSampleJudge nothing = [](std::span<const uint8_t>) { return false; };
    struct TCase {
        const char* What;
        const TSampleJudge* Judge;
        int Interleave;
        int64_t CopyEnd, NextStart; // clusters
        uint8_t State;
    };
    const TCase cases[] = {
        {"true split decodes, earlier piece first", &onlyTruth, 0, 12, 18, SEAM_VERIFIED},
        {"true split decodes, later piece first", &onlyTruth, 1, 12, 18, SEAM_VERIFIED},
        {"every split decodes", &everything, 0, 14, 20, SEAM_UNVERIFIED},
        {"no split decodes", &nothing, 1, 11, 17, SEAM_UNVERIFIED},
        {"no judge", nullptr, 0, 14, 20, SEAM_UNVERIFIED},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TRebuildResult r;
        r.FragmenArray = {Movie(900 * kF, 900 * kF + 700, 300000), Data(0, 32, 10 * kF + 48, 10 * kF + 32048),
                          Data(33, 60, 20 * kF + 100, 20 * kF + 27100)};
        r.CamerType = 2;
        r.Fragmenum = 3;
        for (int32_t g = 0; g < 3; ++g)
            Link_Fragment(Ctx(c.Interleave), 2, 2, g, r, v, c.Judge);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, c.CopyEnd * kF);
        EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, c.NextStart * kF);
        EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, 0);
        EXPECT_EQ(r.FragmenArray[1].SeamState, c.State);
        // The undecided gap begins after the cluster of g's last sample start: file cluster 1.
        EXPECT_EQ(r.FragmenArray[1].SeamFileOff, kF);
        // Level 0 is only for seams that are not guesses.
        EXPECT_EQ(Has_UnverifiedSeam(r), c.State == SEAM_UNVERIFIED);
    }
}

// Samples missing between two pieces: a cluster where the tables put the
// start of a missing sample, and that does not hold it, belongs to neither.
TEST_F(TSeamMedium, ASampleStartThatIsNotThereEndsTheGrowth) {
    std::vector<uint32_t> sizes(32, 1000);
    sizes.push_back(uint32_t(2 * kF + 500 - 32048)); // sample 32: to 500 bytes into file cluster 2
    sizes.push_back(uint32_t(2 * kF - 400));         // sample 33: to 100 bytes into file cluster 4
    sizes.insert(sizes.end(), 40, 1000);
    const TVideo v = Video_Of(sizes, 48);
    // File cluster 2 (with the start of sample 33) is gone; the medium holds
    // payload-like bytes everywhere else.
    TRebuildResult r;
    r.FragmenArray = {Movie(900 * kF, 900 * kF + 700, 300000), Data(0, 32, 10 * kF + 48, 10 * kF + 32048),
                      Data(34, 60, 20 * kF + 100, 20 * kF + 27100)};
    Link_All(r, v, 2);
    EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, 12 * kF);
    EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, 19 * kF);
    EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, kF);
}

// A head on a cluster boundary whose movie box ends in its first cluster:
// the seam to the first data piece falls on cluster boundaries too.
TEST_F(TSeamMedium, FrontMovieBoxMeetsTheFirstPieceAtClusterLevel) {
    struct TCase {
        const char* What;
        uint32_t Sample0;       // size of the frame that opens the media data at file offset 1008
        int64_t PieceCluster;   // medium cluster of the file cluster holding sample 1
        int64_t CopyEnd, Start; // clusters
        int64_t Fill;
    };
    const TCase cases[] = {
        // Sample 1 in file cluster 1: the clusters adjoin in the file.
        {"adjoining clusters", 60000, 50, 41, 50, 0},
        // Sample 1 in file cluster 3; the head holds file clusters 0, 1 and the
        // piece file clusters 2, 3; the clusters between are unwritten.
        {"two clusters of frame 0 on either side", 100000, 51, 42, 50, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::fill(mem.Bytes().begin(), mem.Bytes().end(), uint8_t(0x11));
        Zero(42, 8);
        std::vector<uint32_t> sizes = {c.Sample0};
        sizes.insert(sizes.end(), 40, 1000);
        const TVideo v = Video_Of(sizes, 1008);
        const int64_t t1 = 1008 + c.Sample0;
        const int64_t d = c.PieceCluster * kF + t1 % kF;
        TRebuildResult r;
        r.FragmenArray = {Movie(40 * kF, 40 * kF + 1000, 1008 + c.Sample0 + 40000),
                          Data(1, 40, d, d + 39000)};
        Link_All(r, v, 0);
        EXPECT_EQ(r.FragmenArray[0].FragmentLastEoff, c.CopyEnd * kF);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastSoff, c.Start * kF);
        EXPECT_EQ(r.FragmenArray[0].FragmentFreeSpace, c.Fill);
    }
}

// The edges a seam's arithmetic is most easily off by one at, each with the
// file bytes that decide it: a movie box that fills its head cluster to the
// end, a gap of exactly one cluster between two pieces, and a sample that
// starts exactly where a grown cluster ends (it belongs to the next one, and
// must not be looked for in the medium cluster after the grown one).
TEST_F(TSeamMedium, SeamsOnClusterEdges) {
    struct TCase {
        const char* What;
        bool FrontMovie;           // a movie box at the front (head at medium cluster 40), else two data pieces
        int64_t Next;              // file offset of the second side's first sample
        int64_t NextCluster;       // medium cluster holding it
        int64_t ZeroFrom, ZeroTo;  // medium clusters [from, to) that do not hold the file's bytes
        int64_t CopyEnd, Start;    // clusters
        int64_t Fill;
        uint32_t Sample33 = 1000;  // size of the sample after the straddling one
        int32_t NextSample = 33;   // the second piece's first sample
    };
    const TCase cases[] = {
        // The head cluster holds the movie box to its last byte; file cluster 1
        // (with the first frame's start) is lost: one cluster of zeros, not
        // the cluster after the head.
        {"movie box up to its cluster's end", true, 2 * kF + 100, 50, 41, 50, 41, 50, kF},
        // One cluster between the pieces in the file; the earlier piece's next cluster holds it.
        {"one-cluster gap taken by the earlier piece", false, 2 * kF + 100, 14, 12, 14, 12, 14, 0},
        // The same gap, held by the cluster before the later piece.
        {"one-cluster gap taken by the later piece", false, 2 * kF + 100, 14, 11, 13, 11, 13, 0},
        // Sample 33 starts at the end of file cluster 1: growing g over medium
        // cluster 11 must not look for it in medium cluster 12 (zeros).
        {"sample on a grown cluster's end", false, 2 * kF, 18, 12, 18, 12, 18, 0},
        // Sample 33 starts at the start of file cluster 2, which is lost, and
        // medium cluster 12 does not hold it: g grows over cluster 11 only.
        {"sample at a gap cluster's start", false, 3 * kF + 100, 20, 19, 20, 12, 20, kF, kF + 100, 34},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::fill(mem.Bytes().begin(), mem.Bytes().end(), uint8_t(0x11));
        Zero(c.ZeroFrom, c.ZeroTo - c.ZeroFrom);
        const int64_t next = c.NextCluster * kF + c.Next % kF;
        TRebuildResult r;
        if (c.FrontMovie) {
            // ftyp and the movie box fill file cluster 0; the media data's first sample follows.
            const TVideo v = Video_Of({uint32_t(c.Next - kF - 8), 1000, 1000, 1000}, kF + 8);
            r.FragmenArray = {Movie(40 * kF, 41 * kF, 200000), Data(1, 3, next, next + 2000)};
            Link_All(r, v, 0);
        } else {
            std::vector<uint32_t> sizes(32, 1000);
            sizes.push_back(uint32_t(c.Next - 32048 - (c.NextSample - 33) * int64_t(c.Sample33)));
            if (c.NextSample > 33) sizes.push_back(c.Sample33);
            sizes.insert(sizes.end(), 40, 1000);
            const TVideo v = Video_Of(sizes, 48);
            r.FragmenArray = {Movie(900 * kF, 900 * kF + 700, 300000), Data(0, 32, 10 * kF + 48, 10 * kF + 32048),
                              Data(c.NextSample, 60, next, next + 27000)};
            Link_All(r, v, 2);
        }
        const TFragmenArr& g = r.FragmenArray[c.FrontMovie ? 0 : 1];
        EXPECT_EQ(g.FragmentLastEoff, c.CopyEnd * kF);
        EXPECT_EQ(r.FragmenArray[c.FrontMovie ? 1 : 2].FragmentLastSoff, c.Start * kF);
        EXPECT_EQ(g.FragmentFreeSpace, c.Fill);
    }
}

TEST_F(TSeamMedium, SynthesizedHeadEndsWhereTheFirstPiecesClusterLands) {
    // Sample 40 (40,000 bytes) starts in file cluster 1 and ends in cluster 2,
    // where sample 41 starts at file offset 80,048; file cluster 2 lies at
    // medium cluster 20.
    std::vector<uint32_t> sizes(40, 1000);
    sizes.push_back(40000);
    sizes.insert(sizes.end(), 20, 1000);
    struct TCase {
        const char* What;
        int32_t First;     // first sample of the entry
        int64_t Soff;      // where it lies on the medium
        bool ForeignBytes; // the cluster's bytes before it are zeros, not payload
        int64_t HeadLen;   // HeadLenx afterwards
        int64_t CopyStart;
    };
    const int64_t s41 = 20 * kF + 80048 % kF;
    const TCase cases[] = {
        {"bytes before the sample fit the file", 41, s41, false, 65536, 20 * kF},
        {"bytes before the sample do not fit", 41, s41, true, 80048 - (s41 - s41 / 512 * 512),
         s41 / 512 * 512},
        // The cluster's start would land inside the 48 bytes of the head.
        {"no room for the head", 0, 20 * kF + 48, false, 512, 20 * kF + 512},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::fill(mem.Bytes().begin(), mem.Bytes().end(), uint8_t(0x11));
        if (c.ForeignBytes) Zero(20, 1);
        const TVideo v = Video_Of(sizes, 48);
        TRebuildResult r;
        r.FragmenArray = {Movie(900 * kF, 900 * kF + 700, 200000), Data(c.First, 60, c.Soff, c.Soff + 10000)};
        Set_SynthesizedHead(r, 1, v);
        Extend_FirstEntry(Ctx(), r, 1, v);
        EXPECT_EQ(r.HeadLenx, c.HeadLen);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastSoff, c.CopyStart);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastErySoff, std::optional<int64_t>(c.CopyStart));
    }
}

TFragmenArr File_Head(int64_t soff, int64_t mdatEnd) {
    TFragmenArr e;
    e.FragmenType = ENTRY_FILE_HEAD;
    e.FragmeSnum = e.FragmeEnum = e.FragmeSLnum = e.FragmeELnum = -1;
    e.FragmenSoff = soff;
    e.FragmenEoff = soff + 512;
    e.MdatLen = mdatEnd;
    return e;
}

// A file head found on its own (ftyp at medium cluster 5, media data from file
// offset 48 on) and the first data piece: they meet where the piece's first
// sample lands, at sector level when it lies in the head's cluster, at
// cluster level when whole clusters lie between.
TEST_F(TSeamMedium, SeparateFileHeadMeetsTheFirstPiece) {
    const TVideo v = Video_Of(std::vector<uint32_t>(80, 1000), 48);
    struct TCase {
        const char* What;
        int32_t First;         // first sample of the piece
        int64_t Soff;          // where that sample lies on the medium
        int64_t CopyEnd;       // end of what the head copies
        int64_t NextStart;     // where the piece's copy starts
        int64_t Fill;          // file bytes zero-filled between them
    };
    const TCase cases[] = {
        {"the piece follows the head on the medium", 0, 5 * kF + 48, 5 * kF + 512, 5 * kF + 512, 0},
        {"sample 1 two sectors into the file", 1, 10 * kF + 1048 % 512, 5 * kF + 512, 10 * kF, 512},
        {"sample 33 opens the piece's cluster, file cluster 1", 33, 20 * kF + 33048 % kF, 6 * kF, 20 * kF, 0},
        {"file cluster 1 lost, sample 66 in file cluster 2", 66, 20 * kF + 66048 % kF, 6 * kF, 20 * kF, kF},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::fill(mem.Bytes().begin(), mem.Bytes().end(), uint8_t(0x11));
        Zero(6, 1); // what lies between the pieces is not the recording's
        Zero(19, 1);
        TRebuildResult r;
        r.FragmenArray = {Movie(900 * kF, 900 * kF + 700, 80048), File_Head(5 * kF, 80048),
                          Data(c.First, 79, c.Soff, c.Soff + (79 - c.First) * 1000)};
        Link_All(r, v, 2);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastSoff, 5 * kF);
        EXPECT_EQ(r.FragmenArray[1].FragmentLastEoff, c.CopyEnd);
        EXPECT_EQ(r.FragmenArray[2].FragmentLastSoff, c.NextStart);
        EXPECT_EQ(r.FragmenArray[1].FragmentFreeSpace, c.Fill);
    }
}

// The last piece and a movie box at the end of the file, with the media
// data's end taken from a separately found head: they meet where the file
// says the movie box begins, at sector or at cluster level; a whole cluster
// missing after the last chunk is copied from the medium as it stands.
TEST_F(TSeamMedium, LastPieceMeetsTheMovieBoxAtTheEnd) {
    // The piece holds samples 0 .. 59 from medium cluster 10 (file offset 48
    // at 48 into it); its last sample starts at file offset 59,048.
    struct TCase {
        const char* What;
        uint32_t LastSize;     // size of sample 59
        bool MoreChunks;       // the tables go on after sample 59
        int64_t MovieSoff;     // where the movie box lies on the medium
        int64_t CopyEnd;       // end of what the piece copies
        int64_t MovieStart;    // where the movie box's copy starts
        int64_t Fill;
    };
    const TCase cases[] = {
        {"the movie box follows on the medium", 1000, false, 10 * kF + 60048, 10 * kF + 60048 / 512 * 512,
         10 * kF + 60048 / 512 * 512, 0},
        {"the movie box's cluster is the next of the file", 7488, false, 50 * kF + 1000, 12 * kF, 50 * kF, 0},
        {"one cluster after the last chunk", 40256, false, 50 * kF + 1000, 13 * kF, 50 * kF, 0},
        {"one cluster missing before the tables end", 40256, true, 50 * kF + 1000, 12 * kF, 50 * kF, kF},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::fill(mem.Bytes().begin(), mem.Bytes().end(), uint8_t(0x11));
        Zero(12, 1); // neither side's clusters lie between them
        Zero(49, 1);
        std::vector<uint32_t> sizes(59, 1000);
        sizes.push_back(c.LastSize);
        if (c.MoreChunks) sizes.push_back(1000);
        const TVideo v = Video_Of(sizes, 48);
        const int64_t mdatEnd = 59048 + c.LastSize;
        TRebuildResult r;
        r.FragmenArray = {Movie(c.MovieSoff, c.MovieSoff + 700, 0), File_Head(5 * kF, mdatEnd),
                          Data(0, 59, 10 * kF + 48, 10 * kF + 59048)};
        Link_Fragment(Ctx(), 2, 2, 2, r, v); // the end seam only
        EXPECT_EQ(r.FragmenArray[2].FragmentLastEoff, c.CopyEnd);
        EXPECT_EQ(r.FragmenArray[0].FragmentLastSoff, c.MovieStart);
        EXPECT_EQ(r.FragmenArray[2].FragmentFreeSpace, c.Fill);
    }
}

TEST(PlacedSamples, SamplesWhollyInsideCopiedBytes) {
    const TVideo v = Video_Of(std::vector<uint32_t>(10, 1000), 1024); // file 1024 .. 11024
    auto entry = [](uint8_t type, int64_t from, int64_t to, int64_t fill, bool dup = false) {
        TFragmenArr e;
        e.FragmenType = type;
        e.FragmenSoff = from;
        e.FragmentLastSoff = from;
        e.FragmentLastErySoff = from;
        e.FragmentLastEoff = to;
        e.FragmentFreeSpace = fill;
        e.ChongHeFlag = dup;
        return e;
    };
    const int64_t S = 1000 * 512, D = 2000 * 512, D2 = 3000 * 512;
    struct TCase {
        const char* What;
        TRebuildResult R;
        int64_t Want;
    };
    TRebuildResult front;
    front.CamerType = 0;
    front.FragmenArray = {entry(ENTRY_MOVIE, S, S + 1024, 0), entry(ENTRY_DATA, D, D + 4000, 2000),
                          entry(ENTRY_DATA, D2, D2 + 4000, 0)};
    TRebuildResult cut = front;
    cut.FragmenArray[1].FragmentLastEoff = D + 3500; // sample 3 half copied, half zero-filled
    cut.FragmenArray[1].FragmentFreeSpace = 2500;
    TRebuildResult dup = front;
    dup.FragmenArray.push_back(entry(ENTRY_DATA, D, D + 9000, 0, true));
    TRebuildResult head;
    head.CamerType = 2;
    head.HeadFlag = 1;
    head.HeadLenx = 3024;
    head.FragmenArray = {entry(ENTRY_MOVIE, S, S + 700, 0), entry(ENTRY_DATA, D, D + 8000, 0)};
    const TCase cases[] = {
        {"two samples zero-filled", front, 8},
        {"a sample cut by the fill", cut, 7},
        {"overlapping entries are not written", dup, 8},
        {"a synthesized head covers the first two", head, 8},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TRebuildResult r = c.R;
        r.Fragmenum = int32_t(r.FragmenArray.size()); // the file holds the record's entries only
        EXPECT_EQ(Count_PlacedSamples(r, v), c.Want);
    }
}

// Without a known file system the pieces of a recording tell the cluster
// size: the largest power of two on which every piece's medium offset minus
// its file offset agrees (an upper bound), never below the smallest asked for.
TEST(SeamGeometry, ClusterSizeIsInferredFromThePieces) {
    const TVideo v = Video_Of(std::vector<uint32_t>(8, 5000), 48); // samples at 48, 5048, 10048, ...
    const int64_t T2 = 10048, T5 = 25048;
    struct TCase {
        const char* What;
        std::vector<TFragmenArr> Entries;
        int64_t Size, Base;
    };
    const TClusterGeometry fallback{32768, 7 * 512};
    const std::vector<TCase> cases = {
        {"one piece: the fallback", {Data(0, 1, 1 << 20, 1 << 20)}, 32768, 7 * 512},
        {"pieces 4 KiB apart", {Data(0, 1, (1 << 20) + 48, 0), Data(2, 3, (1 << 20) + 4096 + T2, 0)}, 4096, 0},
        {"pieces 8 KiB apart", {Data(0, 1, (1 << 20) + 48, 0), Data(5, 6, (1 << 20) + 8192 + T5, 0)}, 8192, 0},
        {"a file head and a piece 16 KiB apart",
         {[] {
              TFragmenArr h;
              h.FragmenType = ENTRY_FILE_HEAD;
              h.FragmenSoff = (3 << 20) + 1024;
              return h;
          }(),
          Data(2, 3, (3 << 20) + 1024 + 16384 + T2, 0)},
         16384, 1024},
        {"pieces that agree on 2 KiB only: the smallest asked for is not met",
         {Data(0, 1, (1 << 20) + 48, 0), Data(2, 3, (1 << 20) + 2048 + T2, 0)}, 32768, 7 * 512},
        {"an overlapped piece is left out", {Data(0, 1, (1 << 20) + 48, 0), [&] {
                                                  TFragmenArr e = Data(2, 3, (1 << 20) + 512 + T2, 0);
                                                  e.ChongHeFlag = true;
                                                  return e;
                                              }(),
                                              Data(5, 6, (1 << 20) + 32768 + T5, 0)},
         32768, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TRebuildResult r;
        r.CamerType = 2;
        r.FragmenArray = c.Entries;
        r.Fragmenum = int32_t(c.Entries.size());
        const TClusterGeometry g = Infer_ClusterGeometry(r, v, fallback, 4096);
        EXPECT_EQ(g.Size, c.Size);
        EXPECT_EQ(g.Base, c.Base);
    }
}

} // namespace
} // namespace qrv
