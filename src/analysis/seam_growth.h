// Growing the two sides of a seam over the clusters between them.
//
// Between the last sample found of one piece of a recording and the first
// sample found of the next, the file holds W bytes (known from the sample
// tables) that are not yet placed: the tail of the first piece's run of
// clusters, the head of the second piece's run, and what is truly elsewhere.
// Pieces begin and end on cluster boundaries, so the clusters after the first
// piece's certain end and before the second piece's certain start are tried
// one by one against what the recording must hold there:
//   - a sample start that lies in the cluster must be found where the tables
//     put it;
//   - the body of a video sample (past its leading units) is H.264 NAL
//     payload, which never holds 00 00 00, 00 00 01 or 00 00 02;
//   - no structural marker (Has_Marker) where no sample starts;
//   - on a volume whose allocation map is loaded, the cluster is in the same
//     state (free or allocated) as the piece it would extend.
// When both sides could take more than W holds, the interleave scheme decides
// which side takes its clusters first.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "analysis/seams.h"
#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/records.h"

namespace qrv {

struct TAllocMap;

struct TSeamContext {
    TSource* H = nullptr;
    const TTreeData* Node = nullptr;
    const TAllocMap* Map = nullptr; // may be null: no allocation state
    TClusterGeometry Cl;
    const TVideo* V = nullptr;
    // Decides seams the tables leave open; null: the interleave scheme guesses.
    const TSampleJudge* Judge = nullptr;
    // Where the bytes of a gap may be looked for when they lie neither after
    // the first piece nor before the second (Search_Elsewhere); null: nowhere.
    const TSeamSearch* Search = nullptr;
    // What the recording's own entries hold (sorted, merged): not a gap's middle.
    std::vector<std::pair<int64_t, int64_t>> Own;
};

// Bytes at the start of a video sample that the payload test leaves alone (the
// length prefixes of its leading units hold zero runs), and at its end.
inline constexpr int64_t kPayloadSkipHead = 2048;
inline constexpr int64_t kPayloadSkipTail = 16;

// True when the bytes of buf (len bytes) hold 00 00 00, 00 00 01 or 00 00 02.
bool Has_ZeroRun(const uint8_t* buf, int64_t len);

// Allocation state of the cluster holding medium offset x: 0 free, 1
// allocated, 255 when no map answers (no file system, map not loaded).
int Seam_ClusterState(const TSeamContext& ctx, int64_t x);

// True when the len bytes at medium offset c (a cluster start) agree with
// holding the recording's file bytes from X on (the tests above). state is
// the allocation state the stretch must have, or 255 for any.
bool Stretch_Fits(const TSeamContext& ctx, int64_t c, int64_t X, int64_t len, int state);

// How a seam's split was decided (kept on the entry before the seam).
enum TSeamState : uint8_t {
    SEAM_FIXED = 0,      // the tables and the medium leave one split (or there is no seam)
    SEAM_VERIFIED = 1,   // several splits fit; exactly one decodes cleanly
    SEAM_UNVERIFIED = 2, // several splits fit and decoding did not single one out: a guess
};

// Clusters taken by each side of a seam.
struct TSeamGrowth {
    int64_t Left = 0;  // clusters after leftEnd that continue the first piece
    int64_t Right = 0; // clusters before rightStart that begin the second piece
    uint8_t State = SEAM_FIXED;
    int Candidates = 0; // splits that fit the tables and the medium
    // Clusters found elsewhere on the medium that lie in the file between the
    // Left and the Right ones (ElseAt: the first one's medium offset).
    int64_t ElseAt = -1;
    int64_t Else = 0;
};

// leftEnd / rightStart: cluster boundaries on the medium where the first
// piece's certain bytes end and the second piece's begin; leftFile /
// rightFile: their file offsets; W = rightFile - leftFile, a positive multiple
// of the cluster size. leftState / rightState: the allocation states the
// grown clusters must have (255: any).
// When the clusters that fit on both sides cover the gap in more than one way
// (each split j + k = W / f with j and k within what fits), the split is
// decided by decoding: the video samples that straddle the gap are assembled
// for every candidate and judged (ctx.Judge); the one candidate whose samples
// all decode cleanly is taken (SEAM_VERIFIED). With no judge, or none or
// several clean, the interleave scheme decides as before (SEAM_UNVERIFIED):
// 0 lets the first piece take its clusters first, 1 the second.
// Where no split decodes cleanly (or the sides cannot cover the gap) and
// ctx.Search is set, the gap's missing middle is looked for elsewhere: a run
// of clusters in the search window, claimed by no rebuilt piece, that makes
// the straddling samples decode cleanly (SEAM_VERIFIED, Else/ElseAt).
TSeamGrowth Grow_Seam(const TSeamContext& ctx, int64_t leftEnd, int64_t leftFile, int leftState,
                      int64_t rightStart, int64_t rightFile, int rightState, int interleave);

} // namespace qrv
