// Preview samples: the bytes of the sample for each layout, the refusals, the
// messages a row click leads to, and the rotation of the three sample names.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "export/preview_sample.h"
#include "platform/output_guard.h"
#include "scan/records.h"
#include "support/test_env.h"

using namespace qrv;
using test::Read_File;
using test::TTempDir;
using test::Write_File;
namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<uint8_t>;
constexpr int64_t kMiB4 = 4 * 1024 * 1024;

// A medium whose every byte tells its offset apart from its neighbours.
TBytes Medium(int64_t size) {
    TBytes m(static_cast<size_t>(size));
    for (int64_t i = 0; i < size; ++i)
        m[size_t(i)] = uint8_t((uint64_t(i) * 2654435761u) >> 11) | 1;
    return m;
}

TFragmenArr Data(int64_t soff, int64_t eoff, int32_t chunk, int64_t fill = 0) {
    TFragmenArr e;
    e.FragmenType = ENTRY_DATA;
    e.FragmeSnum = chunk;
    e.FragmenSoff = soff;
    e.FragmenEoff = eoff;
    e.FragmentLastErySoff = soff;
    e.FragmentFreeSpace = fill;
    return e;
}

TFragmenArr Movie(int64_t soff, int64_t eoff) {
    TFragmenArr e = Data(soff, eoff, -1);
    e.FragmenType = ENTRY_MOVIE;
    return e;
}

TFragmenArr File_Head(int64_t soff) {
    TFragmenArr e = Data(soff, soff + 512, -1);
    e.FragmenType = ENTRY_FILE_HEAD;
    return e;
}

TRebuildResult Result(uint8_t layout, std::vector<TFragmenArr> entries) {
    TRebuildResult r;
    r.CamerType = layout;
    r.Fragmenum = int32_t(entries.size());
    r.FragmenArray = std::move(entries);
    return r;
}

// Byte-string assembly for the expected samples.
struct TExpect {
    const TBytes& medium;
    TBytes out;
    TExpect& Copy(int64_t a, int64_t b) {
        out.insert(out.end(), medium.begin() + a, medium.begin() + b);
        return *this;
    }
    TExpect& Zeros(int64_t n) {
        out.insert(out.end(), size_t(n), 0);
        return *this;
    }
    TExpect& Zeros_To(int64_t size) { return Zeros(size - int64_t(out.size())); }
    TExpect& Be32_At(int64_t at, uint32_t v) {
        Put_BE32(out.data() + at, v);
        return *this;
    }
};

const uint8_t kQtHead[20] = {0,   0,   0,    0x14, 'f',  't',  'y', 'p', 'q', 't',
                             ' ', ' ', 0x20, 0x07, 0x09, 0x00, 'q', 't', ' ', ' '};

TBytes Build(const TRebuildResult& r, TBytes medium, TPreviewOutcome want, const TTempDir& dir) {
    TMemorySource src(std::move(medium));
    auto out = TOutputFile::Create(dir.File("sample"), TOutputGuard::Without_Sources());
    EXPECT_TRUE(out);
    EXPECT_EQ(Build_PreviewSample(r, src, *out), want);
    EXPECT_TRUE(out->Commit_Replacing());
    return Read_File(dir.File("sample"));
}

} // namespace

// What the sample holds for each layout: head, window, movie header.
TEST(PreviewSample, BytesForEachLayout) {
    TTempDir dir("qrv-preview");
    TBytes m = Medium(12 << 20);
    // A recording head at 6,000,000 whose first box says 24 bytes; another at
    // 6,500,000 whose first box size (256) is not believed.
    Put_BE32(m.data() + 6000000, 24);
    Put_BE32(m.data() + 6500000, 256);

    struct TCase {
        const char* name;
        TRebuildResult r;
        TBytes want;
    };
    std::vector<TCase> cases;
    {
        // Lost head: 4096 bytes synthesized, mdat size 4 MiB + 4096 - 20 =
        // 0x00400FEC; media shorter than the window, zero-filled after it; a
        // reloaded trailing piece; the movie header in whole sectors from its
        // unaligned start.
        TRebuildResult r =
            Result(2, {Movie(9000100, 9003000), Data(1048576, 1348576, 0, 1000), Data(2000000, 2100000, 7)});
        r.HeadFlag = 1;
        r.Video_FirLogSoff = 4096;
        TFragmenArr& t = r.FragmenArray[2];
        t.LastFragmenum = 1;
        t.LastFragmen.FragmentUpFreeSpace = 100;
        t.LastFragmen.FragmentLastSoff = 8000000;
        t.LastFragmen.FragmentLastEoff = 8001000;
        t.LastFragmen.FragmentDownFreeSpace = 50;
        TExpect e{m, {}};
        e.out.assign(kQtHead, kQtHead + 20);
        e.out.insert(e.out.end(), {0x00, 0x40, 0x0F, 0xEC, 'm', 'd', 'a', 't'});
        e.Zeros_To(4096).Copy(1048576, 1348576).Zeros(1000).Copy(2000000, 2100000).Zeros(100);
        e.Copy(8000000, 8001000).Zeros_To(4096 + kMiB4).Copy(9000100, 9003008);
        cases.push_back({"synthesized head 4096", r, e.out});
    }
    {
        // A head length recorded by analysis wins over the first chunk's
        // offset: the first sample starts 100 bytes into its sector.
        TRebuildResult r = Result(2, {Movie(9000448, 9000600), Data(1048576, 1049576, 0)});
        r.HeadFlag = 1;
        r.Video_FirLogSoff = 4196;
        r.HeadLenx = 4096;
        TExpect e{m, {}};
        e.out.assign(kQtHead, kQtHead + 20);
        e.out.insert(e.out.end(), {0x00, 0x40, 0x0F, 0xEC, 'm', 'd', 'a', 't'});
        e.Zeros_To(4096).Copy(1048576, 1049576).Zeros_To(4096 + kMiB4).Copy(9000448, 9000960);
        cases.push_back({"head length from analysis", r, e.out});
    }
    {
        // Own head: the mdat box after the 24-byte first box ends with the
        // window. The movie header's copy starts at its sector: the bytes in
        // front of the moov box are the last media bytes.
        TRebuildResult r =
            Result(2, {Movie(9000100, 9000511), File_Head(6000000), Data(6000512, 6400000, 0)});
        r.FragmenArray[0].FragmentLastErySoff = 8999936;
        TExpect e{m, {}};
        e.Copy(6000000, 6400000).Copy(8999936, 9000100).Zeros_To(kMiB4).Be32_At(24, uint32_t(kMiB4 - 24));
        e.Copy(9000100, 9000960);
        cases.push_back({"own head, first box 24", r, e.out});
    }
    {
        TRebuildResult r =
            Result(2, {Movie(9000000, 9000512), File_Head(6500000), Data(6500512, 6600000, 0)});
        TExpect e{m, {}};
        e.Copy(6500000, 6600000).Zeros_To(kMiB4).Be32_At(20, uint32_t(kMiB4 - 20)).Copy(9000000, 9000960);
        cases.push_back({"first box above 100 taken as 20", r, e.out});
    }
    {
        // Movie header first: its copy and fill, then the data entries. More
        // than 4 MiB of media: the window is cut where it is full; the
        // overlapping entry is left out.
        TRebuildResult r = Result(0, {Movie(100000, 104000), Data(200000, 1200000, 0, 500),
                                      Data(250000, 260000, 0), Data(3000000, 7000000, 9)});
        r.FragmenArray[0].FragmentFreeSpace = 96;
        r.FragmenArray[2].ChongHeFlag = true;
        TExpect e{m, {}};
        e.Copy(100000, 104000).Zeros(96).Copy(200000, 1200000).Zeros(500);
        e.Copy(3000000, 3000000 + (kMiB4 - 1000500));
        cases.push_back({"movie header first, media over 4 MiB", r, e.out});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBytes got = Build(c.r, m, PREVIEW_BUILT, dir);
        ASSERT_EQ(got.size(), c.want.size());
        EXPECT_TRUE(got == c.want);
    }
}

// Results that give no sample, including records a forged result file could hold.
TEST(PreviewSample, RefusalsAndUntrustedRecords) {
    TTempDir dir("qrv-preview");
    const TBytes m = Medium(1 << 20);
    auto movieLast = [](std::vector<TFragmenArr> data) {
        data.insert(data.begin(), Movie(500000, 500100));
        return Result(2, std::move(data));
    };
    struct TCase {
        const char* name;
        TRebuildResult r;
        TPreviewOutcome want;
    };
    std::vector<TCase> cases = {
        {"media starts at chunk 5", movieLast({Data(4096, 8192, 5), Data(8192, 9000, 0)}),
         PREVIEW_NOT_FROM_START},
        {"only the movie header", movieLast({}), PREVIEW_NO_MEDIA},
        {"only overlapping media", movieLast({Data(4096, 8192, 0)}), PREVIEW_NO_MEDIA},
        {"unknown layout", Result(5, {Movie(0, 100), Data(4096, 8192, 0)}), PREVIEW_NO_MEDIA},
        {"copy start below the medium", movieLast({Data(4096, 8192, 0)}), PREVIEW_NO_MEDIA},
        {"negative copy start", movieLast({Data(-4096, 8192, 0)}), PREVIEW_NO_MEDIA},
        {"movie header end at the top of the range", movieLast({Data(4096, 8192, 0)}), PREVIEW_NO_MEDIA},
        {"movie header of a terabyte", movieLast({Data(4096, 8192, 0)}), PREVIEW_NO_MEDIA},
        {"head shorter than its template", movieLast({Data(4096, 8192, 0)}), PREVIEW_HEAD_TOO_SHORT},
        {"head of two gigabytes", movieLast({Data(4096, 8192, 0)}), PREVIEW_NO_MEDIA},
    };
    cases[2].r.FragmenArray[1].ChongHeFlag = true;
    cases[4].r.FragmenArray[1].FragmentLastErySoff = -512;
    cases[6].r.FragmenArray[0].FragmenEoff = INT64_MAX;
    cases[7].r.FragmenArray[0].FragmenEoff = int64_t(1) << 40;
    cases[8].r.HeadFlag = 1;
    cases[8].r.Video_FirLogSoff = 27;
    cases[9].r.HeadFlag = 1;
    cases[9].r.Video_FirLogSoff = INT32_MAX;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Build(c.r, m, c.want, dir);
    }

    // Values that are out of range but still give a sample, bounded by the
    // window: more entries claimed than present, a copy end and fills at the
    // top of the range, reads past the end of the medium.
    TRebuildResult r = movieLast({Data(4096, INT64_MAX, 0, INT64_MAX), Data(0, 10, 0, INT64_MAX)});
    r.Fragmenum = 1000;
    r.FragmenArray[1].LastFragmenum = 1;
    r.FragmenArray[1].LastFragmen.FragmentLastEoff = INT64_MAX;
    r.FragmenArray[1].LastFragmen.FragmentUpFreeSpace = INT64_MAX;
    TBytes got = Build(r, m, PREVIEW_BUILT, dir);
    ASSERT_EQ(int64_t(got.size()), kMiB4 + 224);
    EXPECT_TRUE(std::equal(got.begin() + 24, got.begin() + int64_t(m.size()) - 4096, m.begin() + 4096 + 24));
    EXPECT_TRUE(std::all_of(got.begin() + int64_t(m.size()) - 4096, got.begin() + kMiB4,
                            [](uint8_t b) { return b == 0; }));
    r.Fragmenum = -3;
    Build(r, m, PREVIEW_NO_MEDIA, dir);
}

namespace {

class TryPlay : public ::testing::Test {
  protected:
    void SetUp() override {
        sink = std::make_shared<TRecordingSink>();
        Set_UISink(sink);
        Set_PreviewPath("");
        medium = Medium(1 << 20);
        Write_File(dir.File("card.img"), medium);
        session.Set_SourcePath(dir.File("card.img"));
    }
    void TearDown() override {
        Set_UISink(nullptr);
        session.Set_SourcePath("");
        Set_PreviewPath("");
    }
    // The log lines as "kind|description".
    std::vector<std::string> Logs() const {
        std::vector<std::string> out;
        for (const auto& msg : sink->OfType(MSG_LOG))
            out.push_back(msg.P[0] + "|" + msg.P[2]);
        return out;
    }
    static TRebuildResult Good() {
        TRebuildResult r = Result(2, {Movie(500000, 500100), File_Head(0), Data(512, 300000, 0)});
        return r;
    }
    TTempDir dir{"qrv-tryplay"};
    TBytes medium;
    std::shared_ptr<TRecordingSink> sink;
    TScanSession session;
};

} // namespace

// Every way a row click ends, as the user sees it in the log, and the sample
// and message 9 on success.
TEST_F(TryPlay, LogLinesAndMessageNine) {
    TRebuildResult late = Good();
    late.FragmenArray[2].FragmeSnum = 5;
    const int64_t good = session.Rebuilds.Append(Good());
    const int64_t fromChunk5 = session.Rebuilds.Append(late);
    const int64_t headerOnly = session.Rebuilds.Append(Result(2, {Movie(500000, 500100)}));
    const std::string sample = dir.File("JN0A0928");

    struct TCase {
        const char* name;
        std::string source;
        int64_t index;
        TPreviewOutcome want;
        std::string log;
    };
    const std::string missing = dir.File("gone.img");
    const TCase cases[] = {
        {"chunk 5", dir.File("card.img"), fromChunk5, PREVIEW_NOT_FROM_START,
         "错误[Play0002]|此文件需要保存后才能播放,请根据[级别]进行判断!"},
        {"no media", dir.File("card.img"), headerOnly, PREVIEW_NO_MEDIA, "错误[Play0001]|末知原因播放失败!"},
        {"index outside the list", dir.File("card.img"), 99, PREVIEW_NO_MEDIA,
         "错误[Play0001]|末知原因播放失败!"},
        {"no source path", "", good, PREVIEW_NO_SOURCE, "错误[Play0000]|获取磁盘句柄出错，程序将退出!"},
        {"source gone", missing, good, PREVIEW_NO_SOURCE, "错误[Play0000]|获取文件句柄出错，程序将退出!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sink->Clear();
        session.Set_SourcePath(c.source);
        EXPECT_EQ(Try_Play(session, sample, c.index), c.want);
        EXPECT_EQ(Logs(), std::vector<std::string>{c.log});
        EXPECT_TRUE(sink->OfType(MSG_START_PLAY).empty());
        EXPECT_FALSE(fs::exists(sample));
        EXPECT_EQ(Preview_Path(), "");
    }

    sink->Clear();
    session.Set_SourcePath(dir.File("card.img"));
    EXPECT_EQ(Try_Play(session, sample, good), PREVIEW_BUILT);
    EXPECT_TRUE(Logs().empty());
    auto nine = sink->OfType(MSG_START_PLAY);
    ASSERT_EQ(nine.size(), 1u);
    EXPECT_EQ(nine[0].P[0], sample);
    EXPECT_EQ(Preview_Path(), sample);
    TBytes got = Read_File(sample);
    ASSERT_EQ(int64_t(got.size()), kMiB4 + 224);
    EXPECT_TRUE(std::equal(got.begin() + 24, got.begin() + 300000, medium.begin() + 24));
    EXPECT_FALSE(Preview_InUse().In_Use(sample)) << "a finished sample is free for the player";
}

// The output guard decides where a sample may be written: a refused sample
// leaves no file and a log line; the result is copied when the preview starts.
TEST_F(TryPlay, GuardRefusalAndResultCopiedAtStart) {
    session.Rebuilds.Append(Good());
    Write_File(dir.File("JN0B0928"), {1, 2, 3});
    TPreviewOutput refuse;
    refuse.Allowed = [](const std::string&) { return false; };
    refuse.Create = [](const std::string&) { return std::unique_ptr<TOutputFile>(); };
    TPreviewRequest req = Start_Preview(session, 0, dir.Path(), refuse);
    EXPECT_EQ(req.Sample.Path(), dir.File("JN0A0928"));
    EXPECT_TRUE(fs::exists(dir.File("JN0B0928"))) << "nothing is deleted where writing is refused";
    EXPECT_EQ(Try_Play(std::move(req)), PREVIEW_WRITE_FAILED);
    EXPECT_EQ(Logs(), std::vector<std::string>{"错误[Play0003]|创建文件出错:" + dir.File("JN0A0928")});
    EXPECT_FALSE(fs::exists(dir.File("JN0A0928")));

    // A load clears the list after the click: the sample is still built from the copy.
    sink->Clear();
    req = Start_Preview(session, 0, dir.Path());
    session.Rebuilds.Clear();
    session.Set_SourcePath("");
    EXPECT_FALSE(fs::exists(dir.File("JN0B0928"))) << "unused samples are deleted";
    EXPECT_EQ(Try_Play(std::move(req)), PREVIEW_BUILT);
    EXPECT_EQ(int64_t(Read_File(dir.File("JN0A0928")).size()), kMiB4 + 224);
}

// Three names in rotation: a name in use (held by the player or being
// written) is neither deleted nor chosen.
TEST(PreviewNames, RotationSkipsFilesInUse) {
    TTempDir dir("qrv-names");
    const TPreviewOutput out = Default_PreviewOutput("");
    for (const char* n : kPreviewNames)
        Write_File(dir.File(n), {7, 7, 7});
    TInUseMark held(dir.File("JN0A0928")); // the player plays the first sample
    TInUseMark b = Choose_PreviewPath(dir.Path(), out);
    EXPECT_EQ(b.Path(), dir.File("JN0B0928"));
    EXPECT_EQ(Read_File(dir.File("JN0A0928")), (TBytes{7, 7, 7}));
    EXPECT_FALSE(fs::exists(dir.File("JN0B0928")));
    EXPECT_FALSE(fs::exists(dir.File("JN0C0928")));
    TInUseMark c = Choose_PreviewPath(dir.Path(), out); // the second sample is still being written
    EXPECT_EQ(c.Path(), dir.File("JN0C0928"));
    EXPECT_TRUE(Choose_PreviewPath(dir.Path(), out).Empty()) << "all three in use";
    b.Release();
    EXPECT_EQ(Choose_PreviewPath(dir.Path(), out).Path(), dir.File("JN0B0928"));
    held.Release();
    c.Release();
    EXPECT_EQ(Choose_PreviewPath(dir.Path(), out).Path(), dir.File("JN0A0928"));
    EXPECT_FALSE(fs::exists(dir.File("JN0A0928")));

    // Clicks from several threads at once never share a name.
    std::vector<TInUseMark> got(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { got[i] = Choose_PreviewPath(dir.Path(), out); });
    for (auto& t : threads)
        t.join();
    std::set<std::string> names;
    for (const auto& m : got)
        if (!m.Empty()) {
            EXPECT_TRUE(names.insert(m.Path()).second);
        }
    EXPECT_EQ(names.size(), 3u);
}
