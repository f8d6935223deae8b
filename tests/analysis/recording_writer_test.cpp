// The recording writer is the fixture every analysis test stands on: its files
// must decode cleanly with both streams, and its ground truth must describe the
// bytes it wrote.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/recording_writer.h"
#include "support/test_env.h"

namespace qrv::test {
namespace {

uint32_t BE32(const std::vector<uint8_t>& b, int64_t off) {
    return (uint32_t(b.at(off)) << 24) | (uint32_t(b.at(off + 1)) << 16) | (uint32_t(b.at(off + 2)) << 8) |
           uint32_t(b.at(off + 3));
}

std::string Tag(const std::vector<uint8_t>& b, int64_t off) {
    return std::string(reinterpret_cast<const char*>(&b.at(off)), 4);
}

// Checks that the truth tables match the written bytes.
void Expect_TruthMatchesBytes(const TRecording& r, const TRecordingPlan& s) {
    const auto& b = r.Bytes;
    EXPECT_EQ(Tag(b, 4), "ftyp");
    EXPECT_EQ(Tag(b, r.MdatOff + 4), "mdat");
    EXPECT_EQ(Tag(b, r.MoovOff + 4), "moov");
    EXPECT_EQ(BE32(b, r.MoovOff), uint32_t(r.MoovLen));
    // First child: the 108-byte version-0 mvhd, as the scan's signature wants.
    EXPECT_EQ(BE32(b, r.MoovOff + 8), 108u);
    EXPECT_EQ(Tag(b, r.MoovOff + 12), "mvhd");
    EXPECT_EQ(b.at(r.MoovOff + 16), 0);
    EXPECT_EQ(BE32(b, r.MoovOff + 20), s.CreationTime);
    // Last child: udta, ending where the moov ends.
    EXPECT_EQ(Tag(b, r.UdtaOff + 4), "udta");
    EXPECT_EQ(r.UdtaOff + r.UdtaLen, r.MoovOff + r.MoovLen);
    EXPECT_EQ(b.at(r.UdtaOff + 12), 0xA9);
    EXPECT_EQ(Tag(b, r.UdtaOff + 12).substr(1), "inf");
    EXPECT_EQ(std::string(b.begin() + r.UdtaOff + 20, b.begin() + r.UdtaOff + r.UdtaLen), s.Model);
    ASSERT_EQ(r.Traks.size(), s.Sound ? 2u : 1u);
    for (auto& t : r.Traks)
        EXPECT_EQ(Tag(b, t.Offset + 4), "trak");
    EXPECT_EQ(Tag(b, r.VideoStco.Offset + 4), s.Co64 ? "co64" : "stco");

    // Every video sample is one slice with the camera's start bytes; sound
    // samples follow it back to back, and together they fill mdat exactly.
    int64_t expect = r.MdatDataOff;
    int64_t syncs = 0;
    for (size_t i = 0; i < r.Video.size(); ++i) {
        const auto& v = r.Video[i];
        ASSERT_EQ(v.Offset, expect) << "sample " << i;
        // Leading units (SPS, PPS, SEI, in that order) chain by their lengths to the slice.
        std::vector<int> types;
        int64_t u = v.Offset;
        while (u < v.Offset + v.Lead) {
            types.push_back(b.at(u + 4) & 0x1F);
            u += 4 + BE32(b, u);
        }
        ASSERT_EQ(u, v.Offset + v.Lead) << "sample " << i;
        std::vector<int> want;
        if ((i == 0 && s.ParamsFirst) || (v.Sync && s.ParamsEveryIdr)) want = {7, 8};
        if (i == 0 && s.SeiFirst) want.push_back(6);
        EXPECT_EQ(types, want) << "sample " << i;
        const int64_t slice = v.Offset + v.Lead;
        EXPECT_EQ(BE32(b, slice) + 4, v.Size - v.Lead);
        if (v.Sync) {
            EXPECT_EQ(b.at(slice + 4), 0x65);
            EXPECT_EQ(b.at(slice + 5), 0x88);
            ++syncs;
        } else {
            EXPECT_EQ(b.at(slice + 4), 0x41) << "sample " << i;
            EXPECT_EQ(b.at(slice + 5), 0x9A) << "sample " << i;
        }
        EXPECT_EQ(v.Sync, i % size_t(s.Gop) == 0);
        expect += v.Size;
        for (const auto& a : v.Sound) {
            EXPECT_EQ(a.Offset, expect);
            expect += a.Size;
        }
        if (i % size_t(s.SamplesPerChunk) == 0) {
            EXPECT_EQ(r.VideoChunkOffsets.at(i / size_t(s.SamplesPerChunk)), v.Offset);
        }
    }
    EXPECT_EQ(expect, r.MdatOff + r.MdatSize);
    EXPECT_EQ(r.MediaEnd, expect);
    EXPECT_GE(syncs, 1);
    if (s.Sound) {
        EXPECT_FALSE(r.SoundChunkOffsets.empty());
        EXPECT_FALSE(r.Video.back().Sound.empty());
    }
}

void Expect_DecodesCleanly(const TRecording& r, bool sound) {
    ASSERT_TRUE(Have_Program("ffmpeg") && Have_Program("ffprobe"));
    TTempDir dir("qrv-writer");
    const std::string path = dir.File("rec.mp4");
    Save_Recording(r, path);
    std::string out;
    EXPECT_EQ(Run_Command("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1", &out), 0);
    EXPECT_EQ(out, "") << "decoder complaints";
    ASSERT_EQ(
        Run_Command("ffprobe -v error -show_entries stream=codec_name,nb_frames -of csv=p=0 '" + path + "'",
                    &out),
        0);
    EXPECT_NE(out.find("h264," + std::to_string(r.Video.size())), std::string::npos) << out;
    if (sound) {
        EXPECT_NE(out.find("aac," + std::to_string(r.SoundSizes.size())), std::string::npos) << out;
    }
}

TEST(RecordingWriter, BothLayoutsDecodeWithBothStreams) {
    for (TLayout layout : {TLayout::Tail, TLayout::Front}) {
        for (int spc : {1, 3, 7}) {
            TRecordingPlan s;
            s.Layout = layout;
            s.SamplesPerChunk = spc;
            s.Seed = 11;
            s.Seconds = 2;
            SCOPED_TRACE("layout " + std::to_string(int(layout)) + " spc " + std::to_string(spc));
            TRecording r = Make_Recording(s);
            EXPECT_EQ(r.Video.size(), 50u);
            Expect_TruthMatchesBytes(r, s);
            Expect_DecodesCleanly(r, true);
            if (layout == TLayout::Tail) {
                EXPECT_EQ(r.MoovOff, r.MdatOff + r.MdatSize);
            } else {
                EXPECT_EQ(r.MdatOff, r.MoovOff + r.MoovLen + s.FreeSize);
            }
        }
    }
}

TEST(RecordingWriter, VariantsDecode) {
    TRecordingPlan s;
    s.Co64 = true;
    s.Stss = false;
    s.LargeMdat = true;
    s.Gop = 10;
    s.Model = "\xD6\xD0\xCE\xC4"; // GB18030 bytes
    TRecording r = Make_Recording(s);
    Expect_TruthMatchesBytes(r, s);
    EXPECT_EQ(BE32(r.Bytes, r.MdatOff), 1u);
    EXPECT_EQ(r.VideoStss.Offset, 0);
    Expect_DecodesCleanly(r, true);

    TRecordingPlan silent;
    silent.Sound = false;
    silent.Layout = TLayout::Front;
    TRecording q = Make_Recording(silent);
    Expect_TruthMatchesBytes(q, silent);
    EXPECT_TRUE(q.SoundChunkOffsets.empty());
    Expect_DecodesCleanly(q, false);
}

// SEI and parameter sets ahead of the slice, as encoders and cameras write
// them: the files still decode, and the parameter sets are those of avcC.
TEST(RecordingWriter, LeadingUnitsInsideSamples) {
    struct TCase {
        bool Sei, Params, EveryIdr;
    };
    for (const TCase& c : {TCase{true, false, false}, TCase{true, true, false}, TCase{false, false, true}}) {
        TRecordingPlan s;
        s.Seed = 12;
        s.Seconds = 2;
        s.Gop = 10;
        s.SeiFirst = c.Sei;
        s.ParamsFirst = c.Params;
        s.ParamsEveryIdr = c.EveryIdr;
        SCOPED_TRACE(testing::Message() << c.Sei << c.Params << c.EveryIdr);
        TRecording r = Make_Recording(s);
        Expect_TruthMatchesBytes(r, s);
        EXPECT_GT(r.Video[0].Lead, 0u);
        if (c.Params || c.EveryIdr) {
            const auto& b = r.Bytes;
            const int64_t sps = r.Video[0].Offset;
            EXPECT_EQ(std::vector<uint8_t>(b.begin() + sps + 4, b.begin() + sps + 4 + int64_t(r.Sps.size())), r.Sps);
        }
        Expect_DecodesCleanly(r, true);
    }
}

TEST(RecordingWriter, DeterministicFromSeed) {
    TRecordingPlan s;
    s.Seed = 5;
    TRecording a = Make_Recording(s);
    {
        // A second run of ffmpeg (empty cache) must give the same bytes.
        TTempDir cache("qrv-cache");
        ::setenv("QRV_STREAM_CACHE", cache.Path().c_str(), 1);
        TRecording b = Make_Recording(s);
        ::unsetenv("QRV_STREAM_CACHE");
        EXPECT_EQ(a.Bytes, b.Bytes);
    }
    s.Seed = 6;
    TRecording c = Make_Recording(s);
    EXPECT_NE(a.Bytes, c.Bytes);
}

} // namespace
} // namespace qrv::test
