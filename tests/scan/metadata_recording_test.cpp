// The metadata readers on real camera-format recordings: the parser's view of
// each recording must match what the writer knows it wrote, also when the
// recording lies beyond 4 GiB of a (sparse) image file.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "common/op_state.h"
#include "platform/source_io.h"
#include "platform/time_zone.h"
#include "scan/metadata.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

namespace qrv {
namespace {

using test::TLayout;
using test::TRecording;
using test::TRecordingPlan;

class MetadataOnRecordings : public ::testing::Test {
  protected:
    void SetUp() override { Set_TimeZoneBiasOverride(0); }
    void TearDown() override { Set_TimeZoneBiasOverride(std::nullopt); }
};

// Walks the head at base and parses its movie box; compares with the truth.
void Expect_ParsedAsWritten(TSource& src, int64_t base, const TRecording& r, const TRecordingPlan& s,
                            const std::string& model) {
    int64_t pos = -1, size = -1;
    const int walk = Get_HeadAtom(src, 32768, pos, size, base);
    if (s.Layout == TLayout::Tail) {
        ASSERT_EQ(walk, 0);
        EXPECT_EQ(pos, r.MdatOff);
        EXPECT_EQ(size, r.MdatSize);
    } else {
        ASSERT_EQ(walk, 1);
        EXPECT_EQ(pos, r.MoovOff);
    }
    TMoovCon c;
    Get_MoovInfo(TTreeData{}, src, 0, c, src.Size() + 8, base + r.MoovOff);
    ASSERT_TRUE(c.MoovGood);
    EXPECT_EQ(c.MoovOff, base + r.MoovOff);
    EXPECT_EQ(c.MoovLen, r.MoovLen);
    ASSERT_EQ(c.trakcnt, int32_t(r.Traks.size()));
    for (size_t i = 0; i < r.Traks.size(); ++i) {
        EXPECT_EQ(c.track[i].AtomOff, base + r.Traks[i].Offset);
        EXPECT_EQ(c.track[i].AtomLen, r.Traks[i].Size);
    }
    EXPECT_EQ(c.MoovFree_Soff, base + r.UdtaOff);
    EXPECT_EQ(c.MoovFree_Len, uint32_t(r.UdtaLen));
    EXPECT_EQ(c.CamerModel, model);
    EXPECT_EQ(c.CreateTime, "2018-01-28 08:00:00");
    EXPECT_EQ(c.Durting, "2");
}

TEST_F(MetadataOnRecordings, BothLayoutsMatchTheWriter) {
    for (TLayout layout : {TLayout::Tail, TLayout::Front}) {
        for (bool co64 : {false, true}) {
            TRecordingPlan s;
            s.Layout = layout;
            s.Co64 = co64;
            s.Seconds = 2;
            s.SamplesPerChunk = co64 ? 4 : 1;
            s.Model = "  DSJ-K7\n";
            SCOPED_TRACE("layout " + std::to_string(int(layout)) + " co64 " + std::to_string(co64));
            TRecording r = test::Make_Recording(s);
            TMemorySource src(r.Bytes);
            Expect_ParsedAsWritten(src, 0, r, s, "DSJ-K7");
        }
    }
}

TEST_F(MetadataOnRecordings, Gb18030ModelAndMissingModel) {
    TRecordingPlan s;
    s.Seconds = 2;
    s.Model = "\xD6\xB4\xB7\xA8\xD2\xC7 X5"; // "执法仪 X5" in GB18030
    TRecording r = test::Make_Recording(s);
    TMemorySource src(r.Bytes);
    Expect_ParsedAsWritten(src, 0, r, s, "执法仪 X5");

    s.WithModel = false;
    TRecording q = test::Make_Recording(s);
    TMemorySource src2(q.Bytes);
    Expect_ParsedAsWritten(src2, 0, q, s, "");
}

TEST_F(MetadataOnRecordings, RecordingBeyondFourGiBOfAnImage) {
    test::TTempDir dir("qrv-meta-big");
    const std::string path = dir.File("card.img");
    const int64_t base = (int64_t(5) << 30) + 3 * 512; // above 4 GiB, sector aligned
    for (TLayout layout : {TLayout::Tail, TLayout::Front}) {
        TRecordingPlan s;
        s.Layout = layout;
        s.Seconds = 2;
        s.Model = "DSJ-Z1";
        TRecording r = test::Make_Recording(s);
        std::filesystem::remove(path);
        test::Write_At(path, base, r.Bytes); // sparse: only the recording takes space
        TSourcePtr src = Open_Source(path);
        ASSERT_TRUE(src);
        ASSERT_EQ(src->Size(), base + int64_t(r.Bytes.size()));
        Expect_ParsedAsWritten(*src, base, r, s, "DSJ-Z1");
    }
}

// Damaged copies of a real recording: random bytes overwritten, sizes in the
// movie box replaced by extreme values, the file cut short. The readers must
// come back (run under the sanitizers in CI), and whatever they report as good
// must lie within the bytes they were given.
TEST_F(MetadataOnRecordings, DamagedRecordingsNeverMisleadOrCrash) {
    TRecordingPlan s;
    s.Layout = TLayout::Front;
    s.Seconds = 1;
    const TRecording r = test::Make_Recording(s);
    std::mt19937 rng(1234);
    const uint32_t extremes[] = {0, 1, 7, 8, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFFFu, 0x10000, 12, 11};
    int good = 0;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> bytes = r.Bytes;
        const int64_t moovEnd = r.MoovOff + r.MoovLen;
        const int kind = round % 3;
        if (kind == 0) {
            for (int k = 0; k < 4; ++k)
                bytes[size_t(std::uniform_int_distribution<int64_t>(0, moovEnd + 16)(rng))] = uint8_t(rng());
        } else if (kind == 1) {
            const int64_t at = std::uniform_int_distribution<int64_t>(0, moovEnd - 4)(rng);
            const uint32_t v = extremes[rng() % std::size(extremes)];
            for (int k = 0; k < 4; ++k) bytes[size_t(at + k)] = uint8_t(v >> (24 - 8 * k));
        } else {
            bytes.resize(size_t(std::uniform_int_distribution<int64_t>(0, moovEnd)(rng)));
        }
        TMemorySource src(bytes);
        const int64_t scanEnd = int64_t(bytes.size()) + 8;
        int64_t pos = -1, size = -1;
        const int walk = Get_HeadAtom(src, 32768, pos, size, 0);
        if (walk == 1) {
            EXPECT_GE(pos, 0);
            EXPECT_LT(pos, 4 * 32768);
        }
        TMoovCon c;
        Get_MoovInfo(TTreeData{}, src, 0, c, scanEnd, r.MoovOff);
        if (c.MoovGood) {
            ++good;
            EXPECT_EQ(c.MoovOff, r.MoovOff);
            EXPECT_LE(c.MoovOff + c.MoovLen + 8, scanEnd);
            EXPECT_LE(c.MoovFree_Soff + int64_t(c.MoovFree_Len), scanEnd);
            EXPECT_EQ(c.trakcnt, int32_t(c.track.size()));
            for (const auto& t : c.track) {
                EXPECT_GT(t.AtomOff, c.MoovOff);
                EXPECT_GT(t.AtomLen, 0);
                EXPECT_LE(t.AtomLen, c.MoovLen);
            }
        }
    }
    EXPECT_GT(good, 100); // most single-byte damage leaves the box readable
}

} // namespace
} // namespace qrv
