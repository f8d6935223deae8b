// The frame-feature index the scan collects, against the window search it
// replaces: on generated media (camera recordings on raw media and on a file
// system) the anchors taken from the index equal the window search's for
// every header under all eight window schemes, and the rebuilt results and the
// bytes written for them are the same with and without the index, also when
// the index outgrows a tiny budget and spills to its temporary file, or may
// not spill at all.
#include <gtest/gtest.h>

#include <filesystem>

#include "analysis/header_analysis.h"
#include "analysis/output.h"
#include "scan/track_tables.h"
#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "scan/alloc_map.h"
#include "scan/feature_index.h"
#include "pipeline/scan_completion.h"
#include "scan/scan_job.h"
#include "support/quality_scenarios.h"
#include "support/test_env.h"

namespace qrv::test {
namespace {

struct TRun {
    std::shared_ptr<TScanSession> Session;      // the scan's records and results
    std::vector<std::string> Results;           // every rebuild result, field by field
    std::vector<std::vector<uint8_t>> Written;  // the bytes written for each
    std::shared_ptr<const TFeatureIndex> Index; // the scan's index (kept alive)
    std::vector<std::string> Log;               // log descriptions
    bool SpillSeen = false;                     // the temporary file existed during the analysis
};

std::string Describe(const TRebuildResult& r) {
    std::string s = "level " + std::to_string(r.Leavelx) + " head " + std::to_string(r.HeadFlag) + "/" +
                    std::to_string(r.HeadLenx) + " len " + std::to_string(r.TrueFileLen);
    for (const TFragmenArr& e : r.FragmenArray)
        s += " [" + std::to_string(e.FragmenType) + " " + std::to_string(e.FragmenSoff) + "-" +
             std::to_string(e.FragmenEoff) + " copy " + std::to_string(e.FragmentLastSoff) + "-" +
             std::to_string(e.FragmentLastEoff) + " s" + std::to_string(e.FragmeSnum) + "." +
             std::to_string(e.FragmeSLnum) + " e" + std::to_string(e.FragmeEnum) + "." +
             std::to_string(e.FragmeELnum) + " free " + std::to_string(e.FragmentFreeSpace) + " ov " +
             std::to_string(e.ChongHeFlag) + "]";
    return s;
}

TRun Scan(const TQualityScenario& s, int scheme, bool index, int64_t budget = kDefaultFeatureBudget,
          const std::string& spill = "") {
    TRun run;
    run.Session = std::make_shared<TScanSession>();
    TScanSession& session = *run.Session;
    auto sink = std::make_shared<TRecordingSink>();
    auto old = Set_UISink(sink);
    TScanParams p;
    p.Node = s.Node;
    p.StartSec = s.StartSec;
    p.EndSec = s.EndSec;
    p.IntervalScheme = scheme;
    p.FeatureIndex = index;
    p.FeatureBudget = budget;
    p.FeatureSpillFolder = spill;
    // The completion stage keeps the index the session holds while it runs.
    To_Scan(session, p,
            [&](TSource& h, const TTreeData& node, const TAllocMap& map, const TScanParams& params) {
                run.Index = session.Feature_Index(h);
                Scan_Completion(session, h, node, map, params);
            });
    Set_UISink(old);
    if (run.Index && !run.Index->Spill_Path().empty())
        run.SpillSeen = std::filesystem::exists(run.Index->Spill_Path());
    for (const TUiMessage& m : sink->Messages())
        if (m.MsgType == MSG_LOG) run.Log.push_back(m.P[0] + ": " + m.P[2]);
    auto src = Open_Source(s.Img.Path);
    EXPECT_TRUE(src);
    TTempDir out("qrv-index-out");
    for (int64_t i = 0; i < session.Rebuilds.Count(); ++i) {
        const TRebuildResult& r = session.Rebuilds.Get(i);
        run.Results.push_back(Describe(r));
        const std::string file = out.File(std::to_string(i) + ".mp4");
        auto f = TOutputFile::Create(file, TOutputGuard({s.Img.Path}));
        EXPECT_TRUE(f && Write_Recording(r, *src, *f) && f->Commit_Replacing());
        run.Written.push_back(Read_File(file));
    }
    return run;
}

// The movie headers of the last scan, with the keys of their video samples.
struct THeader {
    int64_t Index;
    int HeadMode;
    TSampleKeys Keys;
};

std::vector<THeader> Headers(TScanSession& session, TSource& h, int64_t scanEnd) {
    std::vector<THeader> out;
    for (int64_t i = 0; i < session.Scans.Count(); ++i) {
        const TScanResult& s = session.Scans.Get(i);
        if (s.Fragmentype != KIND_HEAD_MOOV && s.Fragmentype != KIND_MOOV) continue;
        THeader hd{i, s.CamerType == 0 ? 1 : 0, {}};
        TVideo v;
        Get_MOOV_VideoAndSound(h, session, i, v, 0, scanEnd, hd.Keys);
        if (v.Ext_Flag) out.push_back(std::move(hd));
    }
    return out;
}

std::string Anchor_Text(const std::vector<TFrameAnchor>& a) {
    std::string s;
    for (const TFrameAnchor& x : a)
        s += std::to_string(x.AnchorOff) + ":" + std::to_string(x.AnchorSize) + ":" +
             std::to_string(x.SliceByte) + " ";
    return s;
}

using TRow = std::pair<TFaultClass, TMedium>;

class FeatureIndexMedia : public testing::TestWithParam<TRow> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Have_Program("ffmpeg"));
        std::string skip;
        ASSERT_TRUE(Build_QualityScenario(GetParam().first, GetParam().second, dir.Path(), s, &skip)) << skip;
    }
    TTempDir dir{"qrv-index"};
    TQualityScenario s;
};

// For every header and scheme, the anchors of its window (and of windows that
// start off the sector grid, or below the scanned range where the index has
// nothing, or in the middle of the medium) come out of the index exactly as
// out of the window search: from an index held in memory and from one spilled
// page by page to its temporary file, where a window starting mid-medium must
// find the page holding its first entry.
TEST_P(FeatureIndexMedia, AnchorsEqualTheWindowSearchForEverySchemeAndHeader) {
    TOpState op;
    TTempDir spill("qrv-index-spill");
    for (const bool spilled : {false, true}) {
        SCOPED_TRACE(spilled ? "spilled index" : "index in memory");
        const TRun run = spilled ? Scan(s, 0, true, 1, spill.Path()) : Scan(s, 0, true);
        ASSERT_TRUE(run.Index);
        EXPECT_GT(run.Index->Count(), 0);
        EXPECT_EQ(run.Index->Spilled_Entries() > 0, spilled);
        auto h = Open_Source(s.Img.Path);
        ASSERT_TRUE(h);
        const int64_t scanEnd = s.EndSec * s.Node.PerSecBytes;
        const std::vector<THeader> headers = Headers(*run.Session, *h, scanEnd);
        ASSERT_GE(headers.size(), 2u);
        int64_t compared = 0, withAnchors = 0;
        for (const THeader& hd : headers) {
            const TScanResult& H = run.Session->Scans.Get(hd.Index);
            const int64_t HS = H.FragmentOff, HE = H.FragmentOff + H.MoovLen + H.MoovFreeLen;
            const int64_t M = H.True_MdatLen;
            std::vector<std::pair<int64_t, int64_t>> windows;
            for (int scheme = 0; scheme < 8; ++scheme) {
                int64_t start = 0, end = 0;
                Get_SearchRange(scheme, hd.HeadMode, scanEnd, M, -1, HE, HS, start, end);
                if (start > end) std::swap(start, end);
                for (int64_t shift : {int64_t(0), int64_t(7)})
                    windows.emplace_back(start + shift, end);
            }
            for (int k = 1; k < 8; ++k)
                windows.emplace_back(scanEnd * k / 8 + 4093 * k, scanEnd);
            for (const auto& [from, to] : windows) {
                SCOPED_TRACE(s.Name + " header " + std::to_string(hd.Index) + " window " +
                             std::to_string(from) + "-" + std::to_string(to));
                std::vector<TFrameAnchor> want, got;
                Find_FrameAnchors_Window(op, *h, from, to, 0, hd.Keys, want);
                Find_FrameAnchors_Indexed(op, *h, *run.Index, from, to, 0, hd.Keys, got);
                ASSERT_EQ(Anchor_Text(got), Anchor_Text(want));
                ++compared;
                withAnchors += !want.empty();
            }
        }
        EXPECT_GT(withAnchors, compared / 4); // the windows do hold the recordings' frames
    }
}

// Results and written bytes do not depend on the index, under the default
// scheme and the widest one.
TEST_P(FeatureIndexMedia, ResultsAndWrittenBytesEqualWithoutTheIndex) {
    for (int scheme : {0, 7}) {
        SCOPED_TRACE(s.Name + " scheme " + std::to_string(scheme));
        const TRun with = Scan(s, scheme, true);
        const TRun without = Scan(s, scheme, false);
        ASSERT_TRUE(with.Index);
        EXPECT_FALSE(without.Index);
        ASSERT_FALSE(without.Results.empty());
        EXPECT_EQ(with.Results, without.Results);
        EXPECT_TRUE(with.Written == without.Written);
    }
}

INSTANTIATE_TEST_SUITE_P(Media, FeatureIndexMedia,
                         testing::Values(TRow{TFaultClass::D, TMedium::Raw},
                                         TRow{TFaultClass::B, TMedium::Ntfs},
                                         TRow{TFaultClass::Mixed, TMedium::MbrDisk}),
                         [](const testing::TestParamInfo<TRow>& i) {
                             std::string n =
                                 std::string(Class_Name(i.param.first)) + "_" + Medium_Name(i.param.second);
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

// Beyond its budget the index spills to a temporary file in the folder it is
// given and removes it afterwards; where the output guard refuses that folder
// (here: the source image itself) nothing is created, the scan says so in the
// log, and the analysis reads what the index does not cover. The results are
// the same in every case.
TEST(FeatureIndexBudget, SpillsOrFallsBackWithTheSameResults) {
    ASSERT_TRUE(Have_Program("ffmpeg"));
    TTempDir dir("qrv-index");
    TQualityScenario s;
    std::string skip;
    ASSERT_TRUE(Build_QualityScenario(TFaultClass::D, TMedium::Raw, dir.Path(), s, &skip)) << skip;
    TTempDir spill("qrv-index-spill");
    const TRun plain = Scan(s, 7, false);

    struct TCase {
        const char* Name;
        std::string Folder;
        bool Spills, Refused;
    } cases[] = {{"spilled", spill.Path(), true, false}, {"refused", s.Img.Path, false, true}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRun run = Scan(s, 7, true, 1, c.Folder);
        ASSERT_TRUE(run.Index);
        EXPECT_EQ(run.Index->Spilled_Entries() > 0, c.Spills);
        EXPECT_LE(run.Index->Memory_Entries(), kFeaturePageEntries);
        EXPECT_EQ(run.SpillSeen, c.Spills);
        EXPECT_EQ(!run.Index->Spill_Refusal().empty(), c.Refused);
        bool logged = false;
        for (const std::string& l : run.Log)
            logged |= l.find("特征索引") == 0;
        EXPECT_EQ(logged, c.Refused);
        EXPECT_EQ(run.Results, plain.Results);
        EXPECT_TRUE(run.Written == plain.Written);
        const std::string path = run.Index->Spill_Path();
        const auto size = std::filesystem::file_size(s.Img.Path);
        run.Index.reset(); // the last owner: the temporary file goes with it
        if (!path.empty()) {
            EXPECT_FALSE(std::filesystem::exists(path));
        }
        EXPECT_EQ(std::filesystem::file_size(s.Img.Path), size);
    }
    EXPECT_TRUE(std::filesystem::is_empty(spill.Path()));
}

// Features packed close together (zero-length prefixes, matching keys that
// hide the next few positions, features on both sides of search-block and
// scan-block boundaries): the index walk hides exactly what the window search
// hides, for windows starting at every offset of a sector.
TEST(FeatureIndexRules, HidingFollowsTheWindowSearch) {
    TOpState op;
    const int64_t size = 3 * 524288;
    std::vector<uint8_t> bytes(size_t(size) + 1024, 0x11);
    TSampleKeys keys;
    auto put = [&](int64_t at, uint32_t len, bool sync) {
        Put_BE32(&bytes[size_t(at)], len);
        bytes[size_t(at) + 4] = sync ? 0x65 : 0x41;
        bytes[size_t(at) + 5] = sync ? 0x88 : 0x9A;
    };
    int64_t index = 0;
    for (int64_t base : {int64_t(1000), int64_t(65536 - 8), int64_t(524288 - 6), int64_t(2 * 65536 + 300),
                         int64_t(16 * 65536 - 8), int64_t(20 * 65536 + 77)}) {
        put(base, 0, true);            // zero length: hides up to 5 bytes on
        put(base + 3, 0x1000, false);  // hidden
        put(base + 5, 0x2000, true);   // seen, a key: hides up to 11 bytes on
        put(base + 12, 0x2000, false); // hidden
        put(base + 16, 0x3000, true);  // seen, no key
        put(base + 18, 0x2000, true);  // seen
        for (int64_t at : {base + 5, base + 18})
            keys.Add(Get_BE32(&bytes[size_t(at)]) + 4, uint32_t(at % 512), index++);
    }
    TMemorySource h(std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
    TFeatureIndex idx{TFeatureIndexOptions{}};
    for (int64_t P = 0; P < size; P += 524288)
        idx.Add_Block(bytes.data() + P, P, 524288, true);
    EXPECT_TRUE(idx.Covers(0, size));
    EXPECT_FALSE(idx.Covers(0, size + 1));
    for (int64_t start = 0; start < 512; start += 3) {
        SCOPED_TRACE(start);
        std::vector<TFrameAnchor> want, got;
        Find_FrameAnchors_Window(op, h, start, size - 4096, 0, keys, want);
        Find_FrameAnchors_Indexed(op, h, idx, start, size - 4096, 0, keys, got);
        ASSERT_EQ(Anchor_Text(got), Anchor_Text(want));
        // Walked in two halves side by side, split on a search block boundary.
        got.clear();
        Find_FrameAnchors_Split(op, h, idx, start, size - 4096, 0, keys, got, 65536);
        ASSERT_EQ(Anchor_Text(got), Anchor_Text(want));
    }
}

// A fragment walk whose probes are answered from the index stops exactly
// where the walk that reads every probe stops: at a slice of the other kind
// or length, and not at a sample the index knows nothing of (a leading unit
// before the slice, a 01 header, a position the scan did not cover).
TEST(FeatureIndexRules, ProbesAnsweredFromTheIndexEqualReadProbes) {
    constexpr int kSamples = 40;
    constexpr int64_t kSize = 2 * 524288;
    struct TCase {
        const char* Name;
        int Odd;       // the sample written differently, -1: none
        int Kind;      // 0 other slice type, 1 other length, 2 leading unit, 3 01 header
        bool Covered;  // the index covers the whole medium
        int64_t First, Last; // the fragment's first and last sample
    } cases[] = {
        {"all fit", -1, 0, true, 0, kSamples - 1},
        {"sync slice where none is due", 13, 0, true, 14, kSamples - 1},
        {"other slice where a sync one is due", 30, 0, true, 0, 29},
        {"length off by one", 25, 1, true, 0, 24},
        {"leading unit before the slice", 13, 2, true, 0, kSamples - 1},
        {"01 header", 13, 3, true, 0, kSamples - 1},
        {"index covers half", 30, 0, false, 0, 29},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<uint8_t> bytes(size_t(kSize) + 1024, 0x11);
        TVideo v;
        v.STCOArr.resize(1);
        int64_t at = 4096 + 7;
        for (int k = 0; k < kSamples; ++k) {
            TVideoSTSZ smp;
            smp.STSZoff = at;
            smp.STSZlen = uint32_t(9000 + 37 * k);
            smp.STSSFlag = k % 10 == 0;
            bool sync = smp.STSSFlag;
            uint32_t len = smp.STSZlen - 4;
            int64_t slice = at;
            if (k == c.Odd && c.Kind == 0) sync = !sync;
            if (k == c.Odd && c.Kind == 1) len += 1;
            if (k == c.Odd && c.Kind == 2) { // a 6-byte SEI unit first
                Put_BE32(&bytes[size_t(at)], 2);
                bytes[size_t(at) + 4] = 0x06;
                bytes[size_t(at) + 5] = 0x05;
                slice = at + 6;
                len -= 6;
            }
            Put_BE32(&bytes[size_t(slice)], len);
            bytes[size_t(slice) + 4] = sync ? 0x65 : 0x41;
            bytes[size_t(slice) + 5] = sync ? 0x88 : 0x9A;
            if (k == c.Odd && c.Kind == 3) bytes[size_t(slice) + 4] = 0x01;
            v.STCOArr[0].STSZArr.push_back(smp);
            at += smp.STSZlen;
        }
        ASSERT_LT(at, kSize);
        TMemorySource h(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kSize));
        auto idx = std::make_shared<TFeatureIndex>(TFeatureIndexOptions{});
        idx->Add_Block(bytes.data(), 0, 524288, true);
        if (c.Covered) idx->Add_Block(bytes.data() + 524288, 524288, 524288, true);
        const int anchor = 20;
        TFrameAnchor a;
        a.AnchorOff = v.STCOArr[0].STSZArr[anchor].STSZoff;
        a.AnchorSize = int32_t(v.STCOArr[0].STSZArr[anchor].STSZlen);
        auto walk = [&](bool indexed) {
            TScanSession session;
            session.Set_FeatureIndex(&h, indexed ? idx : nullptr);
            const TTreeData node;
            const TAllocMap map{};
            TFragmenArr f = Find_FrameFragment(TAnalysisContext{session, h, node, map}, true, a, 0, anchor, v);
            return std::to_string(f.FragmeSLnum) + "-" + std::to_string(f.FragmeELnum) + " @" +
                   std::to_string(f.FragmenSoff) + "-" + std::to_string(f.FragmenEoff);
        };
        const std::string read = walk(false);
        EXPECT_EQ(walk(true), read);
        EXPECT_EQ(read, std::to_string(c.First) + "-" + std::to_string(c.Last) + " @" +
                            std::to_string(v.STCOArr[0].STSZArr[size_t(c.First)].STSZoff) + "-" +
                            std::to_string(v.STCOArr[0].STSZArr[size_t(c.Last)].STSZoff));
    }
}

} // namespace
} // namespace qrv::test
