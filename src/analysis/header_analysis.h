// Header analysis: for one movie header found by the scan, find the
// recording's media data on the medium by its frame starts, grow data
// fragments along the sample tables, order them, mark overlaps, resolve the
// seams and, where the file head is missing, prepare a synthesized head.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "analysis/analysis_context.h"
#include "analysis/seams.h"
#include "media/tree_data.h"
#include "platform/source_io.h"
#include "scan/records.h"
#include "scan/scan_session.h"
#include "scan/track_tables.h"

namespace qrv {

struct TAllocMap;
class TFeatureIndex;

// Results of Get_HeadMoov.
enum THeadMoovResult : uint8_t {
    HEADMOOV_OK = 1,         // analysed: the rebuild result exists
    HEADMOOV_BAD_TABLES = 2, // the video tables could not be read; no rebuild result
    HEADMOOV_NO_ANCHOR = 4,  // no frame start in the window matched the tables
};

// Analyses ctx.Session.Scans[headerIndex] (a kind-0 head or a kind-3 movie
// box) with the window scheme ctx.Scheme and returns what it found; the
// caller commits it (appends the result, marks the paired file head taken).
// Neither session.Rebuilds nor any scan record is changed.
//   headMode  1: the movie box is at the front of the file; 0: at its end
// How many video samples of a rebuilt recording come from the medium.
struct TSampleCount {
    int64_t Placed = 0; // samples whose bytes are all copied from the medium
    int64_t Total = 0;  // samples in the video tables
};

// found, when given, holds the frame starts already found over the window of
// the scheme (possibly for several headers at once, in medium order): the
// header's anchors are those of its own keys, and the medium is not searched
// again.
// tables: the header's video tables and keys read beforehand
// (Read_HeaderTables), taken over instead of read again.
struct THeaderTables {
    TVideo Video;
    TSampleKeys Keys;
};
THeaderTables Read_HeaderTables(const TAnalysisContext& ctx, int64_t headerIndex);
// Which file heads (indexes in session.Scans) a bare movie box may pair
// with; without one, those no committed result has taken (FrammentFlag).
using THeadFree = std::function<bool(int64_t scanIndex)>;
// What Get_HeadMoov found for one header.
struct THeadMoov {
    uint8_t Status = HEADMOOV_BAD_TABLES;
    std::optional<TRebuildResult> Result; // none when the tables could not be read
    TSampleCount Samples;                 // Placed 0 when no data was found; 0/0 without tables
    int64_t PairedHead = -1;              // scan index of the file head it paired, -1 for none
};
THeadMoov Get_HeadMoov(const TAnalysisContext& ctx, int headMode, int64_t headerIndex,
                       const std::vector<TFrameAnchor>* found = nullptr, THeaderTables* tables = nullptr,
                       const THeadFree& isFree = nullptr);

// Video samples of v whose bytes the written recording r takes from the
// medium: the file is laid out as Write_Recording writes it (synthesized head,
// copies, zero fills), and a sample counts when it lies wholly inside copied
// bytes.
int64_t Count_PlacedSamples(const TRebuildResult& r, const TVideo& v);

// The window of the medium searched for frame starts. M is the header's media
// end, HS and HE the header entry's start and end, F the paired file head's
// offset or -1, E the scan end. Start and end come back in start/end. The
// one-way schemes (0, 1, 6) search below a bare movie box (head mode 0) and
// above a head that holds its movie box (head mode 1), where that file's media
// data lies.
void Get_SearchRange(int scheme, int headMode, int64_t E, int64_t M, int64_t F, int64_t HE, int64_t HS,
                     int64_t& start, int64_t& end);

// Frame-start search over [start, end): examines the medium in 64 KiB steps
// with 1 KiB of overlap and appends to anchors, in medium order, every frame
// start whose size and position inside its sector match a key. The window is
// read in large steps on a few threads at once; h must allow concurrent reads.
// Sends the progress messages of the search. Ends early when the stop flag is
// set; bytes that cannot be read count as zeros.
// When the scan that opened h indexed the frame features (feature_index.h)
// and the session holds that index, the blocks of the window it covers are
// taken from the index instead, with the same result.
void Find_FrameAnchors(TScanSession& session, TSource& h, int64_t start, int64_t end, int recType,
                       const TSampleKeys& keys, std::vector<TFrameAnchor>& anchors);
// The search itself, reading the whole window (sources without an index, such
// as a loaded result file's, and the reference the index is tested against).
// op: the operation whose stop flag ends the search and whose counters it sets.
void Find_FrameAnchors_Window(TOpState& op, TSource& h, int64_t start, int64_t end, int recType,
                              const TSampleKeys& keys, std::vector<TFrameAnchor>& anchors);
// The same anchors from an index: every search block of the window that the
// index covers is walked in the index, the others are read from h.
void Find_FrameAnchors_Indexed(TOpState& op, TSource& h, const TFeatureIndex& index, int64_t start,
                               int64_t end, int recType, const TSampleKeys& keys,
                               std::vector<TFrameAnchor>& anchors);
// Find_FrameAnchors_Indexed with a window of splitBytes or more walked in two
// halves on two threads (what Find_FrameAnchors does, with 256 MiB).
void Find_FrameAnchors_Split(TOpState& op, TSource& h, const TFeatureIndex& index, int64_t start, int64_t end,
                             int recType, const TSampleKeys& keys, std::vector<TFrameAnchor>& anchors,
                             int64_t splitBytes);

// Grows a data fragment around anchor a, which matched sample s of chunk c
// (any sample of the chunk). The result's FragmenType is ENTRY_DATA when
// accepted, ENTRY_PENDING when rejected. Without a paired file head a run
// needs ten samples besides the anchor; a shorter run of three or more is
// accepted when judge (the recording's decoder) finds every whole video sample
// of it clean - heavily fragmented media leave pieces of a few frames.
TFragmenArr Find_FrameFragment(const TAnalysisContext& ctx, bool paired, const TFrameAnchor& a, int32_t c,
                               int32_t s, const TVideo& v, const TSampleJudge* judge = nullptr);

// Shell sort of the entries on FragmeSnum, then FragmeSLnum, ascending
// (header entries, key -1, stay in front).
void Sort_Fragment(TRebuildResult& r);

// Marks the later entries that overlap entry m (or m itself when a longer
// later entry covers it). multi: chunks may hold more than one sample.
void Mark_Overlap(TRebuildResult& r, int32_t m, bool multi);

// Fills the synthesized-head fields of the first data entry E of r: its copy
// start, UpHeadNum, UpHeadFreeSpace, and r.HeadFlag / r.HeadLenx.
void Set_SynthesizedHead(TRebuildResult& r, int32_t E, const TVideo& v);

} // namespace qrv
