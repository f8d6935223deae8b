// Movie metadata readers over hand-made boxes in memory: head walks, movie box
// walks, camera model items, shooting dates and the date window, and the
// malformed shapes a damaged medium produces.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/op_state.h"
#include "platform/source_io.h"
#include "platform/time_zone.h"
#include "scan/metadata.h"

namespace qrv {
namespace {

using TBytes = std::vector<uint8_t>;

void Put32(TBytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(uint8_t(v >> s));
}
void Put64(TBytes& b, uint64_t v) {
    Put32(b, uint32_t(v >> 32));
    Put32(b, uint32_t(v));
}
void Append(TBytes& b, const TBytes& x) {
    b.insert(b.end(), x.begin(), x.end());
}

// A box of the given type whose size field is the real size unless forced.
TBytes Box(const char* type, const TBytes& payload = {}, int64_t forcedSize = -1) {
    TBytes b;
    Put32(b, forcedSize >= 0 ? uint32_t(forcedSize) : uint32_t(8 + payload.size()));
    b.insert(b.end(), type, type + 4);
    Append(b, payload);
    return b;
}

TBytes Mvhd(uint32_t created, uint32_t scale, uint32_t duration) {
    TBytes p;
    Put32(p, 0); // version 0, flags
    Put32(p, created);
    Put32(p, created);
    Put32(p, scale);
    Put32(p, duration);
    p.resize(100, 0);
    return Box("mvhd", p);
}

TBytes Model_Item(const std::string& text, int64_t forcedSize = -1) {
    TBytes p = {0, uint8_t(text.size()), 0, 0};
    p.insert(p.end(), text.begin(), text.end());
    TBytes b;
    Put32(b, forcedSize >= 0 ? uint32_t(forcedSize) : uint32_t(8 + p.size()));
    b.insert(b.end(), {0xA9, 0x69, 0x6E, 0x66});
    Append(b, p);
    return b;
}

TBytes Concat(std::initializer_list<TBytes> parts) {
    TBytes out;
    for (const auto& p : parts)
        Append(out, p);
    return out;
}

// A movie box: mvhd, two trak boxes, and a udta holding the model item.
TBytes Movie(uint32_t created, uint32_t scale, uint32_t duration, const TBytes& udtaPayload) {
    return Box("moov", Concat({Mvhd(created, scale, duration), Box("trak", TBytes(40, 0)),
                               Box("trak", TBytes(24, 0)), Box("udta", udtaPayload)}));
}

TMoovCon Parse(const TBytes& bytes, int64_t moovOff, int64_t scanEnd = -1, int timeStandard = TIMESTD_UTC) {
    TMemorySource src(bytes);
    TMoovCon con;
    con.trakcnt = 99; // must be reset by the walk
    Get_MoovInfo(TTreeData{}, src, 0, con, scanEnd < 0 ? int64_t(bytes.size()) + 8 : scanEnd, moovOff,
                 timeStandard);
    return con;
}

class Metadata : public ::testing::Test {
  protected:
    void SetUp() override { Set_TimeZoneBiasOverride(0); }
    void TearDown() override { Set_TimeZoneBiasOverride(std::nullopt); }
};

// ---- head walk ----

TEST_F(Metadata, HeadWalkReachesLargeMdatMoovOrStops) {
    TBytes ftyp = Box("ftyp", TBytes(16, 0));
    ASSERT_EQ(ftyp.size(), 24u);
    TBytes mdat64;
    Put32(mdat64, 1);
    mdat64.insert(mdat64.end(), {'m', 'd', 'a', 't'});
    Put64(mdat64, 10000000);
    // The head sits at 1024 of the medium: positions are relative to it.
    TBytes medium(1024, 0);
    Append(medium, Concat({ftyp, Box("free"), mdat64}));
    medium.resize(4096, 0);
    TMemorySource src(medium);
    int64_t pos = -7, size = -7;
    EXPECT_EQ(Get_HeadAtom(src, 32768, pos, size, 1024), 0);
    EXPECT_EQ(pos, 32);
    EXPECT_EQ(size, 10000000);

    TMemorySource moovHead(Concat({ftyp, Movie(0, 1000, 1000, {}), TBytes(512, 0)}));
    pos = size = -7;
    EXPECT_EQ(Get_HeadAtom(moovHead, 32768, pos, size, 0), 1);
    EXPECT_EQ(pos, 24);

    TMemorySource wide(Concat({ftyp, Box("wide"), Box("mdat", TBytes(8, 0)), TBytes(512, 0)}));
    EXPECT_EQ(Get_HeadAtom(wide, 32768, pos, size, 0), -1);
}

TEST_F(Metadata, HeadWalkRefusesBadSizesAndEnds) {
    TBytes ftyp = Box("ftyp", TBytes(16, 0));
    auto walk = [](const TBytes& head, int64_t unit = 32768) {
        TBytes m = head;
        m.resize(m.size() + 1024, 0);
        TMemorySource src(m);
        int64_t pos = 0, size = 0;
        return Get_HeadAtom(src, unit, pos, size, 0);
    };
    EXPECT_EQ(walk(Concat({ftyp, Box("free", {}, 0)})), -1);           // size 0
    EXPECT_EQ(walk(Concat({ftyp, Box("free", {}, 0x80000000u)})), -1); // negative size
    TBytes free64;
    Put32(free64, 1);
    free64.insert(free64.end(), {'f', 'r', 'e', 'e'});
    Put64(free64, 16);
    EXPECT_EQ(walk(Concat({ftyp, free64})), -1); // 64-bit size only for mdat
    TBytes mdatNeg;
    Put32(mdatNeg, 1);
    mdatNeg.insert(mdatNeg.end(), {'m', 'd', 'a', 't'});
    Put64(mdatNeg, 0x8000000000000000ull);
    EXPECT_EQ(walk(Concat({ftyp, mdatNeg})), -1);
    // A free box that reaches past 4 x unit ends the walk.
    EXPECT_EQ(walk(Concat({ftyp, Box("free", TBytes(200, 0)), Box("mdat", TBytes(8, 0))}), 32), -1);
    EXPECT_EQ(walk(Concat({ftyp, Box("free", TBytes(200, 0)), Box("mdat", TBytes(8, 0))}), 64), 0);
    // A head cut off after ftyp (the medium ends) reads zeros: nothing found.
    TMemorySource cut(ftyp);
    int64_t pos = 0, size = 0;
    EXPECT_EQ(Get_HeadAtom(cut, 32768, pos, size, 0), -1);
    EXPECT_EQ(Get_HeadAtom(cut, 0, pos, size, 0), -1);
    EXPECT_EQ(Get_HeadAtom(cut, 32768, pos, size, -512), -1);
    // A chain of tiny boxes still ends.
    TBytes tiny = ftyp;
    for (int i = 0; i < 40; ++i)
        Append(tiny, Box("free", {}, 8));
    EXPECT_EQ(walk(tiny, 64), -1);
}

// ---- movie box walk ----

TEST_F(Metadata, MovieBoxWalkFillsEverything) {
    TBytes udta = Model_Item(" DSJ-V9 \t");
    TBytes bytes = Concat({TBytes(100, 0), Movie(3600000000u, 1000, 61500, udta), TBytes(16, 0)});
    TMoovCon c = Parse(bytes, 100);
    ASSERT_TRUE(c.MoovGood);
    EXPECT_EQ(c.MoovOff, 100);
    EXPECT_EQ(c.MoovLen, 8 + 108 + 48 + 32 + 8 + int64_t(udta.size()));
    ASSERT_EQ(c.trakcnt, 2);
    ASSERT_EQ(c.track.size(), 2u);
    EXPECT_EQ(c.track[0].AtomOff, 100 + 8 + 108);
    EXPECT_EQ(c.track[0].AtomLen, 48);
    EXPECT_EQ(c.track[1].AtomOff, 100 + 8 + 108 + 48);
    EXPECT_EQ(c.track[1].AtomLen, 32);
    EXPECT_EQ(c.MoovFree_Soff, 100 + 8 + 108 + 48 + 32);
    EXPECT_EQ(c.MoovFree_Len, 8 + udta.size());
    EXPECT_EQ(c.CreateTime, "2018-01-28 08:00:00");
    EXPECT_EQ(c.Durting, "61.5");
    EXPECT_EQ(c.CamerModel, "DSJ-V9");
}

TEST_F(Metadata, ShootingDateFollowsZoneAndTimeStandard) {
    TBytes bytes = Movie(3600000000u, 1000, 1000, {});
    struct TCase {
        int bias;
        int standard;
        const char* text;
    } cases[] = {{0, TIMESTD_UTC, "2018-01-28 08:00:00"},
                 {0, TIMESTD_CHINA, "2018-01-28 16:00:00"},
                 {-480, TIMESTD_UTC, "2018-01-28 16:00:00"},
                 {-480, TIMESTD_CHINA, "2018-01-29 00:00:00"}};
    for (const auto& k : cases) {
        Set_TimeZoneBiasOverride(k.bias);
        EXPECT_EQ(Parse(bytes, 0, -1, k.standard).CreateTime, k.text)
            << "bias " << k.bias << " standard " << k.standard;
    }
    Set_TimeZoneBiasOverride(0);
    EXPECT_DOUBLE_EQ(Get_LocalTime(0), 25569.0);
    Set_TimeZoneBiasOverride(-480);
    EXPECT_DOUBLE_EQ(Get_LocalTime(0), 25569.0 + 1.0 / 3.0);
}

TEST_F(Metadata, DurationTexts) {
    struct {
        uint32_t scale, duration;
        const char* text;
    } cases[] = {{1000, 61500, "61.5"}, {90000, 2700000, "30"}, {1000, 500, ".5"},
                 {0, 12345, "0"},       {3, 1, ".3333"},        {1000, 0, "0"}};
    for (const auto& k : cases)
        EXPECT_EQ(Parse(Movie(0, k.scale, k.duration, {}), 0).Durting, k.text)
            << k.scale << "/" << k.duration;
}

TEST_F(Metadata, MovieBoxWithoutClosingUdtaIsNotGood) {
    TBytes moov =
        Box("moov", Concat({Mvhd(3600000000u, 1000, 1000), Box("trak", TBytes(8, 0)), Box("meta")}));
    TMoovCon c = Parse(Concat({moov, Box("free", TBytes(64, 0))}), 0);
    EXPECT_FALSE(c.MoovGood);
    // The same movie box followed directly by a udta box: that one closes it.
    TMoovCon d = Parse(Concat({moov, Box("udta", Model_Item("X1")), TBytes(8, 0)}), 0);
    EXPECT_TRUE(d.MoovGood);
    EXPECT_EQ(d.MoovFree_Soff, int64_t(moov.size()));
    EXPECT_EQ(d.CamerModel, "X1");
}

TEST_F(Metadata, MalformedMovieBoxesAreNotGood) {
    TBytes good = Movie(3600000000u, 1000, 1000, Model_Item("M"));
    ASSERT_TRUE(Parse(good, 0).MoovGood);
    // The walk reads the header after the box, so a scan ending right at the
    // box end refuses it, as does a box running past the scan end.
    EXPECT_FALSE(Parse(good, 0, int64_t(good.size()) + 7).MoovGood);
    EXPECT_TRUE(Parse(good, 0, int64_t(good.size()) + 8).MoovGood);
    EXPECT_FALSE(Parse(Concat({Box("moov", {}, 0), good}), 0).MoovGood);
    EXPECT_FALSE(Parse(Concat({Box("moov", {}, 0x80000000u), good}), 0).MoovGood);
    EXPECT_FALSE(Parse(good, -4).MoovGood);

    auto inside = [](const TBytes& child) {
        return Box("moov", Concat({Mvhd(0, 1, 1), child, Box("udta", Model_Item("M"))}));
    };
    EXPECT_FALSE(Parse(inside(Box("trak", {}, 0)), 0).MoovGood);
    EXPECT_FALSE(Parse(inside(Box("trak", {}, 0xFFFFFFF0u)), 0).MoovGood);
    EXPECT_FALSE(Parse(inside(Box("trak", {}, 5000)), 0).MoovGood); // larger than the movie box
    EXPECT_FALSE(Parse(inside(Box("Trak", TBytes(8, 0))), 0).MoovGood);
    EXPECT_FALSE(Parse(inside(Box("t1ak", TBytes(8, 0))), 0).MoovGood);

    // A movie box cut off by the end of the medium: zeros follow, no udta.
    TBytes cut(good.begin(), good.begin() + 150);
    EXPECT_FALSE(Parse(cut, 0, 1 << 20).MoovGood);
    // A udta box that claims to run past the scan end.
    TBytes longUdta = Box("moov", Concat({Mvhd(0, 1, 1), Box("udta", Model_Item("M"), 4000)}));
    EXPECT_FALSE(Parse(longUdta, 0).MoovGood);
    EXPECT_TRUE(Parse(longUdta, 0, 8000).MoovGood);
}

// ---- camera model ----

TEST_F(Metadata, CameraModelItems) {
    auto model = [](const TBytes& udtaPayload) {
        TBytes bytes = Concat({TBytes(40, 0), Box("udta", udtaPayload), Box("free", TBytes(32, 0))});
        TMemorySource src(bytes);
        return Get_CamerModel(src, 40 + 8 + int64_t(udtaPayload.size()), 40);
    };
    EXPECT_EQ(model(Model_Item("执法记录仪 DSJ-A8")), "执法记录仪 DSJ-A8");
    EXPECT_EQ(model(Model_Item(std::string("\x01 DSJ\r\n\0\0", 10))), "DSJ");
    // GB18030 bytes of "执法仪" and "中文".
    EXPECT_EQ(model(Model_Item("\xD6\xB4\xB7\xA8\xD2\xC7")), "执法仪");
    EXPECT_EQ(model(Model_Item("\xD6\xD0\xCE\xC4 T9")), "中文 T9");
    // The item is found behind other items.
    EXPECT_EQ(model(Concat({Box("name", TBytes(10, 'x')), Model_Item("B2")})), "B2");
    EXPECT_EQ(model(Box("name", TBytes(10, 'x'))), "");
    EXPECT_EQ(model({}), "");
    // An item longer than its box, too short to hold its 4 leading bytes, or sized 0.
    EXPECT_EQ(model(Model_Item("ABC", 60)), "");
    TBytes shortItem = Model_Item("ABC", 11);
    EXPECT_EQ(model(shortItem), "");
    EXPECT_EQ(model(Concat({Box("name", {}, 0), Model_Item("B2")})), "");
    EXPECT_EQ(model(Concat({Box("name", {}, 0x80000000u), Model_Item("B2")})), "");
    // A stray byte count that leaves a partial item header at the end.
    EXPECT_EQ(model(Concat({Box("name", TBytes(2, 0)), TBytes{0, 0}})), "");
    // An empty udta takes nothing from what follows it.
    TBytes after = Concat({Box("udta"), Model_Item("NOT-MINE"), TBytes(64, 0)});
    TMemorySource src(after);
    EXPECT_EQ(Get_CamerModel(src, 8, 0), "");
    EXPECT_EQ(Get_CamerModel(src, 8, -8), "");
}

// ---- date texts and the date window ----

TEST_F(Metadata, DateTextsRoundTripAndWindow) {
    EXPECT_DOUBLE_EQ(Encode_DateTime(1970, 1, 1, 0, 0, 0), 25569.0);
    EXPECT_DOUBLE_EQ(Encode_DateTime(1899, 12, 30, 0, 0, 0), 0.0);
    EXPECT_EQ(Format_DateTime(Encode_DateTime(2019, 5, 12, 10, 33, 21)), "2019-05-12 10:33:21");
    EXPECT_EQ(Format_DateTime(Encode_DateTime(2024, 2, 29, 23, 59, 59)), "2024-02-29 23:59:59");
    EXPECT_EQ(Format_DateTime(Encode_DateTime(2000, 12, 31, 23, 59, 59) + 0.6 / 86400),
              "2001-01-01 00:00:00");
    auto v = Parse_DateTime("2019-05-12 10:33:21");
    ASSERT_TRUE(v);
    EXPECT_DOUBLE_EQ(*v, Encode_DateTime(2019, 5, 12, 10, 33, 21));
    EXPECT_FALSE(Parse_DateTime(""));
    EXPECT_FALSE(Parse_DateTime("2019-05-12 10:33"));
    EXPECT_FALSE(Parse_DateTime("2019-13-12 10:33:21"));
    EXPECT_FALSE(Parse_DateTime("2019-02-30 10:33:21"));
    EXPECT_FALSE(Parse_DateTime("2019-05-12 24:00:00"));
    EXPECT_FALSE(Parse_DateTime("20x9-05-12 10:33:21"));

    const double from = Encode_DateTime(2018, 1, 1, 0, 0, 0), to = Encode_DateTime(2018, 1, 31, 23, 59, 59);
    EXPECT_TRUE(Check_DateRange("2018-01-28 08:00:00", from, to));
    EXPECT_TRUE(Check_DateRange("2018-01-01 00:00:00", from, to));
    EXPECT_TRUE(Check_DateRange("2018-01-31 23:59:59", from, to));
    EXPECT_FALSE(Check_DateRange("2018-02-01 00:00:00", from, to));
    EXPECT_FALSE(Check_DateRange("2017-12-31 23:59:59", from, to));
    EXPECT_FALSE(Check_DateRange("", from, to));
    EXPECT_FALSE(Check_DateRange("not a date at all!!", from, to));
}

} // namespace
} // namespace qrv
