// The track-table readers on real camera-format recordings placed inside an
// image file: the movie box is found and walked as the scan does it, and the
// tables read must equal the writer's own: every video sample's file offset
// and size, the sync flags, the sound samples attached to the video sample
// they follow, and the media end.
#include <gtest/gtest.h>

#include "platform/source_io.h"
#include "scan/metadata.h"
#include "scan/records.h"
#include "scan/scan_session.h"
#include "scan/track_tables.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

namespace qrv {
namespace {

using test::TLayout;
using test::TRecording;
using test::TRecordingPlan;

class TracksOnRecordings : public ::testing::Test {};

void Expect_TablesAsWritten(const TRecording& rec, const TRecordingPlan& plan, int64_t base) {
    TScanSession session;
    test::TTempDir dir("qrv-tracks");
    const std::string path = dir.File("image.img");
    test::Write_At(path, base, rec.Bytes);
    test::Write_At(path, base + int64_t(rec.Bytes.size()) + 65536, std::vector<uint8_t>(512, 0));
    auto src = Open_Source(path);
    ASSERT_TRUE(src);
    const int64_t scanEnd = src->Size();

    // As the scan finds it.
    TTreeData node;
    TMoovCon con;
    Get_MoovInfo(node, *src, 0, con, scanEnd, base + rec.MoovOff);
    ASSERT_TRUE(con.MoovGood);
    TmoovExt ext;
    Get_MoovTracks(node, *src, con, ext, 0, scanEnd);
    ASSERT_TRUE(ext.MoovGood);
    EXPECT_EQ(ext.MdatLen, rec.MediaEnd);
    EXPECT_EQ(ext.VmhdCnt, 1);
    EXPECT_EQ(ext.Smhdcnt, plan.Sound ? 1 : 0);
    ASSERT_EQ(ext.Atom.size(), plan.Sound ? 2u : 1u);
    const TAtoms& va = ext.Atom[0];
    EXPECT_EQ(va.TrackType, TRACK_VIDEO);
    EXPECT_EQ(va.AtomStscOff, base + rec.VideoStsc.Offset);
    EXPECT_EQ(va.AtomStszOff, base + rec.VideoStsz.Offset);
    EXPECT_EQ(va.AtomStcoOff, base + rec.VideoStco.Offset);
    EXPECT_EQ(va.AtomStcoLen, rec.VideoStco.Size);
    EXPECT_EQ(va.AtomCo64, plan.Co64);
    EXPECT_EQ(va.AtomStszNum, int32_t(rec.Video.size()));
    if (plan.Stss) {
        EXPECT_EQ(va.AtomSTSSOff, base + rec.VideoStss.Offset);
    } else {
        EXPECT_EQ(va.AtomSTSSOff, 0);
    }
    if (plan.Sound) {
        EXPECT_EQ(ext.Atom[1].TrackType, TRACK_SOUND);
        EXPECT_EQ(ext.Atom[1].AtomStszOff, base + rec.SoundStsz.Offset);
    }

    TScanResult s;
    s.CamerType = plan.Layout == TLayout::Front ? 0 : 2;
    s.Fragmentype = plan.Layout == TLayout::Front ? KIND_HEAD_MOOV : KIND_MOOV;
    s.FragmentOff = plan.Layout == TLayout::Front ? base : base + rec.MoovOff;
    s.True_MdatLen = ext.MdatLen;
    s.MoovOff = con.MoovOff;
    s.MoovLen = con.MoovLen;
    s.moov.VmhdCnt = ext.VmhdCnt;
    s.moov.Smhdcnt = ext.Smhdcnt;
    s.moov.TrackCnt = con.trakcnt;
    s.moov.Track = ext.Atom;
    const int64_t index = session.Scans.Append(s);

    TVideo v;
    TSampleKeys keys;
    Get_MOOV_VideoAndSound(*src, session, index, v, 0, scanEnd, keys);
    ASSERT_TRUE(v.Ext_Flag);
    ASSERT_EQ(v.STCONum, int32_t(rec.VideoChunkOffsets.size()));
    size_t k = 0;
    for (int32_t c = 0; c < v.STCONum; ++c) {
        const TVideoSTCO& ch = v.STCOArr[size_t(c)];
        EXPECT_EQ(ch.STCOoff, rec.VideoChunkOffsets[size_t(c)]);
        EXPECT_EQ(ch.Log_SNum, int32_t(k + 1));
        for (const TVideoSTSZ& smp : ch.STSZArr) {
            ASSERT_LT(k, rec.Video.size());
            const auto& want = rec.Video[k];
            EXPECT_EQ(want.Chunk, c) << "sample " << k;
            EXPECT_EQ(smp.STSZoff, want.Offset) << "sample " << k;
            EXPECT_EQ(smp.STSZlen, want.Size) << "sample " << k;
            EXPECT_EQ(smp.STSSFlag, !plan.Stss || want.Sync) << "sample " << k;
            ASSERT_EQ(smp.SoundSTSZ_Num, int32_t(want.Sound.size())) << "sample " << k;
            ASSERT_EQ(smp.SoundSTSZ_Arr.size(), want.Sound.size()) << "sample " << k;
            for (size_t j = 0; j < want.Sound.size(); ++j) {
                EXPECT_EQ(smp.SoundSTSZ_Arr[j].STSZ_Soff, want.Sound[j].Offset) << "sample " << k << "/" << j;
                EXPECT_EQ(smp.SoundSTSZ_Arr[j].STSZ_Slen, want.Sound[j].Size) << "sample " << k << "/" << j;
            }
            ++k;
        }
    }
    EXPECT_EQ(k, rec.Video.size());

    // Every sample is found by its key, at its own index or at an earlier
    // sample with the same key.
    EXPECT_EQ(keys.Count(), int64_t(rec.Video.size()));
    for (size_t i = 0; i < rec.Video.size(); ++i) {
        const auto& t = rec.Video[i];
        const int64_t at = keys.Find(t.Size, uint32_t(t.Offset % 512));
        ASSERT_GE(at, 0);
        ASSERT_LE(at, int64_t(i));
        EXPECT_EQ(rec.Video[size_t(at)].Size, t.Size);
        EXPECT_EQ(rec.Video[size_t(at)].Offset % 512, t.Offset % 512);
    }

    // The sizes read are the real ones: each video sample in the image holds a
    // length prefix of its size minus 4 followed by a slice NAL header.
    for (const auto& t : rec.Video) {
        const uint8_t* p = rec.Bytes.data() + t.Offset;
        const uint32_t prefix =
            (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
        EXPECT_EQ(prefix + 4, t.Size);
        EXPECT_TRUE(p[4] == 0x65 || p[4] == 0x41);
    }
}

TEST_F(TracksOnRecordings, TablesEqualTheWritersOwn) {
    struct TCase {
        const char* name;
        TRecordingPlan plan;
        int64_t base;
    };
    std::vector<TCase> cases;
    {
        TRecordingPlan s;
        s.Seconds = 2.0;
        cases.push_back({"tail, one per chunk, sound", s, 3 * 1048576 + 7 * 512});
    }
    {
        TRecordingPlan s;
        s.Seconds = 2.0;
        s.Layout = TLayout::Front;
        s.SamplesPerChunk = 4;
        s.Gop = 10;
        s.Seed = 2;
        cases.push_back({"front, four per chunk, sound", s, 512});
    }
    {
        TRecordingPlan s;
        s.Sound = false;
        s.SamplesPerChunk = 3;
        s.Seed = 3;
        cases.push_back({"tail, three per chunk, no sound", s, 1048576});
    }
    {
        TRecordingPlan s;
        s.Layout = TLayout::Front;
        s.Sound = false;
        s.Stss = false;
        s.Seed = 4;
        cases.push_back({"front, no sound, no sync table", s, 65536});
    }
    {
        TRecordingPlan s;
        s.Co64 = true;
        s.SamplesPerChunk = 2;
        s.LargeMdat = true;
        s.Seed = 5;
        cases.push_back({"tail, co64, two per chunk, sound", s, 2 * 1048576 + 512});
    }
    {
        TRecordingPlan s;
        s.Co64 = true;
        s.Layout = TLayout::Front;
        s.Seed = 6;
        cases.push_back({"front, co64, one per chunk, sound", s, 40960});
    }
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        const TRecording rec = test::Make_Recording(tc.plan);
        ASSERT_FALSE(rec.Video.empty());
        Expect_TablesAsWritten(rec, tc.plan, tc.base);
    }
}

} // namespace
} // namespace qrv
