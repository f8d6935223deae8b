// End-to-end reassembly: camera recordings are written into disk images the
// way a medium holds them after deletion (contiguous, cut into cluster-aligned
// pieces with other data between, with the head cluster overwritten,
// interleaved with another recording), the real scan and analysis run over
// the image, and every rebuilt recording is written piece by piece and
// compared with the original byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "analysis/output.h"
#include "analysis/rebuild.h"
#include "common/byte_order.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "export/export_job.h"
#include "media/raw_access.h"
#include "pipeline/scan_pipeline.h"
#include "results/results_model.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/disk_image.h"
#include "support/recording_writer.h"
#include "support/test_env.h"

namespace qrv {
namespace {

using test::TDiskImage;
using test::TRecording;
using test::TRecordingPlan;

// One recording as it lies on the image: the clusters that hold its file
// clusters in order (-1 where a file cluster is not on the medium).
struct TPlaced {
    std::string Name;
    TRecording Rec;
    std::vector<int64_t> Clusters;
    int64_t LostUntil = 0; // file bytes [0, LostUntil) are not on the medium
    int Runs = 1;          // runs of clusters the file lies in on the medium
    int64_t Disk_Of(const TDiskImage& img, int64_t fileOff) const {
        const int64_t c = Clusters.at(size_t(fileOff / img.ClusterBytes));
        return img.Cluster_Offset(c) + fileOff % img.ClusterBytes;
    }
    // Where the movie header entry of its rebuild result starts.
    int64_t Header_Disk(const TDiskImage& img) const {
        return Rec.MoovOff == 0 || Rec.FtypOff + Rec.MoovOff < Rec.MdatOff ? Disk_Of(img, Rec.FtypOff)
                                                                          : Disk_Of(img, Rec.MoovOff);
    }
};

TRecording Make(uint32_t seed, test::TLayout layout, double seconds = 6.0) {
    TRecordingPlan s;
    s.Seed = seed;
    s.Seconds = seconds;
    s.Width = 320;
    s.Height = 240;
    s.Quality = 26;
    s.Layout = layout;
    s.Model = "DSJ-T9";
    return test::Make_Recording(s);
}

int64_t Clusters_For(const TDiskImage& img, const TRecording& r) {
    return (int64_t(r.Bytes.size()) + img.ClusterBytes - 1) / img.ClusterBytes;
}

// File clusters that hold the start of a video sample.
std::vector<bool> Sample_Clusters(const TDiskImage& img, const TRecording& r) {
    std::vector<bool> has(size_t(Clusters_For(img, r)), false);
    for (const auto& v : r.Video) has[size_t(v.Offset / img.ClusterBytes)] = true;
    return has;
}

// Cuts the recording into `pieces` runs of clusters at cluster boundaries
// where the next run's first cluster holds the start of a video sample (the
// seams then lie between two fragments that both hold samples), and places
// the runs from cluster `at` on in forward order with `gap` clusters of
// other data between them. Returns the cluster after the last one used.
int64_t Place_Pieces(const TDiskImage& img, TPlaced& p, int64_t at, int pieces, int64_t gap, uint32_t seed) {
    const int64_t n = Clusters_For(img, p.Rec);
    std::vector<bool> has = Sample_Clusters(img, p.Rec);
    std::vector<int64_t> cuts; // file cluster indexes where a new run starts
    for (int k = 1; k < pieces; ++k) {
        int64_t c = n * k / pieces;
        while (c < n && !has[size_t(c)]) ++c;
        if (c < n && (cuts.empty() || c > cuts.back() + 1)) cuts.push_back(c);
    }
    p.Clusters.assign(size_t(n), -1);
    int64_t disk = at;
    for (int64_t c = 0; c < n; ++c) {
        if (std::find(cuts.begin(), cuts.end(), c) != cuts.end()) {
            for (int64_t g = 0; g < gap; ++g)
                img.Write_Raw(img.Cluster_Offset(disk + g),
                              test::Pattern_Bytes(size_t(img.ClusterBytes), seed + uint32_t(disk + g)));
            disk += gap;
        }
        p.Clusters[size_t(c)] = disk++;
    }
    img.Write_Clusters(p.Clusters, p.Rec.Bytes);
    p.Runs = int(cuts.size()) + 1;
    return disk;
}

struct TRun {
    std::shared_ptr<TScanSession> Session;
    std::vector<TRebuildResult> Results;
    std::shared_ptr<TRecordingSink> Sink;
};

TRun Scan(const TDiskImage& img, int scheme, int interleave = 0, bool widen = true) {
    TRun run;
    run.Session = std::make_shared<TScanSession>();
    TScanSession& session = *run.Session;
    auto sink = std::make_shared<TRecordingSink>();
    auto old = Set_UISink(sink);
    TScanParams p;
    p.Node = img.Node();
    p.Mode = 0;
    p.StartSec = img.V / 512;
    p.EndSec = (img.V + img.VolumeBytes) / 512;
    p.IntervalScheme = scheme;
    p.InterleaveScheme = interleave;
    p.Widen = widen;
    Run_ScanPipeline(session, p);
    Set_UISink(old);
    run.Sink = sink;
    for (int64_t i = 0; i < session.Rebuilds.Count(); ++i)
        run.Results.push_back(session.Rebuilds.Get(i));
    return run;
}

const TRebuildResult* Result_For(const TRun& run, int64_t headerDisk) {
    for (const auto& r : run.Results)
        if (r.Fragmenum > 1 && !r.FragmenArray[0].ChongHeFlag && r.FragmenArray[0].FragmenSoff == headerDisk) return &r;
    return nullptr;
}

std::vector<uint8_t> Rebuild(const TDiskImage& img, const TRebuildResult& r, const std::string& path) {
    auto src = Open_Source(img.Path);
    EXPECT_TRUE(src);
    auto out = TOutputFile::Create(path, TOutputGuard({img.Path}));
    EXPECT_TRUE(out);
    EXPECT_TRUE(Write_Recording(r, *src, *out));
    EXPECT_TRUE(out->Commit_Replacing());
    return test::Read_File(path);
}

// ffmpeg's error output when decoding the whole file (empty: clean).
std::string Decode_Errors(const std::string& path) {
    std::string out;
    test::Run_Command("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1", &out);
    return out;
}

// First position where the two differ from `from` on, or -1.
int64_t First_Difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int64_t from) {
    const int64_t n = int64_t(std::min(a.size(), b.size()));
    for (int64_t i = from; i < n; ++i)
        if (a[size_t(i)] != b[size_t(i)]) return i;
    return a.size() == b.size() ? -1 : n;
}

// The whole recording is on the medium: the rebuilt file must be identical,
// decode cleanly and rate level 0.
void Expect_Exact(const TDiskImage& img, const TRun& run, const TPlaced& p, const test::TTempDir& dir) {
    SCOPED_TRACE(p.Name);
    const TRebuildResult* r = Result_For(run, p.Header_Disk(img));
    ASSERT_NE(r, nullptr) << "no result for the recording";
    const std::string path = dir.File(p.Name + ".mp4");
    std::vector<uint8_t> got = Rebuild(img, *r, path);
    EXPECT_EQ(got.size(), p.Rec.Bytes.size());
    EXPECT_EQ(First_Difference(got, p.Rec.Bytes, 0), -1);
    EXPECT_EQ(r->HeadFlag, 0);
    EXPECT_EQ(r->Leavelx, 0);
    // One data fragment per run of clusters (each run starts with a sample).
    int data = 0;
    for (const auto& e : r->FragmenArray) data += e.FragmenType == ENTRY_DATA && !e.ChongHeFlag;
    EXPECT_EQ(data, p.Runs);
    EXPECT_EQ(Decode_Errors(path), "");
}

class TRebuild : public testing::Test {
  protected:
    void SetUp() override {
        if (!test::Have_Program("ffmpeg")) QRV_SKIP_WITHOUT("ffmpeg is not installed");
    }
    test::TTempDir dir{"qrv-rebuild"};
};

// ---------------------------------------------------------------- raw images

// The whole job as an operator runs it: scan, list, check every row, export.
// Every exported file must be one of the recordings put on the medium, byte for byte.
TEST_F(TRebuild, ExportWritesTheOriginalRecordings) {
    TDiskImage img = test::Make_RawImage(dir.File("export.img"), 48 << 20, 32768);
    std::vector<TPlaced> placed;
    int64_t at = 8;
    {
        TPlaced p{"contiguous", Make(31, test::TLayout::Tail), {}, 0};
        p.Clusters.resize(size_t(Clusters_For(img, p.Rec)));
        for (size_t i = 0; i < p.Clusters.size(); ++i) p.Clusters[i] = at + int64_t(i);
        img.Write_Clusters(p.Clusters, p.Rec.Bytes);
        at += int64_t(p.Clusters.size()) + 40;
        placed.push_back(std::move(p));
    }
    {
        TPlaced p{"pieces3", Make(32, test::TLayout::Tail), {}, 0};
        Place_Pieces(img, p, at, 3, 5, 3000u);
        placed.push_back(std::move(p));
    }
    TRun run = Scan(img, 0);
    ASSERT_EQ(run.Session->SourcePath(), img.Path);

    auto model = std::make_shared<TResultsModel>();
    model->Set_Session(run.Session);
    auto old = Set_UISink(std::make_shared<TResultsSink>(model, nullptr));
    To_View(*run.Session, 0, run.Session->Rebuilds.Count());
    ASSERT_EQ(model->Count(), 2);
    model->Check_All();
    TSaveSummary sum = Save_ToFile_One(*run.Session, *model, dir.Path());
    Set_UISink(old);

    ASSERT_TRUE(sum.Ok());
    ASSERT_EQ(sum.Saved, 2);
    ASSERT_EQ(sum.Files.size(), 2u);
    int matched = 0;
    for (const auto& f : sum.Files) {
        auto got = test::Read_File(f);
        for (const auto& p : placed) matched += got == p.Rec.Bytes;
    }
    EXPECT_EQ(matched, 2);
    for (int64_t i = 0; i < model->Count(); ++i) EXPECT_FALSE(model->Checked(i)) << "written rows are unchecked";
}

TEST_F(TRebuild, RawImageContiguousAndFragmentedRecordings) {
    TDiskImage img = test::Make_RawImage(dir.File("raw.img"), 96 << 20, 32768);
    std::vector<TPlaced> placed;
    int64_t at = 8;
    {
        TPlaced p{"contiguous", Make(11, test::TLayout::Tail), {}, 0};
        p.Clusters.resize(size_t(Clusters_For(img, p.Rec)));
        for (size_t i = 0; i < p.Clusters.size(); ++i) p.Clusters[i] = at + int64_t(i);
        img.Write_Clusters(p.Clusters, p.Rec.Bytes);
        at += int64_t(p.Clusters.size()) + 40;
        placed.push_back(std::move(p));
    }
    for (int pieces = 2; pieces <= 6; ++pieces) {
        TPlaced p{"pieces" + std::to_string(pieces), Make(20 + pieces, test::TLayout::Tail), {}, 0};
        at = Place_Pieces(img, p, at, pieces, 3 + pieces, 1000u * pieces) + 40;
        placed.push_back(std::move(p));
    }
    TRun run = Scan(img, 0);
    for (const TPlaced& p : placed) Expect_Exact(img, run, p, dir);
}

TEST_F(TRebuild, RawImageHeadOverwrittenGetsASynthesizedHead) {
    TDiskImage img = test::Make_RawImage(dir.File("tail.img"), 48 << 20, 32768);
    TPlaced p{"tail", Make(31, test::TLayout::Tail), {}, 32768};
    p.Clusters.resize(size_t(Clusters_For(img, p.Rec)));
    for (size_t i = 0; i < p.Clusters.size(); ++i) p.Clusters[i] = 100 + int64_t(i);
    img.Write_Clusters(p.Clusters, p.Rec.Bytes);
    img.Write_Raw(img.Cluster_Offset(100), test::Pattern_Bytes(32768, 99)); // the head cluster is gone
    TRun run = Scan(img, 0);
    const TRebuildResult* r = Result_For(run, p.Disk_Of(img, p.Rec.MoovOff));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->HeadFlag, 1);
    // The first sample found is the first one that starts in the second
    // cluster; its sector lands at HeadLenx.
    ASSERT_GE(r->HeadLenx, 32768 - 511);
    std::vector<uint8_t> got = Rebuild(img, *r, dir.File("tail.mp4"));
    ASSERT_EQ(got.size(), p.Rec.Bytes.size());
    EXPECT_EQ(0, std::memcmp(got.data(), kHeadTemplate, 40));
    EXPECT_EQ(Get_BE64(got.data() + 40), uint64_t(p.Rec.MoovOff - 32));
    EXPECT_TRUE(std::all_of(got.begin() + 48, got.begin() + r->HeadLenx, [](uint8_t c) { return c == 0; }));
    // Everything that is still on the medium comes back in place.
    EXPECT_EQ(First_Difference(got, p.Rec.Bytes, std::max<int64_t>(r->HeadLenx, p.LostUntil)), -1);
    // The samples of the lost cluster are zeros: a decoder reports them, but
    // the file opens. The level reflects the part found.
    std::string out;
    EXPECT_EQ(test::Run_Command("ffprobe -v quiet -show_format '" + dir.File("tail.mp4") + "' >/dev/null", &out), 0);
    EXPECT_LE(r->Leavelx, 1);
}

TEST_F(TRebuild, RawImageFrontRecordings) {
    TDiskImage img = test::Make_RawImage(dir.File("front.img"), 64 << 20, 32768);
    std::vector<TPlaced> placed;
    int64_t at = 300;
    for (int k = 0; k < 2; ++k) {
        TPlaced p{"front" + std::to_string(k), Make(41 + k, test::TLayout::Front), {}, 0};
        if (k == 0) {
            p.Clusters.resize(size_t(Clusters_For(img, p.Rec)));
            for (size_t i = 0; i < p.Clusters.size(); ++i) p.Clusters[i] = at + int64_t(i);
            img.Write_Clusters(p.Clusters, p.Rec.Bytes);
            at += int64_t(p.Clusters.size()) + 50;
        } else {
            at = Place_Pieces(img, p, at, 4, 5, 777) + 50;
        }
        placed.push_back(std::move(p));
    }
    // A head that holds its movie box is followed by its media data: the
    // one-way default window searches above it, as do the reverse and
    // both-ways windows, and each rebuilds both recordings in one pass.
    for (int scheme : {0, 2, 4}) {
        SCOPED_TRACE(scheme);
        TRun run = Scan(img, scheme, 0, false);
        for (const TPlaced& p : placed) Expect_Exact(img, run, p, dir);
    }
}

TEST_F(TRebuild, RawImageTwoInterleavedRecordings) {
    TDiskImage img = test::Make_RawImage(dir.File("inter.img"), 64 << 20, 32768);
    TPlaced a{"A", Make(51, test::TLayout::Tail), {}, 0};
    TPlaced b{"B", Make(52, test::TLayout::Tail), {}, 0};
    // Runs of three clusters, alternating A and B, each run starting with a
    // cluster that holds a video sample start.
    auto runs = [&](const TPlaced& p) {
        std::vector<bool> has = Sample_Clusters(img, p.Rec);
        std::vector<std::pair<int64_t, int64_t>> out; // first, count
        const int64_t n = int64_t(has.size());
        int64_t c = 0;
        while (c < n) {
            int64_t e = std::min(n, c + 3);
            while (e < n && !has[size_t(e)]) ++e;
            out.emplace_back(c, e - c);
            c = e;
        }
        return out;
    };
    auto ra = runs(a), rb = runs(b);
    a.Runs = int(ra.size());
    b.Runs = int(rb.size());
    ASSERT_GE(a.Runs, 3);
    a.Clusters.assign(size_t(Clusters_For(img, a.Rec)), -1);
    b.Clusters.assign(size_t(Clusters_For(img, b.Rec)), -1);
    int64_t disk = 200;
    for (size_t i = 0; i < std::max(ra.size(), rb.size()); ++i) {
        if (i < ra.size())
            for (int64_t k = 0; k < ra[i].second; ++k) a.Clusters[size_t(ra[i].first + k)] = disk++;
        if (i < rb.size())
            for (int64_t k = 0; k < rb[i].second; ++k) b.Clusters[size_t(rb[i].first + k)] = disk++;
    }
    img.Write_Clusters(a.Clusters, a.Rec.Bytes);
    img.Write_Clusters(b.Clusters, b.Rec.Bytes);
    TRun run = Scan(img, 0);
    Expect_Exact(img, run, a, dir);
    Expect_Exact(img, run, b, dir);
}

// Recordings the cameras write besides the common one (a video chunk of one
// sample and its sound): all-intra streams without a sync sample table, and
// video-only recordings with several samples per chunk, whole or in pieces
// whose seams fall inside a chunk. Each comes back byte for byte at level 0.
TEST_F(TRebuild, CameraVariantsComeBackWhole) {
    struct TCase {
        const char* Name;
        test::TLayout Layout;
        int Gop;
        bool Stss;
        bool Sound;
        int PerChunk;
        int Pieces;
        bool Params = false; // SEI and parameter sets ahead of the slice of every IDR sample
    };
    const TCase cases[] = {
        {"all-intra, no sync table", test::TLayout::Tail, 1, false, true, 1, 1},
        {"all-intra, no sync table, pieces", test::TLayout::Tail, 1, false, true, 1, 3},
        {"video only, 3 per chunk", test::TLayout::Tail, 25, true, false, 3, 1},
        {"video only, 4 per chunk, pieces", test::TLayout::Tail, 25, true, false, 4, 4},
        {"video only, 5 per chunk, front, pieces", test::TLayout::Front, 25, true, false, 5, 3},
        {"video only, a chunk per second, parameter sets", test::TLayout::Tail, 25, true, false, 25, 1, true},
        {"video only, one chunk, parameter sets, pieces", test::TLayout::Tail, 25, true, false, 100, 3, true},
        {"video only, one chunk, front, parameter sets", test::TLayout::Front, 25, true, false, 100, 1, true},
    };
    TDiskImage img = test::Make_RawImage(dir.File("variants.img"), 96 << 20, 32768);
    std::vector<TPlaced> placed;
    int64_t at = 8;
    uint32_t seed = 80;
    for (const TCase& c : cases) {
        TRecordingPlan s;
        s.Seed = ++seed;
        s.Seconds = 4.0;
        s.Width = 320;
        s.Height = 240;
        s.Quality = 26;
        s.Layout = c.Layout;
        s.Gop = c.Gop;
        s.Stss = c.Stss;
        s.Sound = c.Sound;
        s.SamplesPerChunk = c.PerChunk;
        s.SeiFirst = s.ParamsFirst = s.ParamsEveryIdr = c.Params;
        TPlaced p{c.Name, test::Make_Recording(s), {}, 0};
        if (c.Pieces == 1) {
            p.Clusters.resize(size_t(Clusters_For(img, p.Rec)));
            for (size_t i = 0; i < p.Clusters.size(); ++i) p.Clusters[i] = at + int64_t(i);
            img.Write_Clusters(p.Clusters, p.Rec.Bytes);
            at += int64_t(p.Clusters.size()) + 40;
        } else {
            at = Place_Pieces(img, p, at, c.Pieces, 5, 500u * seed) + 40;
        }
        placed.push_back(std::move(p));
    }
    TRun run = Scan(img, 0);
    for (const TPlaced& p : placed) Expect_Exact(img, run, p, dir);
}

// A movie box at the front and the recording's last piece gone (overwritten):
// the export keeps the file's full length with zeros where the last piece was,
// the row shows that length (the head once) and never level 0, and the carve
// report does not call the file complete.
TEST_F(TRebuild, FrontMovieBoxWithTheLastPieceMissing) {
    TDiskImage img = test::Make_RawImage(dir.File("lastgone.img"), 48 << 20, 32768);
    TPlaced p{"front, last piece gone", Make(91, test::TLayout::Front), {}, 0};
    Place_Pieces(img, p, 40, 4, 6, 9100u);
    // The clusters of the last run hold other data now.
    int64_t lastRun = int64_t(p.Clusters.size()) - 1;
    while (lastRun > 0 && p.Clusters[size_t(lastRun - 1)] + 1 == p.Clusters[size_t(lastRun)]) --lastRun;
    ASSERT_GT(lastRun, 0);
    for (size_t c = size_t(lastRun); c < p.Clusters.size(); ++c) {
        img.Write_Raw(img.Cluster_Offset(p.Clusters[c]), test::Pattern_Bytes(size_t(img.ClusterBytes), 77 + uint32_t(c)));
        p.Clusters[c] = -1;
    }
    const int64_t gone = lastRun * img.ClusterBytes; // file bytes from here on are not on the medium
    TRun run = Scan(img, 0);
    const TRebuildResult* r = Result_For(run, p.Header_Disk(img));
    ASSERT_NE(r, nullptr);
    const int64_t fileLen = int64_t(p.Rec.Bytes.size());
    EXPECT_EQ(r->MdatLenx, fileLen) << "the length shown counts the head once";
    EXPECT_GT(r->SamplesMissing, 0);
    EXPECT_NE(r->Leavelx, 0);

    auto model = std::make_shared<TResultsModel>();
    model->Set_Session(run.Session);
    auto old = Set_UISink(std::make_shared<TResultsSink>(model, nullptr));
    To_View(*run.Session, 0, run.Session->Rebuilds.Count());
    model->Check_All();
    const std::string out = dir.File("saved");
    std::filesystem::create_directories(out);
    TSaveSummary sum = Save_ToFile_One(*run.Session, *model, out);
    Set_UISink(old);
    ASSERT_EQ(sum.Report.Files.size(), 1u);
    const std::vector<uint8_t> got = test::Read_File(sum.Report.Files[0].Path);
    // Every byte still on the medium in place, zeros for the lost piece, the whole length.
    ASSERT_EQ(int64_t(got.size()), fileLen);
    EXPECT_EQ(First_Difference(std::vector<uint8_t>(got.begin(), got.begin() + gone),
                               std::vector<uint8_t>(p.Rec.Bytes.begin(), p.Rec.Bytes.begin() + gone), 0),
              -1);
    // The last sample that starts on the medium is copied whole with its
    // sound; from there on the file is zeros.
    const int64_t copiedEnd = [&] {
        int64_t end = 0;
        for (const auto& v : p.Rec.Video) {
            if (v.Offset >= gone) break;
            end = v.Offset + v.Size;
            for (const auto& snd : v.Sound) end = std::max<int64_t>(end, snd.Offset + snd.Size);
        }
        return end;
    }();
    ASSERT_LT(copiedEnd, fileLen);
    EXPECT_TRUE(std::all_of(got.begin() + copiedEnd, got.end(), [](uint8_t b) { return b == 0; }));
    std::string probe;
    EXPECT_EQ(test::Run_Command("ffprobe -v quiet -show_format '" + sum.Report.Files[0].Path + "' >/dev/null", &probe), 0)
        << "the file opens";
    EXPECT_FALSE(sum.Report.Files[0].Complete);
    EXPECT_NE(sum.Report.Files[0].Level, "0");
    const std::vector<uint8_t> report = test::Read_File(sum.ReportPath);
    const std::string xml(report.begin(), report.end());
    EXPECT_NE(xml.find("complete=\"false\""), std::string::npos) << xml;
}

// ---------------------------------------------------------------- file systems

void File_System_Case(const std::string& fs, int64_t volumeBytes, int64_t clusterBytes, const test::TTempDir& dir) {
    std::string skip;
    test::TVolumeLayout plan;
    plan.Fs = fs;
    plan.VolumeBytes = volumeBytes;
    plan.ClusterBytes = clusterBytes;
    if (fs != "exFAT") plan.Files = {{"LIVE.TXT", test::Pattern_Bytes(100000, 5)}}; // nothing writes exFAT files unmounted
    auto made = test::Make_DiskImage(dir.File(fs + ".img"), plan, &skip);
    if (!made) QRV_SKIP_WITHOUT(skip);
    const TDiskImage& img = *made;
    std::vector<TPlaced> placed;
    const int64_t f = img.ClusterBytes;
    TPlaced a{fs + "-contiguous", Make(61, test::TLayout::Tail), {}, 0};
    const int64_t na = Clusters_For(img, a.Rec);
    const int64_t first = img.Find_FreeRun(na + 2000);
    ASSERT_GE(first, 0);
    img.Write_Contiguous(first + 10, a.Rec.Bytes);
    a.Clusters.resize(size_t(na));
    for (int64_t i = 0; i < na; ++i) a.Clusters[size_t(i)] = first + 10 + i;
    placed.push_back(std::move(a));

    TPlaced b{fs + "-pieces", Make(62, test::TLayout::Tail), {}, 0};
    Place_Pieces(img, b, first + 10 + na + 64 * 32768 / f, 4, std::max<int64_t>(3, 65536 / f), 4242);
    placed.push_back(std::move(b));

    TRun run = Scan(img, 0);
    for (const TPlaced& p : placed) Expect_Exact(img, run, p, dir);
}

TEST_F(TRebuild, Fat32Volume) { File_System_Case("FAT32", 300ll << 20, 4096, dir); }
TEST_F(TRebuild, ExfatVolume) { File_System_Case("exFAT", 96ll << 20, 32768, dir); }
TEST_F(TRebuild, NtfsVolume) { File_System_Case("NTFS", 96ll << 20, 4096, dir); }

// ---------------------------------------------------------------- stopping

TEST_F(TRebuild, StopDuringAnalysisKeepsWhatWasAnalysed) {
    TDiskImage img = test::Make_RawImage(dir.File("stop.img"), 48 << 20, 32768);
    std::vector<TPlaced> placed;
    int64_t at = 10;
    for (int k = 0; k < 3; ++k) {
        TPlaced p{"s" + std::to_string(k), Make(71 + k, test::TLayout::Tail), {}, 0};
        p.Clusters.resize(size_t(Clusters_For(img, p.Rec)));
        for (size_t i = 0; i < p.Clusters.size(); ++i) p.Clusters[i] = at + int64_t(i);
        img.Write_Clusters(p.Clusters, p.Rec.Bytes);
        at += int64_t(p.Clusters.size()) + 30;
        placed.push_back(std::move(p));
    }
    // A sink that presses stop when the first header's fragments are being judged.
    struct TStopSink : TRecordingSink {
        void Handle_UIMessage(const TUiMessage& m) override {
            TRecordingSink::Handle_UIMessage(m);
            if (m.MsgType == MSG_STATUS2_FROM_P3 && m.P[2].rfind("已重组数量:", 0) == 0)
                Bound_OpState()->StopFlag = true;
        }
    };
    TScanSession session;
    auto sink = std::make_shared<TStopSink>();
    auto old = Set_UISink(sink);
    TScanParams p;
    p.Node = img.Node();
    p.EndSec = img.VolumeBytes / 512;
    Run_ScanPipeline(session, p);
    Set_UISink(old);
    session.Op.StopFlag = false;
    // Only the first header was analysed; it was rated and the results shown.
    ASSERT_EQ(session.Rebuilds.Count(), 1);
    EXPECT_GT(session.Rebuilds.Get(0).MdatLenx, 0);
    EXPECT_EQ(session.Rebuilds.Get(0).Leavelx, 0);
    EXPECT_EQ(sink->OfType(MSG_SHOW_RESULTS).size(), 1u);
    auto logs = sink->OfType(MSG_LOG);
    // The stop is said twice: where the analysis ended, and in the scan's closing line.
    bool rated = false, analysisStopped = false, closed = false;
    for (const auto& m : logs) {
        if (m.P[2] == "检测文件完毕!") rated = true;
        if (m.P[2].starts_with("分析已停止! 已分析数量:")) analysisStopped = true;
        if (m.P[2] == "扫描已停止! 已扫描字节:" + std::to_string(p.EndSec * 512) + "/" + std::to_string(p.EndSec * 512))
            closed = true;
        EXPECT_NE(m.P[2], "扫描成功完成!");
    }
    EXPECT_TRUE(rated);
    EXPECT_TRUE(analysisStopped);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(sink->OfType(MSG_PROGRESS_END).empty());
}

} // namespace
} // namespace qrv
