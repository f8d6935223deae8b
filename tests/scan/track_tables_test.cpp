// Track tables read from movie boxes built in memory: a small box builder of
// this test writes the tables of a planned media layout (where every video and
// sound sample lies), the movie box is placed in an image, walked as the scan
// walks it (Get_MoovInfo, Get_MoovTracks) and read back with
// Get_MOOV_VideoAndSound; the tables read must give back the planned layout.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "common/ui_message.h"
#include "platform/source_io.h"
#include "scan/metadata.h"
#include "scan/records.h"
#include "scan/scan_session.h"
#include "scan/track_tables.h"

namespace qrv {
namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- box builder

void Add32(Bytes& b, uint32_t v) {
    uint8_t t[4];
    Put_BE32(t, v);
    b.insert(b.end(), t, t + 4);
}
void Add64(Bytes& b, uint64_t v) {
    uint8_t t[8];
    Put_BE64(t, v);
    b.insert(b.end(), t, t + 8);
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Box(const char* type, const Bytes& payload) {
    Bytes b;
    Add32(b, uint32_t(8 + payload.size()));
    b.insert(b.end(), type, type + 4);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}
// A box with a version and flags word before its body.
Bytes Full(const char* type, const Bytes& body) {
    return Box(type, Cat({Bytes(4, 0), body}));
}

struct TTrackBoxes {
    bool video = true;
    std::vector<std::array<uint32_t, 3>> stsc; // first chunk, samples per chunk, description index
    uint32_t fixedSize = 0;
    int64_t count = -1; // sample count field; -1: the number of sizes
    std::vector<uint32_t> sizes;
    std::vector<uint64_t> offsets;
    bool co64 = false;
    size_t chunkPad = 0; // stray bytes after the chunk offsets
    bool hasStss = false;
    std::vector<uint32_t> stss;
};

Bytes Trak(const TTrackBoxes& t) {
    Bytes stsc, stsz, stco, stss;
    Add32(stsc, uint32_t(t.stsc.size()));
    for (const auto& e : t.stsc)
        for (uint32_t v : e)
            Add32(stsc, v);
    Add32(stsz, t.fixedSize);
    Add32(stsz, uint32_t(t.count >= 0 ? t.count : int64_t(t.sizes.size())));
    for (uint32_t s : t.sizes)
        Add32(stsz, s);
    Add32(stco, uint32_t(t.offsets.size()));
    for (uint64_t o : t.offsets)
        t.co64 ? Add64(stco, o) : Add32(stco, uint32_t(o));
    stco.insert(stco.end(), t.chunkPad, 0);
    Add32(stss, uint32_t(t.stss.size()));
    for (uint32_t s : t.stss)
        Add32(stss, s);

    Bytes stbl = Cat({Full("stsd", Bytes(4, 0)), Full("stts", Bytes(4, 0))});
    if (t.hasStss) stbl = Cat({stbl, Full("stss", stss)});
    stbl = Cat({stbl, Full("stsc", stsc), Full("stsz", stsz), Full(t.co64 ? "co64" : "stco", stco)});
    const Bytes media = t.video ? Full("vmhd", Bytes(8, 0)) : Full("smhd", Bytes(4, 0));
    const Bytes minf = Box("minf", Cat({media, Box("stbl", stbl)}));
    const Bytes mdia = Box("mdia", Cat({Full("mdhd", Bytes(20, 0)), Full("hdlr", Bytes(21, 0)), minf}));
    return Box("trak", Cat({Full("tkhd", Bytes(80, 0)), mdia}));
}

Bytes Moov(const std::vector<TTrackBoxes>& tracks) {
    Bytes body = Full("mvhd", Bytes(96, 0)); // the 108-byte version-0 movie header
    for (const auto& t : tracks)
        body = Cat({body, Trak(t)});
    Bytes item;
    Add32(item, 12 + 4);
    item.insert(item.end(), {0xA9, 'i', 'n', 'f', 0, 0, 0, 0, 'T', 'E', 'S', 'T'});
    return Box("moov", Cat({body, Box("udta", item)}));
}

// ---------------------------------------------------------------- planned layouts

struct TPlacedSound {
    int64_t Off;
    uint32_t Size;
};
struct TPlannedSample {
    int64_t Off;
    uint32_t Size;
    bool Sync;
    std::vector<TPlacedSound> Sound; // sound samples between this video sample and the next
};
struct TPlan {
    std::vector<TPlannedSample> Samples;
    std::vector<int> ChunkOf; // chunk index of every video sample
    TTrackBoxes Video, Sound;
    bool HasSound = false;
    int64_t MediaEnd = 0;
};

struct TTableShape {
    int Samples = 60;
    int PerChunk = 1;      // video samples per chunk (the last chunk takes the remainder)
    int SoundPerChunk = 0; // sound samples in the chunk after each video chunk; 0: no sound track
    bool Co64 = false;
    int64_t Start = 48; // file offset of the first media byte
    int Gop = 15;       // a sync sample every Gop samples; 0: no sync sample table
    uint32_t Seed = 1;
    uint32_t SizeSpread = 20000; // video sample sizes 100 .. 100 + spread - 1
};

uint32_t Next(uint32_t& s) {
    return s = s * 1664525u + 1013904223u;
}

// Lays the media out in file order (video chunk, then its sound chunk) and
// writes the tables that describe it.
TPlan Make_Plan(const TTableShape& shape) {
    TPlan p;
    uint32_t rnd = shape.Seed;
    int64_t off = shape.Start;
    p.Video.co64 = p.Sound.co64 = shape.Co64;
    p.Sound.video = false;
    p.HasSound = shape.SoundPerChunk > 0;
    int chunk = 0;
    int prevPer = -1, prevSoundPer = -1;
    for (int first = 0; first < shape.Samples; first += shape.PerChunk, ++chunk) {
        const int n = std::min(shape.PerChunk, shape.Samples - first);
        if (n != prevPer) p.Video.stsc.push_back({uint32_t(chunk + 1), uint32_t(n), 1});
        prevPer = n;
        p.Video.offsets.push_back(uint64_t(off));
        for (int j = 0; j < n; ++j) {
            const int k = first + j;
            const uint32_t size = 100 + Next(rnd) % shape.SizeSpread;
            const bool sync = shape.Gop == 0 || k % shape.Gop == 0; // no table: every sample is sync
            p.Samples.push_back({off, size, sync, {}});
            p.ChunkOf.push_back(chunk);
            p.Video.sizes.push_back(size);
            if (sync) p.Video.stss.push_back(uint32_t(k + 1));
            off += size;
        }
        if (p.HasSound) {
            if (shape.SoundPerChunk != prevSoundPer)
                p.Sound.stsc.push_back({uint32_t(chunk + 1), uint32_t(shape.SoundPerChunk), 1});
            prevSoundPer = shape.SoundPerChunk;
            p.Sound.offsets.push_back(uint64_t(off));
            for (int j = 0; j < shape.SoundPerChunk; ++j) {
                const uint32_t size = 200 + Next(rnd) % 300;
                p.Samples.back().Sound.push_back({off, size});
                p.Sound.sizes.push_back(size);
                off += size;
            }
        }
    }
    p.Video.hasStss = shape.Gop > 0;
    p.MediaEnd = off;
    return p;
}

std::vector<TTrackBoxes> Tracks_Of(const TPlan& p) {
    std::vector<TTrackBoxes> t{p.Video};
    if (p.HasSound) t.push_back(p.Sound);
    return t;
}

// ---------------------------------------------------------------- reading back

// A movie box placed in an image, found and read as the scan and the header
// analysis read it.
struct TReadBack {
    std::unique_ptr<TMemorySource> Src;
    int64_t MoovOff = 0;
    int64_t ScanEnd = 0;
    TMoovCon Con;
    TmoovExt Ext;
    int64_t Index = -1;
    TVideo Video;
    TSampleKeys Keys;
};

class TrackTables : public ::testing::Test {
  protected:
    TScanSession session;

    // Places the movie box at moovOff in an image and walks it. The image
    // holds a little more after the box than the walk looks at.
    void Place(TReadBack& r, const Bytes& moov, int64_t moovOff) {
        Bytes image(size_t(moovOff) + moov.size() + 4096, 0);
        std::memcpy(image.data() + moovOff, moov.data(), moov.size());
        r.Src = std::make_unique<TMemorySource>(std::move(image));
        r.MoovOff = moovOff;
        r.ScanEnd = r.Src->Size();
        TTreeData node;
        Get_MoovInfo(node, *r.Src, 0, r.Con, r.ScanEnd, moovOff);
        ASSERT_TRUE(r.Con.MoovGood);
        Get_MoovTracks(node, *r.Src, r.Con, r.Ext, 0, r.ScanEnd);
    }

    // What the scan keeps of a bare movie box.
    void Record(TReadBack& r) {
        ASSERT_TRUE(r.Ext.MoovGood);
        TScanResult s;
        s.CamerType = 2;
        s.Fragmentype = KIND_MOOV;
        s.FragmentOff = r.MoovOff;
        s.MdatLen = s.True_MdatLen = r.Ext.MdatLen;
        s.MoovOff = r.MoovOff;
        s.MoovLen = r.Con.MoovLen;
        s.moov.VmhdCnt = r.Ext.VmhdCnt;
        s.moov.Smhdcnt = r.Ext.Smhdcnt;
        s.moov.TrackCnt = r.Con.trakcnt;
        s.moov.Track = r.Ext.Atom;
        r.Index = session.Scans.Append(s);
    }

    void Read(TReadBack& r, const Bytes& moov, int64_t moovOff = 1000003, int recType = 0) {
        Place(r, moov, moovOff);
        Record(r);
        Get_MOOV_VideoAndSound(*r.Src, session, r.Index, r.Video, recType, r.ScanEnd, r.Keys);
    }
};

// Every video sample, the sync flags and the sound samples read equal the plan.
void Expect_Plan(const TPlan& p, const TVideo& v) {
    ASSERT_TRUE(v.Ext_Flag);
    ASSERT_EQ(v.STCONum, int32_t(v.STCOArr.size()));
    size_t k = 0;
    for (int32_t c = 0; c < v.STCONum; ++c) {
        const TVideoSTCO& ch = v.STCOArr[size_t(c)];
        EXPECT_EQ(ch.Log_SNum, int32_t(k + 1));
        ASSERT_EQ(ch.STSZNum, int32_t(ch.STSZArr.size()));
        for (const TVideoSTSZ& s : ch.STSZArr) {
            ASSERT_LT(k, p.Samples.size());
            const TPlannedSample& want = p.Samples[k];
            EXPECT_EQ(p.ChunkOf[k], c) << "sample " << k;
            EXPECT_EQ(s.STSZoff, want.Off) << "sample " << k;
            EXPECT_EQ(s.STSZlen, want.Size) << "sample " << k;
            EXPECT_EQ(s.STSSFlag, want.Sync) << "sample " << k;
            ASSERT_EQ(s.SoundSTSZ_Num, int32_t(want.Sound.size())) << "sample " << k;
            ASSERT_EQ(s.SoundSTSZ_Arr.size(), want.Sound.size()) << "sample " << k;
            for (size_t j = 0; j < want.Sound.size(); ++j) {
                EXPECT_EQ(s.SoundSTSZ_Arr[j].STSZ_Soff, want.Sound[j].Off)
                    << "sample " << k << " sound " << j;
                EXPECT_EQ(s.SoundSTSZ_Arr[j].STSZ_Slen, want.Sound[j].Size)
                    << "sample " << k << " sound " << j;
            }
            ++k;
        }
    }
    EXPECT_EQ(k, p.Samples.size());
}

// ---------------------------------------------------------------- layouts read back

TEST_F(TrackTables, LayoutsReadBackExactly) {
    struct TCase {
        const char* name;
        TTableShape plan;
    };
    std::vector<TCase> cases = {
        {"one per chunk, no sound", {.Samples = 40, .PerChunk = 1}},
        {"one per chunk, sound", {.Samples = 50, .PerChunk = 1, .SoundPerChunk = 2}},
        {"several per chunk with a short last chunk, sound",
         {.Samples = 47, .PerChunk = 4, .SoundPerChunk = 3, .Gop = 10, .Seed = 7}},
        {"co64 beyond 4 GiB, sound",
         {.Samples = 30, .PerChunk = 2, .SoundPerChunk = 1, .Co64 = true, .Start = (int64_t(5) << 32) + 77}},
        {"no sync table", {.Samples = 20, .PerChunk = 3, .SoundPerChunk = 1, .Gop = 0}},
        // 32-bit entries are unsigned: cameras on FAT32 write stco up to 4 GiB.
        {"stco past 2 GiB, sound",
         {.Samples = 30, .PerChunk = 2, .SoundPerChunk = 1, .Start = int64_t(0x80000000u) - 5000}},
        {"stco just below 4 GiB, no sound",
         {.Samples = 12, .PerChunk = 3, .Start = int64_t(0xFFFFFFFFu) - 200000, .SizeSpread = 1000}},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        session.Scans.Clear();
        const TPlan p = Make_Plan(tc.plan);
        TReadBack r;
        Read(r, Moov(Tracks_Of(p)));
        EXPECT_EQ(r.Ext.MdatLen, p.MediaEnd);
        EXPECT_EQ(r.Ext.VmhdCnt, 1);
        EXPECT_EQ(r.Ext.Smhdcnt, p.HasSound ? 1 : 0);
        Expect_Plan(p, r.Video);
        EXPECT_EQ(r.Keys.Count(), int64_t(p.Samples.size()));
        for (size_t k = 0; k < p.Samples.size(); ++k) {
            const int64_t found = r.Keys.Find(p.Samples[k].Size, uint32_t(p.Samples[k].Off % 512));
            ASSERT_GE(found, 0);
            EXPECT_LE(found, int64_t(k));
            EXPECT_EQ(p.Samples[size_t(found)].Size, p.Samples[k].Size);
        }
        if (tc.plan.Gop == 0) {
            EXPECT_TRUE(r.Video.STSSARR.empty());
        }
    }
}

TEST_F(TrackTables, TrackTableLocationsAndMediaEnd) {
    // The sound track's last chunk ends after the video's: the media end is
    // the larger of the two.
    TPlan p = Make_Plan({.Samples = 12, .PerChunk = 3, .SoundPerChunk = 2});
    TReadBack r;
    Place(r, Moov(Tracks_Of(p)), 4096);
    ASSERT_TRUE(r.Ext.MoovGood);
    ASSERT_EQ(r.Ext.Atom.size(), 2u);
    const TAtoms& v = r.Ext.Atom[0];
    const TAtoms& s = r.Ext.Atom[1];
    EXPECT_EQ(v.TrackID, 0);
    EXPECT_EQ(s.TrackID, 1);
    EXPECT_EQ(v.TrackType, TRACK_VIDEO);
    EXPECT_EQ(s.TrackType, TRACK_SOUND);
    EXPECT_EQ(v.AtomStszNum, 12);
    EXPECT_EQ(v.AtomStszLen, 20 + 4 * 12);
    EXPECT_EQ(v.AtomStcoNum, 4);
    EXPECT_EQ(v.AtomStscNum, 1);
    EXPECT_EQ(v.AtomStssNum, int32_t(p.Video.stss.size()));
    EXPECT_EQ(s.AtomSTSSOff, 0);
    // Every recorded offset points at its box.
    const Bytes& img = r.Src->Bytes();
    EXPECT_EQ(std::memcmp(&img[size_t(v.AtomStscOff) + 4], "stsc", 4), 0);
    EXPECT_EQ(std::memcmp(&img[size_t(v.AtomStszOff) + 4], "stsz", 4), 0);
    EXPECT_EQ(std::memcmp(&img[size_t(v.AtomStcoOff) + 4], "stco", 4), 0);
    EXPECT_EQ(std::memcmp(&img[size_t(v.AtomSTSSOff) + 4], "stss", 4), 0);
    EXPECT_EQ(std::memcmp(&img[size_t(s.AtomStszOff) + 4], "stsz", 4), 0);
    EXPECT_EQ(r.Ext.MdatLen, p.MediaEnd);
    EXPECT_EQ(int64_t(p.Sound.offsets.back()) + p.Sound.sizes[p.Sound.sizes.size() - 1] +
                  p.Sound.sizes[p.Sound.sizes.size() - 2],
              p.MediaEnd);

    // The same with the sound track first: still the larger end.
    TReadBack swapped;
    Place(swapped, Moov({p.Sound, p.Video}), 4096);
    ASSERT_TRUE(swapped.Ext.MoovGood);
    EXPECT_EQ(swapped.Ext.Atom[0].TrackType, TRACK_SOUND);
    EXPECT_EQ(swapped.Ext.MdatLen, p.MediaEnd);

    // A fixed sample size: the last chunk is size x samples per chunk.
    TTrackBoxes fixedTrack = p.Video;
    fixedTrack.fixedSize = 1000;
    fixedTrack.count = 12;
    fixedTrack.sizes.clear();
    TReadBack f;
    Place(f, Moov({fixedTrack}), 4096);
    ASSERT_TRUE(f.Ext.MoovGood);
    EXPECT_EQ(f.Ext.MdatLen, int64_t(p.Video.offsets.back()) + 3000);
}

TEST_F(TrackTables, MovieBoxRefusals) {
    const TPlan p = Make_Plan({.Samples = 12, .PerChunk = 3, .SoundPerChunk = 1});
    TTreeData node;
    {
        SCOPED_TRACE("track reaching past the scan end");
        TReadBack r;
        Place(r, Moov(Tracks_Of(p)), 4096);
        TmoovExt ext;
        const int64_t trackEnd = r.Con.track[0].AtomOff + r.Con.track[0].AtomLen;
        Get_MoovTracks(node, *r.Src, r.Con, ext, 0, trackEnd - 1);
        EXPECT_FALSE(ext.MoovGood);
        Get_MoovTracks(node, *r.Src, r.Con, ext, 0, r.ScanEnd);
        EXPECT_TRUE(ext.MoovGood);
    }
    {
        SCOPED_TRACE("sample count with a zero entry");
        TTrackBoxes t = p.Video;
        t.sizes.back() = 0;
        TReadBack r;
        Place(r, Moov({t}), 4096);
        EXPECT_FALSE(r.Ext.MoovGood);
    }
    {
        SCOPED_TRACE("table count larger than its box");
        TTrackBoxes t = p.Video;
        t.count = 0x7fffffff;
        TReadBack r;
        Place(r, Moov({t}), 4096);
        EXPECT_FALSE(r.Ext.MoovGood);
    }
    {
        SCOPED_TRACE("last chunk offset 0");
        TTrackBoxes t = p.Video;
        t.offsets.back() = 0;
        TReadBack r;
        Place(r, Moov({t}), 4096);
        EXPECT_FALSE(r.Ext.MoovGood);
    }
    {
        SCOPED_TRACE("track without tables");
        TTrackBoxes t = p.Video;
        TReadBack r;
        Bytes other = Box("trak", Full("tkhd", Bytes(80, 0)));
        Bytes moov = Moov({t});
        // Insert the table-less track right after the movie header.
        moov.insert(moov.begin() + 8 + 108, other.begin(), other.end());
        Put_BE32(moov.data(), uint32_t(moov.size()));
        Place(r, moov, 4096);
        EXPECT_EQ(r.Con.trakcnt, 2);
        EXPECT_FALSE(r.Ext.MoovGood);
    }
}

// ---------------------------------------------------------------- video refusals

TEST_F(TrackTables, VideoTableRefusals) {
    const TPlan p = Make_Plan({.Samples = 12, .PerChunk = 3, .SoundPerChunk = 1});
    auto expectRefused = [&](const TTrackBoxes& video, const char* what) {
        SCOPED_TRACE(what);
        session.Scans.Clear();
        TReadBack r;
        Read(r, Moov({video, p.Sound}));
        EXPECT_FALSE(r.Video.Ext_Flag);
        EXPECT_EQ(r.Keys.Count(), 0);
    };
    {
        TTrackBoxes t = p.Video;
        t.fixedSize = 1000;
        t.count = 12;
        t.sizes.clear();
        expectRefused(t, "fixed sample size");
    }
    {
        TTrackBoxes t = p.Video;
        t.stsc = {{1, 3, 1}, {1, 3, 1}};
        expectRefused(t, "repeating first chunks");
    }
    {
        TTrackBoxes t = p.Video;
        t.stsc = {{1, 1, 1}, {3, 2, 1}, {2, 3, 1}};
        expectRefused(t, "falling first chunks");
    }
    {
        TTrackBoxes t = p.Video;
        t.stsc = {{1, 3, 0}};
        expectRefused(t, "description index 0");
    }
    {
        TTrackBoxes t = p.Video;
        t.offsets[1] = 0;
        expectRefused(t, "zero chunk offset after the first");
    }
    {
        TTrackBoxes t = p.Video;
        std::swap(t.offsets[1], t.offsets[2]);
        expectRefused(t, "falling chunk offsets");
    }
    {
        TTrackBoxes t = p.Video;
        t.co64 = true;
        t.chunkPad = 4;
        expectRefused(t, "co64 length not a multiple of 8");
    }
    {
        TTrackBoxes t = p.Video;
        t.sizes.push_back(500);
        t.count = 13; // more samples than the chunks hold
        expectRefused(t, "sample count differing from the chunks");
    }
    {
        TTrackBoxes t = p.Video;
        t.stsc = {{2, 3, 1}, {3, 3, 1}}; // chunk 1 holds no sample
        t.sizes.resize(9);
        t.count = 9;
        expectRefused(t, "chunk without samples");
    }
    {
        TTrackBoxes t = p.Video;
        t.stss[0] = 0;
        expectRefused(t, "sync sample number 0");
    }
    {
        // The same tables are accepted untouched, and with co64 entries.
        TTrackBoxes t = p.Video;
        t.co64 = true;
        session.Scans.Clear();
        TReadBack r;
        Read(r, Moov({t, p.Sound}));
        Expect_Plan(p, r.Video);
    }
}

TEST_F(TrackTables, ZeroOffsetAcceptedInTheFirstChunk) {
    const TPlan p = Make_Plan({.Samples = 9, .PerChunk = 3, .Start = 0});
    ASSERT_EQ(p.Video.offsets[0], 0u);
    TReadBack r;
    Read(r, Moov(Tracks_Of(p)));
    Expect_Plan(p, r.Video);
    EXPECT_EQ(r.Keys.Find(p.Samples[0].Size, 0), 0);
}

TEST_F(TrackTables, TableReachingPastTheScanEnd) {
    const TPlan p = Make_Plan({.Samples = 30, .PerChunk = 2});
    TReadBack r;
    Place(r, Moov(Tracks_Of(p)), 8192);
    Record(r);
    const TAtoms& a = r.Ext.Atom[0];
    // The tables that lie furthest in the movie box decide.
    const int64_t last = std::max({a.AtomStscOff + a.AtomStscLen, a.AtomStszOff + a.AtomStszLen,
                                   a.AtomStcoOff + a.AtomStcoLen, a.AtomSTSSOff + a.AtomSTSSLen});
    TVideo v;
    TSampleKeys keys;
    Get_MOOV_VideoAndSound(*r.Src, session, r.Index, v, 0, last - 1, keys);
    EXPECT_FALSE(v.Ext_Flag);
    Get_MOOV_VideoAndSound(*r.Src, session, r.Index, v, 0, last, keys);
    EXPECT_TRUE(v.Ext_Flag);
    Expect_Plan(p, v);
}

TEST_F(TrackTables, MissingHeaderOrVideoTrack) {
    TVideo v;
    TSampleKeys keys;
    TMemorySource empty(Bytes(4096, 0));
    Get_MOOV_VideoAndSound(empty, session, 0, v, 0, 4096, keys); // no such header
    EXPECT_FALSE(v.Ext_Flag);

    const TPlan p = Make_Plan({.Samples = 6, .SoundPerChunk = 1});
    TReadBack r;
    Read(r, Moov({p.Sound})); // a sound track alone
    EXPECT_FALSE(r.Video.Ext_Flag);
}

// ---------------------------------------------------------------- sound

TEST_F(TrackTables, BadSoundSizeEndsTheSoundPartOnly) {
    TPlan p = Make_Plan({.Samples = 20, .PerChunk = 2, .SoundPerChunk = 2});
    // Sound sample 7 (chunk 3, second sample) claims 16 MiB or more.
    p.Sound.sizes[7] = 0x01000010;
    TReadBack r;
    Read(r, Moov(Tracks_Of(p)));
    ASSERT_TRUE(r.Video.Ext_Flag);
    // Video tables complete: offsets, sizes, flags and keys of every sample.
    TPlan videoOnly = p;
    for (auto& s : videoOnly.Samples)
        s.Sound.clear();
    // Sound samples 0..6 are attached as planned, nothing from 7 on.
    int soundIndex = 0;
    for (auto& s : videoOnly.Samples) {
        const auto& planned = p.Samples[size_t(&s - videoOnly.Samples.data())].Sound;
        for (const auto& snd : planned) {
            if (soundIndex < 7) s.Sound.push_back(snd);
            ++soundIndex;
        }
    }
    Expect_Plan(videoOnly, r.Video);
    EXPECT_EQ(r.Keys.Count(), 20);
}

TEST_F(TrackTables, SoundChunkOffsetZeroAfterTheFirstEndsTheSoundPart) {
    TPlan p = Make_Plan({.Samples = 8, .PerChunk = 2, .SoundPerChunk = 2});
    p.Sound.offsets[2] = 0;
    TReadBack r;
    Read(r, Moov(Tracks_Of(p)));
    TPlan want = p;
    for (size_t k = 0; k < want.Samples.size(); ++k)
        if (want.ChunkOf[k] >= 2) want.Samples[k].Sound.clear();
    Expect_Plan(want, r.Video);
}

TEST_F(TrackTables, SoundOnAVideoSampleStartIsNotAttached) {
    // A sound chunk whose offset equals a video sample's start lies after no
    // video sample; the following chunks are placed as usual.
    TPlan p = Make_Plan({.Samples = 8, .PerChunk = 2, .SoundPerChunk = 1});
    p.Sound.offsets[1] = uint64_t(p.Samples[3].Off);
    TReadBack r;
    Read(r, Moov(Tracks_Of(p)));
    TPlan want = p;
    want.Samples[3].Sound.clear();
    Expect_Plan(want, r.Video);
}

TEST_F(TrackTables, OverlappingVideoSamplesLeaveTheSoundOut) {
    // The second sample of chunk 0 starts past the start of chunk 1: the video
    // tables are read as they are, but no sound sample can be placed between
    // samples out of order.
    TPlan p = Make_Plan({.Samples = 6, .PerChunk = 2, .SoundPerChunk = 1});
    p.Video.sizes[0] += 50000;
    p.Samples[0].Size += 50000;
    p.Samples[1].Off += 50000;
    ASSERT_GT(p.Samples[1].Off, int64_t(p.Video.offsets[1]));
    TReadBack r;
    Read(r, Moov(Tracks_Of(p)));
    TPlan want = p;
    for (auto& smp : want.Samples)
        smp.Sound.clear();
    Expect_Plan(want, r.Video);
}

TEST_F(TrackTables, SoundBeforeTheFirstVideoSampleIsNotAttached) {
    TPlan p = Make_Plan({.Samples = 6, .PerChunk = 2, .SoundPerChunk = 1, .Start = 4000});
    // An extra sound chunk of two samples in front of the first video sample.
    p.Sound.offsets.insert(p.Sound.offsets.begin(), 1000);
    p.Sound.stsc = {{1, 2, 1}, {2, 1, 1}};
    p.Sound.sizes.insert(p.Sound.sizes.begin(), {300, 300});
    TReadBack r;
    Read(r, Moov(Tracks_Of(p)));
    Expect_Plan(p, r.Video);
}

TEST_F(TrackTables, FixedSizeSoundOnePiecePerChunk) {
    // Fixed-size sound (2-byte samples, 400 per chunk) after each video chunk.
    TPlan p = Make_Plan({.Samples = 12, .PerChunk = 3, .SoundPerChunk = 0});
    TTrackBoxes snd;
    snd.video = false;
    snd.fixedSize = 2;
    snd.stsc = {{1, 400, 1}};
    int64_t shift = 0;
    std::vector<TPlannedSample>& s = p.Samples;
    // Make room for an 800-byte sound chunk after every video chunk.
    for (size_t k = 0; k < s.size(); ++k) {
        s[k].Off += shift;
        if (k + 1 == s.size() || p.ChunkOf[k + 1] != p.ChunkOf[k]) {
            snd.offsets.push_back(uint64_t(s[k].Off + s[k].Size));
            shift += 800;
        }
    }
    for (size_t c = 0; c < p.Video.offsets.size(); ++c)
        p.Video.offsets[c] = uint64_t(s[c * 3].Off);
    snd.count = int64_t(400 * snd.offsets.size());

    for (int recType : {0, 1}) {
        SCOPED_TRACE(recType);
        session.Scans.Clear();
        TReadBack r;
        Read(r, Moov({p.Video, snd}), 1000003, recType);
        ASSERT_TRUE(r.Video.Ext_Flag);
        EXPECT_EQ(r.Ext.MdatLen, int64_t(snd.offsets.back()) + 800);
        TPlan want = p;
        for (size_t c = 0; c < snd.offsets.size(); ++c) {
            const size_t last = c * 3 + 2;
            const int64_t o = int64_t(snd.offsets[c]);
            uint32_t size;
            if (c + 1 < snd.offsets.size())
                size = uint32_t(s[last + 1].Off - o); // up to the next video sample
            else if (recType == 0)
                size = 2 * 2 * 400; // last video chunk, a piece already attached: twice Z x P
            else
                size = (800 / (2 * 400)) * 2 * 400;
            want.Samples[last].Sound = {{o, size}};
        }
        Expect_Plan(want, r.Video);
    }
}

TEST_F(TrackTables, LastSoundSizeRules) {
    // Sound stsz size field (Z) at 0, first stsc entry at 100, last at 200.
    Bytes img(1024, 0);
    auto put = [&](int64_t off, uint32_t v) { Put_BE32(img.data() + off, v); };
    put(0, 2);
    put(104, 400); // P1
    put(204, 300); // P2
    TMemorySource src(img);
    TVideo v;
    v.STCOArr.resize(2);
    v.STCOArr[0].STSZArr.resize(2);
    v.STCOArr[1].STSZArr.resize(1);
    v.STCONum = 2;
    // Nothing attached yet: Z x P2.
    EXPECT_EQ(Get_LastSoundSize(src, v, 0, 200, 100, 0), 600);
    EXPECT_EQ(Get_LastSoundSize(src, v, 1, 200, 100, 0), 600);
    // The first sample carrying sound decides: L = 2,400 -> 2 x Z x P2 for type
    // 0, (L div (Z x P1)) x Z x P2 = 3 x 600 for others.
    v.STCOArr[0].STSZArr[1].SoundSTSZ_Arr = {{0, 5000, 2400}};
    v.STCOArr[0].STSZArr[1].SoundSTSZ_Num = 1;
    EXPECT_EQ(Get_LastSoundSize(src, v, 0, 200, 100, 0), 1200);
    EXPECT_EQ(Get_LastSoundSize(src, v, 1, 200, 100, 0), 1800);
    // A later sample is not looked at.
    v.STCOArr[1].STSZArr[0].SoundSTSZ_Arr = {{0, 9000, 8000}};
    v.STCOArr[1].STSZArr[0].SoundSTSZ_Num = 1;
    EXPECT_EQ(Get_LastSoundSize(src, v, 1, 200, 100, 0), 1800);
    // Non-positive sample size or samples per chunk: 0.
    put(0, 0);
    TMemorySource noSize(img);
    EXPECT_EQ(Get_LastSoundSize(noSize, v, 0, 200, 100, 0), 0);
    put(0, 2);
    put(104, 0x80000000u);
    TMemorySource badP1(img);
    EXPECT_EQ(Get_LastSoundSize(badP1, v, 0, 200, 100, 0), 0);
}

TEST_F(TrackTables, SampleSizeEntryReads) {
    Bytes img(64, 0);
    Put_BE32(img.data() + 0, 0x00FFFFFF);
    Put_BE32(img.data() + 4, 0x01000000);
    Put_BE32(img.data() + 8, 0);
    Put_BE32(img.data() + 12, 77);
    TMemorySource src(img);
    EXPECT_EQ(Read_SampleSize(src, 16, 0), 0xFFFFFF);
    EXPECT_EQ(Read_SampleSize(src, 16, 4), -1); // 16 MiB or more
    EXPECT_EQ(Read_SampleSize(src, 16, 8), -1); // zero
    EXPECT_EQ(Read_SampleSize(src, 16, 12), 77);
    EXPECT_EQ(Read_SampleSize(src, 12, 12), -1); // at the table end
    EXPECT_EQ(Read_SampleSize(src, 16, -4), -1);
}

TEST_F(TrackTables, DamagedMovieBoxesNeverCrash) {
    // Random byte damage anywhere in the movie box: every outcome is a clean
    // refusal or a consistent table.
    const TPlan p = Make_Plan({.Samples = 40, .PerChunk = 3, .SoundPerChunk = 2, .Seed = 11});
    const Bytes moov = Moov(Tracks_Of(p));
    uint32_t rnd = 99;
    int read = 0;
    for (int round = 0; round < 1500; ++round) {
        Bytes bad = moov;
        const int flips = 1 + int(Next(rnd) % 4);
        for (int f = 0; f < flips; ++f) {
            const size_t at = 8 + Next(rnd) % (bad.size() - 8);
            const uint32_t kind = Next(rnd) % 3;
            bad[at] = kind == 0 ? uint8_t(Next(rnd)) : kind == 1 ? 0xFF : 0x00;
        }
        session.Scans.Clear();
        TReadBack r;
        Bytes image(1024 + bad.size() + 4096, 0);
        std::memcpy(image.data() + 1024, bad.data(), bad.size());
        r.Src = std::make_unique<TMemorySource>(std::move(image));
        TTreeData node;
        Get_MoovInfo(node, *r.Src, 0, r.Con, r.Src->Size(), 1024);
        if (!r.Con.MoovGood) continue;
        Get_MoovTracks(node, *r.Src, r.Con, r.Ext, 0, r.Src->Size());
        if (!r.Ext.MoovGood) continue;
        r.MoovOff = 1024;
        Record(r);
        Get_MOOV_VideoAndSound(*r.Src, session, r.Index, r.Video, 0, r.Src->Size(), r.Keys);
        if (!r.Video.Ext_Flag) continue;
        ++read;
        ASSERT_EQ(r.Video.STCONum, int32_t(r.Video.STCOArr.size()));
        int64_t samples = 0;
        for (const auto& c : r.Video.STCOArr) {
            ASSERT_EQ(c.STSZNum, int32_t(c.STSZArr.size()));
            ASSERT_EQ(c.Log_SNum, samples + 1);
            samples += c.STSZNum;
            for (const auto& smp : c.STSZArr) {
                ASSERT_GE(smp.STSZlen, 1u);
                ASSERT_EQ(smp.SoundSTSZ_Num, int32_t(smp.SoundSTSZ_Arr.size()));
            }
        }
        ASSERT_EQ(r.Keys.Count(), samples);
    }
    EXPECT_GT(read, 0); // some damage leaves the tables readable
}

// ---------------------------------------------------------------- keys and progress

TEST(SampleKeys, LowestIndexWins) {
    TSampleKeys k;
    k.Add(16384, 96, 5);
    k.Add(16384, 96, 2);
    k.Add(16384, 96, 9);
    k.Add(16384, 97, 4);
    k.Add(96, 16384 % 512, 1); // the pair is ordered: (96, 0) is another key
    EXPECT_EQ(k.Find(16384, 96), 2);
    EXPECT_EQ(k.Find(16384, 97), 4);
    EXPECT_EQ(k.Find(96, 0), 1);
    EXPECT_EQ(k.Find(16384, 0), -1);
    EXPECT_EQ(k.Count(), 5);
    k.Clear();
    EXPECT_EQ(k.Count(), 0);
    EXPECT_EQ(k.Find(16384, 96), -1);
}

TEST_F(TrackTables, DuplicateKeysGiveTheFirstSample) {
    // Every sample the same size, one per 512-byte-aligned chunk: one key.
    TTrackBoxes t;
    t.stsc = {{1, 1, 1}};
    for (int i = 0; i < 10; ++i) {
        t.sizes.push_back(1000);
        t.offsets.push_back(uint64_t(1024 * (i + 1)));
    }
    TReadBack r;
    Read(r, Moov({t}));
    ASSERT_TRUE(r.Video.Ext_Flag);
    EXPECT_EQ(r.Keys.Find(1000, 0), 0);
    EXPECT_EQ(r.Keys.Count(), 10);
    for (const auto& c : r.Video.STCOArr)
        EXPECT_TRUE(c.STSZArr[0].STSSFlag); // no sync table: every sample is a sync sample
}

TEST_F(TrackTables, ProgressInPieces) {
    // 341 chunks alternating 1 and 2 samples: 341 sample-to-chunk entries (a
    // piece of 340 and one of 1), 511 samples (one piece of sizes).
    TTrackBoxes t;
    uint64_t off = 512;
    for (uint32_t c = 1; c <= 341; ++c) {
        const uint32_t n = c % 2 ? 1 : 2;
        t.stsc.push_back({c, n, 1});
        t.offsets.push_back(off);
        for (uint32_t j = 0; j < n; ++j) {
            t.sizes.push_back(100);
            off += 100;
        }
    }
    t.hasStss = true;
    t.stss = {1, 4};
    auto sink = std::make_shared<TRecordingSink>();
    auto previous = Set_UISink(sink);
    TReadBack r;
    Read(r, Moov({t}));
    Set_UISink(previous);
    ASSERT_TRUE(r.Video.Ext_Flag);
    EXPECT_TRUE(r.Video.STCOArr[0].STSZArr[0].STSSFlag);
    EXPECT_TRUE(r.Video.STCOArr[2].STSZArr[0].STSSFlag); // sample 4: chunk 3 starts at sample 4
    EXPECT_FALSE(r.Video.STCOArr[1].STSZArr[1].STSSFlag);

    std::vector<std::string> seen;
    for (const auto& m : sink->Messages()) {
        if (m.MsgType == MSG_GAUGE2_RANGE) seen.push_back("range " + m.P[0]);
        if (m.MsgType == MSG_STATUS3) {
            EXPECT_EQ(m.P[2].substr(m.P[2].find(':') + 1), m.P[0]);
            seen.push_back(m.P[2]);
        }
    }
    std::vector<std::string> want = {"range 1",  "已解析:0", "已解析:1", // sample-to-chunk
                                     "range 0",  "已解析:0",             // chunk offsets
                                     "range 0",  "已解析:0",             // sizes
                                     "range 0",  "已解析:0",             // sync samples
                                     "range 340"};
    for (int c = 0; c < 341; ++c)
        want.push_back("已标识:" + std::to_string(c));
    want.insert(want.end(), {"range 1", "已标识:0", "已标识:1"});
    EXPECT_EQ(seen, want);
}

// ---------------------------------------------------------------- size

long Peak_Rss_Kb() {
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double Thread_Cpu_Ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

TEST_F(TrackTables, TwoHundredThousandSamples) {
    const TPlan p = Make_Plan(
        {.Samples = 200000, .PerChunk = 1, .SoundPerChunk = 2, .Gop = 30, .Seed = 3, .SizeSpread = 8000});
    TReadBack r;
    Place(r, Moov(Tracks_Of(p)), 1 << 20);
    Record(r);
    const long rssBefore = Peak_Rss_Kb();
    const double cpu0 = Thread_Cpu_Ms();
    const auto t0 = std::chrono::steady_clock::now();
    Get_MOOV_VideoAndSound(*r.Src, session, r.Index, r.Video, 0, r.ScanEnd, r.Keys);
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu = Thread_Cpu_Ms() - cpu0;
    const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    std::printf("[ timing ] 200000 video samples, 400000 sound samples: %.1f ms wall, %.1f ms cpu, "
                "peak RSS +%ld KiB\n",
                ms, cpu, Peak_Rss_Kb() - rssBefore);
    Expect_Plan(p, r.Video);
    EXPECT_EQ(r.Keys.Count(), 200000);
}

} // namespace
} // namespace qrv
