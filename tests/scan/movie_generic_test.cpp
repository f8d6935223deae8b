// The generic type's readers of untrusted bytes: which "moov" headers start a
// movie box, mvhd of both versions, the maker strings of udta, the coding of a
// sample entry, and the H.265 / generic H.264 sample-start tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/sample_start.h"
#include "scan/movie_generic.h"

namespace qrv {
namespace {

using TBytes = std::vector<uint8_t>;

TBytes Be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
TBytes Cat(std::initializer_list<TBytes> parts) {
    TBytes out;
    for (const TBytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
TBytes Text(const std::string& s) {
    return TBytes(s.begin(), s.end());
}
TBytes Box(const std::string& type, const TBytes& payload) {
    return Cat({Be32(uint32_t(payload.size() + 8)), Text(type), payload});
}
// A QuickTime user-data string item: 16-bit length, 16-bit language, text.
TBytes Item(const std::string& tag, const std::string& text) {
    return Box("\xA9" + tag,
               Cat({{uint8_t(text.size() >> 8), uint8_t(text.size())}, {0x55, 0xC4}, Text(text)}));
}

TEST(MovieGeneric, MovieBoxHeaders) {
    struct TCase {
        const char* Name;
        TBytes Bytes; // from the size field on
        bool Found;
    } cases[] = {
        {"mvhd first", Cat({Be32(400), Text("moov"), Be32(108), Text("mvhd")}), true},
        {"udta first", Cat({Be32(400), Text("moov"), Be32(40), Text("udta")}), true},
        {"iods first", Cat({Be32(400), Text("moov"), Be32(24), Text("iods")}), true},
        {"unknown child", Cat({Be32(400), Text("moov"), Be32(24), Text("abcd")}), false},
        {"child larger than the box", Cat({Be32(100), Text("moov"), Be32(108), Text("mvhd")}), false},
        {"box too small", Cat({Be32(12), Text("moov"), Be32(8), Text("free")}), false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TBytes buf = c.Bytes;
        buf.resize(buf.size() + 32, 0);
        EXPECT_EQ(Is_GenericMovieAt(buf.data() + 4, true), c.Found);
        EXPECT_EQ(Find_GenericMovie(buf.data(), 0, 8), c.Found ? 4 : 8);
    }
}

TEST(MovieGeneric, MvhdUdtaAndSampleEntries) {
    // mvhd: version 0 and 1 give the same fields; other versions and short boxes none.
    const TBytes v0 = Cat({{0, 0, 0, 0}, Be32(3792470707u), Be32(1), Be32(600), Be32(1200)});
    const TBytes v1 =
        Cat({{1, 0, 0, 0}, Be32(1), Be32(3792470707u), Be32(0), Be32(1), Be32(600), Be32(0), Be32(1200)});
    for (const TBytes& b : {v0, v1}) {
        const TMvhdFields f = Parse_Mvhd(b);
        EXPECT_TRUE(f.Ok);
        EXPECT_EQ(f.Scale, 600u);
        EXPECT_EQ(f.Duration, 1200u);
    }
    EXPECT_EQ(Parse_Mvhd(v1).Created, (uint64_t(1) << 32) + 3792470707u);
    EXPECT_FALSE(Parse_Mvhd(TBytes(v1.begin(), v1.begin() + 20)).Ok);
    EXPECT_FALSE(Parse_Mvhd(Cat({{2, 0, 0, 0}, TBytes(40, 0)})).Ok);

    struct TUdta {
        const char* Name;
        TBytes Payload;
        std::string Model;
    } udtas[] = {
        {"make and model", Cat({Item("mak", "Acme"), Item("mod", "X1")}), "Acme X1"},
        {"model repeats the make", Cat({Item("mod", "Acme X1"), Item("mak", "Acme")}), "Acme X1"},
        {"camera item", Box("\xA9inf", Cat({TBytes(4, 0), Text("DSJ-T9")})), "DSJ-T9"},
        {"zero terminator", Cat({Item("mod", "X1"), Be32(0)}), "X1"},
        {"length past the item", Box("\xA9mod", {0, 99, 0, 0, 'X'}), ""},
        {"box past the payload", Cat({Be32(400), Text("\xA9mod")}), ""},
    };
    for (const TUdta& u : udtas) {
        SCOPED_TRACE(u.Name);
        EXPECT_EQ(Udta_Model(u.Payload), u.Model);
    }

    // stsd payload: version/flags, count, one sample entry with 78 bytes of fields.
    auto Stsd = [](const std::string& entry, const TBytes& child) {
        return Cat({TBytes(4, 0), Be32(1), Box(entry, Cat({TBytes(78, 0), child}))});
    };
    TBytes hvcC(23, 0);
    hvcC[0] = 1, hvcC[21] = 0xFD; // length size 2
    const TBytes avcC = {1, 0x64, 0, 0x1F, 0xFF, 0xE0, 0};
    struct TEntry {
        const char* Name;
        TBytes Stsd;
        bool Ok;
        uint8_t Codec, Length;
    } entries[] = {
        {"hvc1", Stsd("hvc1", Box("hvcC", hvcC)), true, NAL_H265, 2},
        {"hev1", Stsd("hev1", Box("hvcC", hvcC)), true, NAL_H265, 2},
        {"avc1", Stsd("avc1", Box("avcC", avcC)), true, NAL_H264, 4},
        {"avc1 without avcC", Stsd("avc1", Box("pasp", TBytes(8, 0))), false, 0, 0},
        {"sound entry", Stsd("mp4a", Box("esds", TBytes(8, 0))), false, 0, 0},
        {"short hvcC", Stsd("hvc1", Box("hvcC", TBytes(hvcC.begin(), hvcC.begin() + 10))), false, 0, 0},
    };
    for (const TEntry& e : entries) {
        SCOPED_TRACE(e.Name);
        bool ok = false;
        const TNalFormat f = Parse_SampleEntry(e.Stsd, ok);
        EXPECT_EQ(ok, e.Ok);
        if (e.Ok) {
            EXPECT_EQ(f.Codec, e.Codec);
            EXPECT_EQ(f.LengthSize, e.Length);
        }
    }
}

TEST(MovieGeneric, SampleStartsOfBothCodings) {
    // A unit: 4-byte length, then its bytes.
    auto Unit = [](TBytes u) { return Cat({Be32(uint32_t(u.size())), u}); };
    const TBytes idr = Unit({0x26, 0x01, 0xAF, 1, 2, 3}); // IDR_W_RADL, tid 0, first slice
    const TBytes cra = Unit({0x2A, 0x01, 0x80, 9});       // CRA
    const TBytes trail = Unit({0x02, 0x01, 0xD0, 7, 7});  // TRAIL_R
    const TBytes second = Unit({0x02, 0x01, 0x40, 7, 7}); // not the picture's first slice
    const TBytes layer1 = Unit({0x02, 0x09, 0xD0, 7});    // nuh_layer_id 1
    const TBytes params = Cat({Unit({0x40, 0x01, 0x0C}), Unit({0x42, 0x01, 0x01}), Unit({0x44, 0x01, 0xC1})});
    const TBytes h264p = Unit({0x21, 0x9B, 0x12}); // P slice, nal_ref_idc 1
    const TNalFormat h265{NAL_H265, 4}, h264{NAL_H264, 4};
    struct TCase {
        const char* Name;
        TBytes Sample;
        bool Sync;
        TNalFormat Format;
        bool Start;
    } cases[] = {
        {"IDR", idr, true, h265, true},
        {"IDR behind VPS, SPS, PPS", Cat({params, idr}), true, h265, true},
        {"CRA", cra, true, h265, true},
        {"trailing picture", trail, false, h265, true},
        {"trailing picture as a sync sample", trail, true, h265, false},
        {"not the first slice", second, false, h265, false},
        {"another layer", layer1, false, h265, false},
        {"H.264 P slice of any priority", h264p, false, h264, true},
        {"H.265 picture read as H.264", trail, false, h264, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(
            Is_SampleStartAs(c.Sample.data(), c.Sample.size(), uint32_t(c.Sample.size()), c.Sync, c.Format),
            c.Start);
        // A size one off is never a start.
        EXPECT_FALSE(Is_SampleStartAs(c.Sample.data(), c.Sample.size(), uint32_t(c.Sample.size() + 1), c.Sync,
                                      c.Format));
    }
}

} // namespace
} // namespace qrv
