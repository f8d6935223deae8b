// Seam resolution: where copying of each entry of a rebuilt recording ends,
// where the next one starts and how many zero bytes go between them, so that
// every sample lands at the file offset its chunk table gives.
#pragma once

#include <cstdint>
#include <functional>
#include <atomic>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "analysis/analysis_context.h"
#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/records.h"

namespace qrv {

struct TAllocMap;

// Whether the bytes of one video sample (as stored in the file: length-
// prefixed NAL units) decode cleanly on their own: every macroblock of every
// slice, nothing concealed, each slice ending at its unit's end.
using TSampleJudge = std::function<bool(std::span<const uint8_t> sample)>;

// Where the middle of a gap may be looked for on the medium: a window, and
// the byte ranges rebuilt pieces already hold (Normalize sorts and merges
// them before use). The numbers bound the work one seam may spend.
struct TSeamSearch {
    int64_t From = 0, To = 0;
    std::vector<std::pair<int64_t, int64_t>> Claimed;
    int MaxRuns = 16384;    // runs of clusters read and tested, per seam
    int MaxDecodes = 4096;  // samples decoded per seam (about 2 ms each for a 720p I frame)
    // Samples all the seams of one recording may still decode (shared).
    std::shared_ptr<std::atomic<int>> DecodesLeft = std::make_shared<std::atomic<int>>(8192);
    int64_t MaxClusters = 16; // longest run looked for
    void Normalize();
    bool Is_Claimed(int64_t from, int64_t to) const; // any byte of [from, to) held

};

// Sorts byte ranges and merges those that overlap or touch.
void Sort_AndMerge(std::vector<std::pair<int64_t, int64_t>>& ranges);
// True when a range of sorted, merged ranges holds a byte of [from, to).
bool Ranges_Overlap(const std::vector<std::pair<int64_t, int64_t>>& ranges, int64_t from, int64_t to);

// Cluster geometry seam resolution works with.
struct TClusterGeometry {
    int64_t Size = 32768; // cluster bytes
    int64_t Base = 0;     // an offset at which a cluster begins
    int64_t Start(int64_t x) const; // start of the cluster holding x
    int64_t End(int64_t x) const { return Start(x) + Size; }
};
TClusterGeometry Get_ClusterGeometry(const TTreeData& node, const TAllocMap& map, int64_t alignBase);

// On a medium without a known file system the cluster size is unknown. Every
// piece of a recording lies on whole clusters, so the medium offset of a
// piece's first sample minus that sample's file offset is the same modulo the
// cluster size for all pieces. Returns the largest power of two from minSize
// up to fallback.Size for which the data entries of r (and its file head, at
// file offset 0) agree, with the base they agree on; fallback when r has fewer
// than two such entries.
TClusterGeometry Infer_ClusterGeometry(const TRebuildResult& r, const TVideo& v, TClusterGeometry fallback,
                                       int64_t minSize = 512);

// Resolves the seam after entry g of r (and, for the last data entry L, the
// seam to a movie box at the end of the file). Changes entry g and the entry
// that follows it on output. ctx.Interleave is the scheme used when a gap
// between two fragments is searched on the medium: 0 grows the earlier
// fragment forwards first, 1 the later one backwards first.
// judge (may be null) decodes the samples of a gap the tables leave open, to
// decide its split (seam_growth.h); the entry records how it was decided
// (SeamState, SeamFileOff).
// geometry (may be null): the clusters to work with instead of the node's.
// search (may be null): where a gap's missing middle may be found; when one
// is, an entry that copies it (a data entry of no samples, FragmeSnum -1) is
// inserted after g and Fragmenum grows by one.
void Link_Fragment(const TAnalysisContext& ctx, uint8_t camerType, int32_t L, int32_t g, TRebuildResult& r,
                   const TVideo& v, const TSampleJudge* judge = nullptr,
                   const TClusterGeometry* geometry = nullptr, const TSeamSearch* search = nullptr);

// A recording whose file head is synthesized starts copying its first data
// entry E at the sector of E's first sample. The whole cluster that holds that
// sample belongs to the recording, so when the bytes from the cluster's start
// agree with the file bytes the tables put there, and the synthesized head
// keeps room for its 48 bytes, E's copy starts at the cluster's start and the
// head ends where that cluster lands in the file (HeadLenx, UpHeadFreeSpace).
void Extend_FirstEntry(const TAnalysisContext& ctx, TRebuildResult& r, int32_t E, const TVideo& v,
                       const TClusterGeometry* geometry = nullptr);

} // namespace qrv
