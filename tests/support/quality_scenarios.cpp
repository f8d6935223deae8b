#include "support/quality_scenarios.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "analysis/output.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "pipeline/scan_pipeline.h"
#include "platform/output_file.h"
#include "platform/output_guard.h"
#include "scan/records.h"
#include "scan/scan_job.h"
#include "support/test_env.h"

namespace qrv::test {

const char* Medium_Name(TMedium m) {
    switch (m) {
    case TMedium::Raw:
        return "raw";
    case TMedium::Fat32:
        return "FAT32 32K";
    case TMedium::Exfat:
        return "exFAT 128K";
    case TMedium::Ntfs:
        return "NTFS 4K";
    case TMedium::MbrDisk:
        return "MBR disk";
    case TMedium::RawPast4G:
        return "raw past 4G";
    }
    return "?";
}

const char* Class_Name(TFaultClass c) {
    switch (c) {
    case TFaultClass::A:
        return "A";
    case TFaultClass::B:
        return "B";
    case TFaultClass::C:
        return "C";
    case TFaultClass::D:
        return "D";
    case TFaultClass::Mixed:
        return "A-D";
    case TFaultClass::E:
        return "E";
    }
    return "?";
}

std::string Scenario_Name(TFaultClass c, TMedium m) {
    if (c != TFaultClass::E) return std::string(Class_Name(c)) + "/" + Medium_Name(m);
    switch (m) {
    case TMedium::Raw:
        return "E/raw 4K";
    case TMedium::Fat32:
        return "E/FAT32 4K";
    case TMedium::Exfat:
        return "E/exFAT 4K";
    case TMedium::Ntfs:
        return "E/NTFS 4K";
    case TMedium::RawPast4G:
        return "E/raw 4K past 4G";
    case TMedium::MbrDisk:
        break;
    }
    return std::string("E/") + Medium_Name(m);
}

int64_t TPlacedRecording::Disk_Of(int64_t fileOff) const {
    for (const TExtent& e : Extents)
        if (fileOff >= e.FileOff && fileOff < e.FileOff + e.Length) return e.DiskOff + (fileOff - e.FileOff);
    return -1;
}

bool TPlacedRecording::Whole() const {
    int64_t covered = 0;
    for (const TExtent& e : Extents)
        covered += e.Length;
    return covered == int64_t(Rec.Bytes.size());
}

std::vector<std::pair<TFaultClass, TMedium>> Quality_Table() {
    std::vector<std::pair<TFaultClass, TMedium>> t;
    for (TFaultClass c : {TFaultClass::A, TFaultClass::B, TFaultClass::C, TFaultClass::D})
        for (TMedium m : {TMedium::Raw, TMedium::Fat32, TMedium::Exfat, TMedium::Ntfs})
            t.push_back({c, m});
    t.push_back({TFaultClass::Mixed, TMedium::MbrDisk});
    return t;
}

std::vector<std::pair<TFaultClass, TMedium>> Seam_Table() {
    std::vector<std::pair<TFaultClass, TMedium>> t;
    for (TMedium m : {TMedium::Raw, TMedium::Fat32, TMedium::Exfat, TMedium::Ntfs, TMedium::RawPast4G})
        t.push_back({TFaultClass::E, m});
    return t;
}

namespace {

// ---------------------------------------------------------------- recordings

// The camera: x264 baseline and AAC, as in every fixture, at the sizes these
// recorders write. Streams are cached by their parameters, so recordings that
// share seed, size and length cost one encoder run.
TRecording Camera(uint32_t seed, int width, int height, double seconds, TLayout layout, bool sei, bool params,
                  bool paramsEveryIdr, int quality = 26, uint32_t freeSize = 8, int gop = 25) {
    TRecordingPlan s;
    s.Seed = seed;
    s.Width = width;
    s.Height = height;
    s.Seconds = seconds;
    s.Fps = 25;
    s.Gop = gop;
    s.Quality = quality;
    s.FreeSize = freeSize;
    s.Layout = layout;
    s.SeiFirst = sei;
    s.ParamsFirst = params;
    s.ParamsEveryIdr = paramsEveryIdr;
    s.Model = "DSJ-T9";
    s.CreationTime = 3700000000u + seed;
    return Make_Recording(s);
}

// Bytes of another recording of the same camera, for the clusters between
// the pieces of a recording.
const std::vector<uint8_t>& Foreign_Video() {
    static const std::vector<uint8_t> bytes = [] {
        TRecordingPlan s;
        s.Seed = 999;
        s.Width = 640;
        s.Height = 360;
        s.Seconds = 4;
        s.Quality = 26;
        return Make_Recording(s).Bytes;
    }();
    return bytes;
}

// ---------------------------------------------------------------- placement

// What lies between the pieces of a recording. On a volume the pieces of a
// file lie around clusters that were in use when it was written, and often
// still are: another recording of the camera or some other file (noise).
// Elsewhere, and where nothing was ever written, it is another recording or
// zeros. (Free noise directly at a seam would pass every content test; on a
// medium without an allocation map nothing can tell it from a frame's tail.)
class TPlacer {
  public:
    TPlacer(TDiskImage& img, int64_t firstCluster) : img_(img), next_(firstCluster) {}

    int64_t Unit() const { return img_.ClusterBytes; }
    int64_t Clusters_For(int64_t bytes) const { return (bytes + Unit() - 1) / Unit(); }

    // Takes n consecutive free clusters from the cursor on.
    int64_t Take(int64_t n) {
        const int64_t c = img_.Find_FreeRun(n, next_);
        if (c < 0) throw std::runtime_error("scenario image too small");
        next_ = c + n;
        return c;
    }
    // Fills n clusters from c with what lies between files, by the gap's
    // number: another recording, noise (in-use clusters of a volume only), or
    // nothing (zeros).
    void Fill(int64_t c, int64_t n, int kind) {
        const int64_t bytes = n * Unit();
        const bool volume = img_.Fs != "RAW" && img_.Node().HddFs != "RAW";
        if (!volume && kind % 3 == 1) kind = 0;
        if (kind % 3 == 2 || bytes <= 0) return;
        std::vector<uint8_t> b;
        if (kind % 3 == 0) {
            const auto& v = Foreign_Video();
            const int64_t from =
                (int64_t(kind) * 7919 * 512) % std::max<int64_t>(1, int64_t(v.size()) - bytes);
            b.assign(v.begin() + from, v.begin() + std::min<int64_t>(int64_t(v.size()), from + bytes));
        } else {
            b = Pattern_Bytes(size_t(bytes), uint32_t(c * 31 + kind));
        }
        img_.Write_Raw(img_.Cluster_Offset(c), b);
        if (volume) {
            std::vector<int64_t> used;
            for (int64_t i = 0; i < n; ++i)
                used.push_back(c + i);
            img_.Mark_Allocated(used);
        }
    }

    // Writes file cluster i of rec to disk cluster clusters[i] (-1: not written)
    // and records the extents.
    void Write(TPlacedRecording& p, const std::vector<int64_t>& clusters) {
        const int64_t f = Unit();
        const auto& bytes = p.Rec.Bytes;
        for (size_t i = 0; i < clusters.size(); ++i) {
            const int64_t c = clusters[i];
            if (c < 0) continue;
            if (img_.Is_Allocated(c)) throw std::runtime_error("placing into an allocated cluster");
            const int64_t from = int64_t(i) * f;
            const int64_t n = std::min<int64_t>(f, int64_t(bytes.size()) - from);
            if (n <= 0) break;
            img_.Write_Raw(img_.Cluster_Offset(c),
                           std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + n));
            TExtent e{from, img_.Cluster_Offset(c), n};
            if (!p.Extents.empty()) {
                TExtent& last = p.Extents.back();
                if (last.FileOff + last.Length == e.FileOff && last.DiskOff + last.Length == e.DiskOff) {
                    last.Length += n;
                    continue;
                }
            }
            p.Extents.push_back(e);
        }
    }

  private:
    TDiskImage& img_;
    int64_t next_;
};

// Where the cuts between the pieces of a recording fall.
enum class TCut {
    Aligned, // each piece starts with a cluster that holds the start of a video sample
    Free,    // on any cluster boundary
    InFrame, // two clusters into a sync frame (when it is that long): the frame's tail
             // opens the next piece, whose first sample lies clusters past its start
};

// File cluster indexes where the runs of a cut recording begin (the first is 0).
std::vector<int64_t> Cut_Points(const TRecording& r, int64_t f, int pieces, TCut mode) {
    const int64_t n = (int64_t(r.Bytes.size()) + f - 1) / f;
    std::vector<bool> holds(size_t(n), false);
    for (const auto& v : r.Video)
        holds[size_t(v.Offset / f)] = true;
    std::vector<int64_t> cuts = {0};
    for (int k = 1; k < pieces; ++k) {
        int64_t c = n * k / pieces + (k % 2 ? 1 : -1) * (n / (7 * pieces));
        if (mode == TCut::Aligned) {
            while (c < n && !holds[size_t(c)])
                ++c;
        } else if (mode == TCut::InFrame) {
            for (const auto& v : r.Video) {
                if (!v.Sync || v.Offset < c * f) continue;
                const int64_t first = v.Offset / f + 1; // first cluster boundary inside the frame
                const int64_t last = (v.Offset + v.Size - 1) / f;
                c = std::min(first + 1, last);
                break;
            }
        }
        if (c > cuts.back() + 1 && c < n - 1) cuts.push_back(c);
    }
    return cuts;
}

struct TRun {
    int64_t First = 0, Count = 0; // file clusters
};

std::vector<TRun> Runs_Of(const TRecording& r, int64_t f, const std::vector<int64_t>& cuts) {
    const int64_t n = (int64_t(r.Bytes.size()) + f - 1) / f;
    std::vector<TRun> runs;
    for (size_t k = 0; k < cuts.size(); ++k) {
        const int64_t end = k + 1 < cuts.size() ? cuts[k + 1] : n;
        runs.push_back({cuts[k], end - cuts[k]});
    }
    return runs;
}

// Gap between the pieces of a recording, in clusters: about 64 to 160 KiB.
int64_t Gap_Clusters(int64_t f, int k) {
    return std::max<int64_t>(1, (64 * 1024 + k * 48 * 1024) / f);
}

// Places the runs in the given disk order, each after a gap of other data.
void Place_Runs(TPlacer& pl, TPlacedRecording& p, const std::vector<TRun>& runs,
                const std::vector<int>& order, int gapKind) {
    const int64_t f = pl.Unit();
    std::vector<int64_t> clusters(size_t(pl.Clusters_For(int64_t(p.Rec.Bytes.size()))), -1);
    for (size_t k = 0; k < order.size(); ++k) {
        const TRun& run = runs[size_t(order[k])];
        if (k > 0) {
            const int64_t g = Gap_Clusters(f, int(k) + gapKind);
            pl.Fill(pl.Take(g), g, gapKind + int(k));
        }
        const int64_t at = pl.Take(run.Count);
        for (int64_t i = 0; i < run.Count; ++i)
            clusters[size_t(run.First + i)] = at + i;
    }
    pl.Write(p, clusters);
}

void Place_Contiguous(TPlacer& pl, TPlacedRecording& p) {
    std::vector<TRun> runs = {{0, pl.Clusters_For(int64_t(p.Rec.Bytes.size()))}};
    Place_Runs(pl, p, runs, {0}, 0);
}

void Place_Cut(TPlacer& pl, TPlacedRecording& p, int pieces, TCut mode, int gapKind) {
    std::vector<TRun> runs = Runs_Of(p.Rec, pl.Unit(), Cut_Points(p.Rec, pl.Unit(), pieces, mode));
    std::vector<int> order;
    for (size_t k = 0; k < runs.size(); ++k)
        order.push_back(int(k));
    Place_Runs(pl, p, runs, order, gapKind);
}

void Set_Header(TPlacedRecording& p) {
    const bool front = p.Rec.MoovOff < p.Rec.MdatOff;
    p.HeaderDisk = p.Disk_Of(front ? p.Rec.FtypOff : p.Rec.MoovOff);
}

TPlacedRecording Named(const std::string& name, TRecording rec) {
    TPlacedRecording p;
    p.Name = name;
    p.Rec = std::move(rec);
    return p;
}

// ---------------------------------------------------------------- classes

void Class_A(TPlacer& pl, TMedium m, std::vector<TPlacedRecording>& out, TDiskImage& img) {
    TPlacedRecording a1 =
        Named("A1 front 360p 10s SEI", Camera(101, 640, 360, 10, TLayout::Front, true, false, false));
    if (m == TMedium::Raw) {
        // The head at byte 3,584 of the medium: not on a cluster boundary.
        img.Write_Raw(3584, a1.Rec.Bytes);
        a1.Extents = {{0, 3584, int64_t(a1.Rec.Bytes.size())}};
        if (3584 + int64_t(a1.Rec.Bytes.size()) > img.Cluster_Offset(img.FirstCluster + 4 * 32))
            throw std::runtime_error("the first recording overlaps the others");
    } else {
        Place_Contiguous(pl, a1);
    }
    out.push_back(std::move(a1));
    TPlacedRecording a2 =
        Named("A2 front 360p 8s, 3 pieces", Camera(102, 640, 360, 8, TLayout::Front, false, false, false));
    Place_Cut(pl, a2, 3, TCut::Aligned, 0);
    out.push_back(std::move(a2));
    TPlacedRecording a3 =
        Named("A3 front 720p 6s SEI", Camera(103, 1280, 720, 6, TLayout::Front, true, false, false));
    pl.Fill(pl.Take(3), 3, 1);
    Place_Contiguous(pl, a3);
    out.push_back(std::move(a3));
}

void Class_B(TPlacer& pl, TMedium, std::vector<TPlacedRecording>& out) {
    TPlacedRecording b1 =
        Named("B1 tail 720p 10s, 4 pieces", Camera(201, 1280, 720, 10, TLayout::Tail, true, false, false));
    Place_Cut(pl, b1, 4, TCut::InFrame, 0);
    out.push_back(std::move(b1));
    TPlacedRecording b2 =
        Named("B2 tail 360p 10s, 5 pieces", Camera(202, 640, 360, 10, TLayout::Tail, true, false, false));
    Place_Cut(pl, b2, 5, TCut::Free, 1);
    out.push_back(std::move(b2));
    TPlacedRecording b3 =
        Named("B3 tail 720p 6s, 3 pieces", Camera(103, 1280, 720, 6, TLayout::Tail, true, false, false));
    Place_Cut(pl, b3, 3, TCut::InFrame, 2);
    out.push_back(std::move(b3));
}

void Class_C(TPlacer& pl, TMedium, std::vector<TPlacedRecording>& out) {
    TPlacedRecording c1 =
        Named("C1 front 360p 8s SPS+PPS+SEI", Camera(102, 640, 360, 8, TLayout::Front, true, true, false));
    Place_Contiguous(pl, c1);
    out.push_back(std::move(c1));
    TPlacedRecording c2 = Named("C2 tail 360p 10s SPS+PPS every IDR, 3 pieces",
                                Camera(202, 640, 360, 10, TLayout::Tail, true, true, true));
    Place_Cut(pl, c2, 3, TCut::Aligned, 1);
    out.push_back(std::move(c2));
    // A head overwritten by another file: the clusters up to the one that
    // holds the start of the second IDR frame (one second in) are gone.
    TPlacedRecording c3 = Named("C3 tail 720p 6s SPS+PPS every IDR, head overwritten",
                                Camera(103, 1280, 720, 6, TLayout::Tail, true, true, true));
    const int64_t f = pl.Unit();
    int64_t idr = -1;
    for (size_t i = 1; i < c3.Rec.Video.size() && idr < 0; ++i)
        if (c3.Rec.Video[i].Sync) idr = c3.Rec.Video[i].Offset;
    const int64_t lost = idr / f; // whole clusters before the one holding the IDR frame
    const int64_t n = pl.Clusters_For(int64_t(c3.Rec.Bytes.size()));
    const int64_t at = pl.Take(n);
    std::vector<int64_t> clusters(static_cast<size_t>(n), -1);
    for (int64_t i = 0; i < n; ++i)
        clusters[size_t(i)] = i < lost ? -1 : at + i;
    pl.Write(c3, clusters);
    pl.Fill(at, lost, 1);
    out.push_back(std::move(c3));
}

void Class_D(TPlacer& pl, TMedium, std::vector<TPlacedRecording>& out) {
    const int64_t f = pl.Unit();
    // Pieces in the order first, last (with the movie box), middle: the middle
    // piece lies above the movie box.
    TPlacedRecording d1 = Named("D1 tail 360p 10s, a piece above the moov",
                                Camera(101, 640, 360, 10, TLayout::Tail, true, false, false));
    {
        auto runs = Runs_Of(d1.Rec, f, Cut_Points(d1.Rec, f, 3, TCut::Aligned));
        Place_Runs(pl, d1, runs, {0, 2, 1}, 0);
    }
    d1.OutsideWindow = true;
    out.push_back(std::move(d1));
    // A middle piece farther below the file head than twice the media length
    // (a paired head bounds the default window from below).
    TPlacedRecording d2 = Named("D2 tail 360p 8s, a piece far below",
                                Camera(301, 640, 360, 8, TLayout::Tail, true, false, false));
    {
        auto runs = Runs_Of(d2.Rec, f, Cut_Points(d2.Rec, f, 3, TCut::Aligned));
        std::vector<int64_t> clusters(size_t(pl.Clusters_For(int64_t(d2.Rec.Bytes.size()))), -1);
        const int64_t mid = pl.Take(runs[1].Count);
        const int64_t far = pl.Clusters_For(3 * d2.Rec.MediaEnd);
        pl.Fill(pl.Take(far), far, 1);
        const int64_t head = pl.Take(runs[0].Count);
        const int64_t g = Gap_Clusters(f, 1);
        pl.Fill(pl.Take(g), g, 0);
        const int64_t tail = pl.Take(runs[2].Count);
        for (int64_t i = 0; i < runs[0].Count; ++i)
            clusters[size_t(runs[0].First + i)] = head + i;
        for (int64_t i = 0; i < runs[1].Count; ++i)
            clusters[size_t(runs[1].First + i)] = mid + i;
        for (int64_t i = 0; i < runs[2].Count; ++i)
            clusters[size_t(runs[2].First + i)] = tail + i;
        pl.Write(d2, clusters);
    }
    d2.OutsideWindow = true;
    out.push_back(std::move(d2));
    // Movie box at the front, a later piece below the head.
    TPlacedRecording d3 = Named("D3 front 360p 8s, a piece below the head",
                                Camera(301, 640, 360, 8, TLayout::Front, true, false, false));
    {
        auto runs = Runs_Of(d3.Rec, f, Cut_Points(d3.Rec, f, 3, TCut::Aligned));
        Place_Runs(pl, d3, runs, {1, 0, 2}, 2);
    }
    d3.OutsideWindow = true;
    out.push_back(std::move(d3));
}

void Mixed(TPlacer& pl, std::vector<TPlacedRecording>& out) {
    TPlacedRecording a =
        Named("A front 360p 10s SEI", Camera(101, 640, 360, 10, TLayout::Front, true, false, false));
    Place_Contiguous(pl, a);
    out.push_back(std::move(a));
    TPlacedRecording b =
        Named("B tail 720p 10s, 3 pieces", Camera(201, 1280, 720, 10, TLayout::Tail, true, false, false));
    Place_Cut(pl, b, 3, TCut::InFrame, 1);
    out.push_back(std::move(b));
    TPlacedRecording c = Named("C tail 360p 10s SPS+PPS every IDR, 2 pieces",
                               Camera(202, 640, 360, 10, TLayout::Tail, true, true, true));
    Place_Cut(pl, c, 2, TCut::Aligned, 2);
    out.push_back(std::move(c));
    TPlacedRecording d = Named("D tail 360p 8s, a piece above the moov",
                               Camera(102, 640, 360, 8, TLayout::Tail, true, false, false));
    {
        auto runs = Runs_Of(d.Rec, pl.Unit(), Cut_Points(d.Rec, pl.Unit(), 3, TCut::Aligned));
        Place_Runs(pl, d, runs, {0, 2, 1}, 0);
    }
    d.OutsideWindow = true;
    out.push_back(std::move(d));
}

// ---------------------------------------------------------------- seams (class E)

// 4 KiB slices of another camera's frames, each lying wholly inside a video
// sample's body (past the leading units, before the last bytes): what the
// clusters next to a seam hold on a card that recorded one file after another.
// Such a slice passes every content test a frame's own body passes, so only the
// pictures can tell the two apart.
const std::vector<std::vector<uint8_t>>& Foreign_Slices() {
    static const std::vector<std::vector<uint8_t>> slices = [] {
        constexpr int64_t kSlice = 4096, kHead = 2048, kTail = 16;
        const TRecording r = Camera(998, 1280, 720, 2, TLayout::Tail, false, false, false, 30);
        std::vector<std::vector<uint8_t>> out;
        for (const auto& v : r.Video)
            for (int64_t o = v.Offset + kHead; o + kSlice <= v.Offset + int64_t(v.Size) - kTail; o += kSlice)
                out.emplace_back(r.Bytes.begin() + o, r.Bytes.begin() + o + kSlice);
        if (out.empty()) throw std::runtime_error("the foreign recording has no frame longer than a slice");
        return out;
    }();
    return slices;
}

// What the clusters of the gap ahead of a piece hold: another recording's
// frames, deleted (free, like the pieces), live (allocated in the file
// system's map: a file still in use), or live after the previous piece and
// deleted before this one. On raw media all three are the same bytes.
enum class TGap { Deleted, Live, LiveThenDeleted };

// A run of file clusters, placed after Gap clusters of other data.
struct TPiece {
    TRun Run;
    int64_t Gap = 0;
    TGap Kind = TGap::Deleted;
};

// Fills n clusters from c with foreign frame slices; marks the first `live` of
// them allocated on a volume.
void Fill_Foreign(TDiskImage& img, int64_t c, int64_t n, int64_t live, uint32_t seed) {
    const auto& sl = Foreign_Slices();
    std::vector<int64_t> used;
    for (int64_t i = 0; i < n; ++i) {
        img.Write_Raw(img.Cluster_Offset(c + i), sl[(size_t(seed) * 13 + size_t(i)) % sl.size()]);
        if (i < live && img.Fs != "RAW") used.push_back(c + i);
    }
    if (!used.empty()) img.Mark_Allocated(used);
}

// Places the pieces in the order given (disk order), each after its gap, and
// records the extents.
void Place_Pieces(TPlacer& pl, TDiskImage& img, TPlacedRecording& p, const std::vector<TPiece>& pieces,
                  uint32_t seed) {
    std::vector<int64_t> clusters(size_t(pl.Clusters_For(int64_t(p.Rec.Bytes.size()))), -1);
    for (size_t k = 0; k < pieces.size(); ++k) {
        const TPiece& x = pieces[k];
        if (x.Gap > 0) {
            const int64_t live = x.Kind == TGap::Live              ? x.Gap
                                 : x.Kind == TGap::LiveThenDeleted ? (x.Gap + 1) / 2
                                                                   : 0;
            Fill_Foreign(img, pl.Take(x.Gap), x.Gap, live, seed + uint32_t(k) * 101);
        }
        const int64_t at = pl.Take(x.Run.Count);
        for (int64_t i = 0; i < x.Run.Count; ++i)
            clusters[size_t(x.Run.First + i)] = at + i;
    }
    pl.Write(p, clusters);
}

// Cuts between the pieces of a recording: file clusters where a piece begins.
// Adds pieces - 1 cuts to `cuts` (which starts with 0), about evenly spread
// over file clusters [from, to), each a cluster boundary inside a video sample
// that spans two boundaries or more, a varying number of boundaries into it.
// The seam then has the rest of that sample to place: its tail opens the next
// piece, whose first sample start lies clusters past the piece's start. With
// syncEvery > 0, every syncEvery-th cut lies inside an I frame (the widest seams).
std::vector<int64_t> Cuts_InFrames(const TRecording& r, int64_t f, int pieces, int64_t from, int64_t to,
                                   std::vector<int64_t> cuts, int syncEvery = 0) {
    const int64_t n = (int64_t(r.Bytes.size()) + f - 1) / f;
    to = std::min(to, n);
    const size_t wanted = cuts.size() + size_t(pieces - 1);
    for (int k = 1; k < pieces; ++k) {
        const int64_t target = from + (to - from) * k / pieces;
        const int64_t next = from + (to - from) * (k + 1) / pieces;
        int64_t c = -1;
        // An I frame when asked and one begins before the next cut's place
        // (the nearest other frame if not).
        for (bool sync : {syncEvery > 0 && k % syncEvery == 0, false}) {
            for (const auto& v : r.Video) {
                if (v.Offset < target * f || (sync && (!v.Sync || v.Offset >= (next - 1) * f))) continue;
                const int64_t first = v.Offset / f + 1, last = (v.Offset + v.Size - 1) / f;
                if (last - first < 1) continue;
                c = first + k % (last - first + 1);
                break;
            }
            if (c > cuts.back() + 2 && c < to - 2) break;
        }
        if (c > cuts.back() + 2 && c < to - 2) cuts.push_back(c);
    }
    if (cuts.size() != wanted) throw std::runtime_error("too few large frames to cut the recording");
    return cuts;
}

std::vector<TPiece> Pieces_InOrder(const std::vector<TRun>& runs) {
    std::vector<TPiece> out;
    for (size_t k = 0; k < runs.size(); ++k) {
        TPiece x;
        x.Run = runs[k];
        if (k > 0) {
            x.Gap = 2 + int64_t(k * 7) % 15; // 2 to 16 clusters
            x.Kind = TGap(k % 3);
        }
        out.push_back(x);
    }
    return out;
}

void Class_E(TPlacer& pl, TDiskImage& img, std::vector<TPlacedRecording>& out) {
    const int64_t f = pl.Unit();
    // 1080p, an I frame every 12 frames (I frames of about 51 KB, P frames of
    // 19 to 25 KB: 5 to 13 clusters each) in 16 pieces, every cut inside a
    // frame, every third inside an I frame where one is near.
    TPlacedRecording e1 = Named("E1 tail 1080p 2s, 16 pieces cut inside frames",
                                Camera(501, 1920, 1080, 2, TLayout::Tail, true, false, false, 34, 8, 12));
    Place_Pieces(pl, img, e1,
                 Pieces_InOrder(Runs_Of(e1.Rec, f, Cuts_InFrames(e1.Rec, f, 16, 0, INT64_MAX, {0}, 3))), 1);
    out.push_back(std::move(e1));

    // Movie box at the front: the first data piece begins at the cluster after
    // the one that holds the movie box's end, one cluster away from it; one
    // more gap of exactly one cluster (live) further on.
    TPlacedRecording e2 = Named("E2 front 720p 3s, 10 pieces, one-cluster gaps",
                                Camera(502, 1280, 720, 3, TLayout::Front, true, false, false, 30));
    {
        const int64_t headEnd = (e2.Rec.MoovOff + e2.Rec.MoovLen - 1) / f + 1;
        const auto cuts = Cuts_InFrames(e2.Rec, f, 9, headEnd, INT64_MAX, {0, headEnd}, 4);
        std::vector<TPiece> pieces = Pieces_InOrder(Runs_Of(e2.Rec, f, cuts));
        pieces[1].Gap = 1;
        pieces[1].Kind = TGap::Deleted;
        pieces[6].Gap = 1;
        pieces[6].Kind = TGap::Live;
        Place_Pieces(pl, img, e2, pieces, 2);
    }
    out.push_back(std::move(e2));

    // A piece of two clusters from the body of an I frame (no sample starts in
    // it) lies after the recording's last piece; in the file it sits between
    // the piece that holds the frame's start and the one that holds its end.
    TPlacedRecording e3 = Named("E3 tail 720p 3s, 6 pieces, one without a sample start",
                                Camera(503, 1280, 720, 3, TLayout::Tail, true, false, false, 30));
    {
        const TVideoTruth* idr = nullptr;
        for (size_t i = 1; i < e3.Rec.Video.size() && !idr; ++i)
            if (e3.Rec.Video[i].Sync) idr = &e3.Rec.Video[i];
        if (!idr) throw std::runtime_error("E3 needs a second I frame");
        const int64_t first = idr->Offset / f + 1, last = (idr->Offset + idr->Size - 1) / f;
        if (last - first < 4) throw std::runtime_error("E3's I frame is shorter than five clusters");
        // The piece before holds the frame's start (cluster first - 1).
        std::vector<int64_t> cuts = Cuts_InFrames(e3.Rec, f, 2, 0, first - 1, {0});
        cuts.push_back(first + 1);
        cuts.push_back(first + 3);
        cuts = Cuts_InFrames(e3.Rec, f, 3, first + 3, INT64_MAX, cuts);
        const std::vector<TRun> runs = Runs_Of(e3.Rec, f, cuts);
        std::vector<TPiece> all = Pieces_InOrder(runs), pieces;
        size_t shortAt = 0;
        for (size_t k = 0; k < runs.size(); ++k)
            if (runs[k].First == first + 1) shortAt = k;
        for (size_t k = 0; k < all.size(); ++k)
            if (k != shortAt) pieces.push_back(all[k]);
        pieces.push_back(all[shortAt]);
        pieces.back().Gap = 9;
        Place_Pieces(pl, img, e3, pieces, 3);
    }
    out.push_back(std::move(e3));

    // The sample after the second I frame starts exactly on a cluster boundary
    // (the free box is sized for it), and a piece begins there: the clusters
    // grown over the I frame's tail end exactly where that sample starts.
    TRecording r4 = Camera(504, 1280, 720, 3, TLayout::Tail, true, false, false, 30);
    size_t s = 0;
    for (size_t i = 1; i < r4.Video.size() && s == 0; ++i)
        if (r4.Video[i].Sync) s = i + 1;
    if (s == 0 || s >= r4.Video.size()) throw std::runtime_error("E4 needs a second I frame");
    const int64_t shift = (f - r4.Video[s].Offset % f) % f;
    r4 = Camera(504, 1280, 720, 3, TLayout::Tail, true, false, false, 30, uint32_t(8 + shift));
    if (r4.Video[s].Offset % f != 0) throw std::runtime_error("E4's sample is not on a cluster boundary");
    TPlacedRecording e4 =
        Named("E4 tail 720p 3s, 5 pieces, a sample on a grown cluster's end", std::move(r4));
    {
        const int64_t at = e4.Rec.Video[s].Offset / f;
        // The piece before holds the I frame's start and grows over its tail.
        const int64_t idrCluster = e4.Rec.Video[s - 1].Offset / f;
        std::vector<int64_t> cuts = Cuts_InFrames(e4.Rec, f, 2, 0, idrCluster - 1, {0});
        cuts.push_back(at);
        cuts = Cuts_InFrames(e4.Rec, f, 3, at, INT64_MAX, cuts);
        Place_Pieces(pl, img, e4, Pieces_InOrder(Runs_Of(e4.Rec, f, cuts)), 4);
    }
    out.push_back(std::move(e4));
}

// A master boot record with one partition entry.
std::vector<uint8_t> Mbr(uint8_t type, int64_t firstSector, int64_t sectors) {
    std::vector<uint8_t> s(512, 0);
    uint8_t* e = s.data() + 0x1BE;
    e[0] = 0x00;
    e[1] = 0xFE;
    e[2] = 0xFF;
    e[3] = 0xFF;
    e[4] = type;
    e[5] = 0xFE;
    e[6] = 0xFF;
    e[7] = 0xFF;
    for (int k = 0; k < 4; ++k) {
        e[8 + k] = uint8_t(uint64_t(firstSector) >> (8 * k));
        e[12 + k] = uint8_t(uint64_t(sectors) >> (8 * k));
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// The image of a seam scenario: 4 KiB clusters everywhere; on the raw medium
// past 4 GiB the recordings begin 4 MiB above the mark and the scan starts at
// it (the image is sparse: every other byte is zero).
bool Build_SeamScenario(TMedium medium, const std::string& path, TQualityScenario& out, std::string* skip) {
    constexpr int64_t kMiB = 1 << 20, kGiB = int64_t(1) << 30, kCluster = 4096;
    std::optional<TDiskImage> img;
    int64_t from = 4 * kMiB; // where the recordings begin, from the first cluster on
    if (medium == TMedium::Raw) {
        img = Make_RawImage(path, 64 * kMiB, kCluster);
    } else if (medium == TMedium::RawPast4G) {
        img = Make_RawImage(path, 4 * kGiB + 64 * kMiB, kCluster);
        from = 4 * kGiB + 4 * kMiB;
    } else if (medium == TMedium::MbrDisk) {
        throw std::runtime_error("no seam scenario on the MBR disk");
    } else {
        TVolumeLayout plan;
        plan.ClusterBytes = kCluster;
        plan.VolumeBytes = 96 * kMiB;
        if (medium == TMedium::Fat32) {
            plan.Fs = "FAT32";
            plan.VolumeBytes = 288 * kMiB; // mtools reads FAT32 only with 65,525 clusters or more
        } else {
            plan.Fs = medium == TMedium::Exfat ? "exFAT" : "NTFS";
        }
        img = Make_DiskImage(path, plan, skip);
        if (!img) return false;
    }
    out.Img = *img;
    TPlacer pl(out.Img, out.Img.FirstCluster + from / kCluster);
    Class_E(pl, out.Img, out.Recs);
    for (auto& p : out.Recs)
        Set_Header(p);
    out.Node = out.Img.Node();
    if (medium == TMedium::RawPast4G) {
        out.StartSec = 4 * kGiB / 512;
        out.EndSec = out.Node.TotalSpace / 512;
    } else {
        out.StartSec = out.Img.V / 512;
        out.EndSec = (out.Img.V + out.Img.VolumeBytes) / 512;
    }
    return true;
}

} // namespace

bool Build_QualityScenario(TFaultClass cls, TMedium medium, const std::string& dir, TQualityScenario& out,
                           std::string* skip) {
    out = TQualityScenario{};
    out.Class = cls;
    out.Medium = medium;
    out.Name = Scenario_Name(cls, medium);
    const std::string path = dir + "/" + Class_Name(cls)[0] + std::to_string(int(medium)) + ".img";
    if (cls == TFaultClass::E) return Build_SeamScenario(medium, path, out, skip);
    std::optional<TDiskImage> img;
    constexpr int64_t kMiB = 1 << 20;
    if (medium == TMedium::Raw) {
        img = Make_RawImage(path, 160 * kMiB, 32768);
    } else {
        TVolumeLayout plan;
        plan.VolumeBytes = 160 * kMiB;
        if (medium == TMedium::Fat32) {
            plan.Fs = "FAT32";
            plan.ClusterBytes = 32768;
        } else if (medium == TMedium::Exfat) {
            plan.Fs = "exFAT";
            plan.ClusterBytes = 128 * 1024;
        } else if (medium == TMedium::Ntfs) {
            plan.Fs = "NTFS";
            plan.ClusterBytes = 4096;
        } else {
            plan.Fs = "exFAT";
            plan.ClusterBytes = 32768;
            plan.Offset = kMiB; // the partition at sector 2,048
            plan.ImageBytes = plan.Offset + plan.VolumeBytes + kMiB;
        }
        img = Make_DiskImage(path, plan, skip);
        if (!img) return false;
        if (medium == TMedium::MbrDisk)
            img->Write_Raw(0, Mbr(0x07, plan.Offset / 512, plan.VolumeBytes / 512));
    }
    out.Img = *img;
    // Recordings from a few megabytes into the data area on.
    TPlacer pl(out.Img, out.Img.FirstCluster + std::max<int64_t>(1, 4 * kMiB / out.Img.ClusterBytes));
    switch (cls) {
    case TFaultClass::A:
        Class_A(pl, medium, out.Recs, out.Img);
        break;
    case TFaultClass::B:
        Class_B(pl, medium, out.Recs);
        break;
    case TFaultClass::C:
        Class_C(pl, medium, out.Recs);
        break;
    case TFaultClass::D:
        Class_D(pl, medium, out.Recs);
        break;
    case TFaultClass::Mixed:
        Mixed(pl, out.Recs);
        break;
    case TFaultClass::E:
        break; // built above
    }
    for (auto& p : out.Recs)
        Set_Header(p);
    if (medium == TMedium::MbrDisk) {
        // The whole disk, as an examiner scans it when the partition table is
        // the only thing known: no file system, clusters found from the heads.
        out.Node = out.Img.Image_Node();
        out.StartSec = 0;
        out.EndSec = out.Node.TotalSpace / 512;
    } else {
        out.Node = out.Img.Node();
        out.StartSec = out.Img.V / 512;
        out.EndSec = (out.Img.V + out.Img.VolumeBytes) / 512;
    }
    return true;
}

namespace {

// Keeps the log lines only: a scan sends many progress messages.
class TLogSink : public TUiSink {
  public:
    void Handle_UIMessage(const TUiMessage& m) override {
        if (m.MsgType != MSG_LOG) return;
        std::lock_guard<std::mutex> lk(mu_);
        lines_.push_back(m);
    }
    std::vector<TUiMessage> Lines() const {
        std::lock_guard<std::mutex> lk(mu_);
        return lines_;
    }

  private:
    mutable std::mutex mu_;
    std::vector<TUiMessage> lines_;
};

const TRebuildResult* Result_For(TScanSession& session, int64_t headerDisk) {
    for (int64_t i = 0; i < session.Rebuilds.Count(); ++i) {
        const TRebuildResult& r = session.Rebuilds.Get(i);
        if (r.Fragmenum > 1 && !r.FragmenArray.empty() && r.FragmenArray[0].FragmenSoff == headerDisk)
            return &r;
    }
    return nullptr;
}

// Where each entry copies from and what it fills, and where the file lies.
std::string Describe(const TRebuildResult& r, const TPlacedRecording& p) {
    std::string t;
    char line[256];
    std::snprintf(line, sizeof line, "      head %d headlen %lld\n", int(r.HeadFlag), (long long)r.HeadLenx);
    t += line;
    for (const TFragmenArr& e : r.FragmenArray) {
        std::snprintf(
            line, sizeof line,
            "      type %d%s samples %d.%d-%d.%d found %lld..%lld copy %lld..%lld (%lld) fill %lld\n",
            int(e.FragmenType), e.ChongHeFlag ? " dup" : "", e.FragmeSnum, e.FragmeSLnum, e.FragmeEnum,
            e.FragmeELnum, (long long)e.FragmenSoff, (long long)e.FragmenEoff, (long long)Get_CopyStart(e),
            (long long)Get_CopyEnd(e), (long long)(Get_CopyEnd(e) - Get_CopyStart(e)),
            (long long)e.FragmentFreeSpace);
        t += line;
    }
    for (const TExtent& x : p.Extents) {
        std::snprintf(line, sizeof line, "      file %lld..%lld at %lld..%lld\n", (long long)x.FileOff,
                      (long long)(x.FileOff + x.Length), (long long)x.DiskOff,
                      (long long)(x.DiskOff + x.Length));
        t += line;
    }
    return t;
}

} // namespace

TScenarioOutcome Evaluate_Scenario(const TQualityScenario& s, const std::string& dir,
                                   const TEvalOptions& opt) {
    TScenarioOutcome res;
    TScanSession session;
    auto sink = std::make_shared<TLogSink>();
    auto old = Set_UISink(sink);
    TScanParams p;
    p.Node = s.Node;
    p.Mode = 0;
    p.StartSec = s.StartSec;
    p.EndSec = s.EndSec;
    p.IntervalScheme = opt.Scheme;
    p.InterleaveScheme = opt.Interleave;
    p.Widen = opt.Widen;
    p.FeatureIndex = opt.Index;
    const auto t0 = std::chrono::steady_clock::now();
    Run_ScanPipeline(session, p);
    res.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    Set_UISink(old);

    auto src = Open_Source(s.Img.Path);
    if (!src) throw std::runtime_error("cannot open " + s.Img.Path);
    for (const TPlacedRecording& pr : s.Recs) {
        TRecordingOutcome o;
        o.Name = pr.Name;
        o.Whole = pr.Whole();
        o.SamplesTotal = int64_t(pr.Rec.Video.size());
        const TRebuildResult* r = Result_For(session, pr.HeaderDisk);
        if (r) {
            o.Found = true;
            o.Level = r->Leavelx;
            for (const TFragmenArr& e : r->FragmenArray) {
                if (e.ChongHeFlag) continue;
                res.SeamsVerified += e.SeamState == 1;
                res.SeamsUnverified += e.SeamState == 2;
            }
            std::string file = dir + "/" + std::to_string(&pr - s.Recs.data()) + ".mp4";
            {
                auto out = TOutputFile::Create(file, TOutputGuard({s.Img.Path}));
                if (!out) throw std::runtime_error("cannot create " + file);
                Write_Recording(*r, *src, *out);
                out->Commit_Replacing();
            }
            const std::vector<uint8_t> got = Read_File(file);
            const std::vector<uint8_t>& want = pr.Rec.Bytes;
            o.Exact = got == want;
            for (const auto& v : pr.Rec.Video)
                if (v.Offset + int64_t(v.Size) <= int64_t(got.size()) &&
                    std::memcmp(got.data() + v.Offset, want.data() + v.Offset, v.Size) == 0)
                    ++o.SamplesOk;
            o.PresentKept = got.size() == want.size();
            for (const TExtent& e : pr.Extents) {
                for (int64_t i = e.FileOff; i < e.FileOff + e.Length; ++i) {
                    if (i >= int64_t(got.size()) || got[size_t(i)] != want[size_t(i)]) {
                        o.PresentKept = false;
                        if (o.FirstWrong < 0 || i < o.FirstWrong) o.FirstWrong = i;
                        break;
                    }
                }
            }
            std::vector<bool> present(got.size(), false);
            for (const TExtent& e : pr.Extents)
                for (int64_t i = e.FileOff; i < e.FileOff + e.Length && i < int64_t(got.size()); ++i)
                    present[size_t(i)] = true;
            o.GoneZero = true;
            for (size_t i = 48; i < got.size() && o.GoneZero; ++i)
                if (got[i] != 0 && !present[i]) o.GoneZero = false;
            if (opt.Dump) o.Entries = Describe(*r, pr);
            if (opt.Decode && o.Whole)
                Run_Command("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1", &o.DecodeErrors);
            std::filesystem::remove(file);
            const std::string where = "0X:" + std::to_string(pr.HeaderDisk);
            for (const TUiMessage& m : sink->Lines())
                if (m.P[0].find("扩大") != std::string::npos && m.P[2].find(where) != std::string::npos)
                    o.Widened = true;
        }
        o.Level0Wrong = o.Found && o.Level == 0 && !o.PresentKept;
        res.Level0Wrong += o.Level0Wrong;
        res.DecodeFailed += !o.DecodeErrors.empty();
        if (o.Found && o.Level >= 0 && o.Level <= 3)
            ++res.Levels[o.Level];
        else
            ++res.Missing;
        res.Exact += o.Exact;
        res.SamplesOk += o.SamplesOk;
        res.SamplesTotal += o.SamplesTotal;
        res.Recs.push_back(std::move(o));
    }
    session.Scans.Clear();
    session.Rebuilds.Clear();
    return res;
}

} // namespace qrv::test
