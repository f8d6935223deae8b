#include "analysis/header_analysis.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "analysis/output.h"
#include "analysis/probe_batch.h"
#include "analysis/sample_start.h"
#include "analysis/seam_growth.h"
#include "analysis/seam_judge.h"
#include "analysis/seams.h"
#include "common/byte_order.h"
#include "common/checked_math.h"
#include "common/language.h"
#include "common/op_state.h"
#include "common/ui_message.h"
#include "media/raw_access.h"
#include "scan/alloc_map.h"
#include "scan/classifier.h"
#include "scan/feature_index.h"
#include "scan/frame_feature.h"
#include "scan/movie_generic.h"
#include "scan/track_tables.h"

namespace qrv {

namespace {

constexpr int64_t kSector = 512;
constexpr int64_t kSearchStep = 65536;
constexpr int64_t kSearchRead = kSearchStep + 1024;
// Most threads sharing one window search (the caller is one of them).
constexpr int64_t kMaxSearchThreads = 4;


std::string Dec(int64_t v) { return std::to_string(v); }

// Position of one sample in the tables.
struct TSamplePos {
    int32_t Chunk = -1;
    int32_t Index = -1;
    bool Valid() const { return Chunk >= 0; }
};

TSamplePos Prev_Sample(const TVideo& v, TSamplePos p) {
    if (p.Index > 0) return {p.Chunk, p.Index - 1};
    for (int32_t c = p.Chunk - 1; c >= 0; --c) {
        const auto& arr = v.STCOArr[size_t(c)].STSZArr;
        if (!arr.empty()) return {c, int32_t(arr.size()) - 1};
    }
    return {};
}

TSamplePos Next_Sample(const TVideo& v, TSamplePos p) {
    if (p.Index + 1 < int32_t(v.STCOArr[size_t(p.Chunk)].STSZArr.size())) return {p.Chunk, p.Index + 1};
    for (int32_t c = p.Chunk + 1; c < int32_t(v.STCOArr.size()); ++c)
        if (!v.STCOArr[size_t(c)].STSZArr.empty()) return {c, 0};
    return {};
}

const TVideoSTSZ& Sample_At(const TVideo& v, TSamplePos p) {
    return v.STCOArr[size_t(p.Chunk)].STSZArr[size_t(p.Index)];
}

// Tests for a sample start at p, following leading SEI / parameter-set units
// to the slice. Only the sector or two holding each unit header are read: a
// fragment walk makes one probe per sample.
bool Probe_Sample(TSource& h, int64_t p, const TVideoSTSZ& s, TNalFormat f) {
    return Probe_SampleStart(h, p, s.STSZlen, s.STSSFlag, f);
}

// Counters shared by the threads of one frame-start search.
struct TSearchShared {
    const TSampleKeys& Keys;
    std::atomic<int64_t> Found{0};
    std::atomic<int32_t> Blocks{0};
};

// The generic type's search block: every position whose 4-byte length prefix
// and position in its sector make a key of the recording's tables and whose
// unit is the first slice of an H.264 or H.265 picture. The key decides, so
// no fixed slice header bytes are needed (other encoders write other ones).
void Scan_SearchBlock_Generic(const uint8_t* buf, int64_t pos, TSearchShared& sh,
                              std::vector<TFrameAnchor>& anchors) {
    static constexpr TNalFormat kH264{NAL_H264, 4}, kH265{NAL_H265, 4};
    for (int64_t b = 0; b < kSearchStep;) {
        const void* z = std::memchr(buf + b, 0, size_t(kSearchStep - b));
        if (z == nullptr) break;
        b = static_cast<const uint8_t*>(z) - buf;
        const uint32_t v = Get_BE32(buf + b);
        if (v == 0) {
            // A run of zeros (unused clusters) holds no prefix until its last
            // three bytes: go to where it ends.
            int64_t q = b + 4;
            while (q + 8 <= kSearchStep) {
                uint64_t w;
                std::memcpy(&w, buf + q, 8);
                if (w != 0) break;
                q += 8;
            }
            while (q < kSearchStep && buf[q] == 0)
                ++q;
            b = std::max(b + 1, q - 3);
            continue;
        }
        const int64_t off = pos + b;
        bool sync = false;
        if (sh.Keys.May_Hold(v + 4, uint32_t(off % kSector)) &&
            (Is_SliceStart(buf + b, kH264, sync) || Is_SliceStart(buf + b, kH265, sync)) &&
            sh.Keys.Find(v + 4, uint32_t(off % kSector)) >= 0) {
            TFrameAnchor a;
            a.AnchorOff = off;
            a.SliceByte = buf[b + 5];
            a.AnchorSize = int32_t(v + 4);
            a.AnchorUsed = 0;
            anchors.push_back(a);
            const int64_t found = sh.Found.fetch_add(1) + 1;
            Send_UIMessage(
                MSG_STATUS2_FROM_P3,
                {"", "", Tr("样本键数:") + Dec(sh.Keys.Count()) + ";" + Tr("已发现:") + Dec(found)});
            b += 11;
            continue;
        }
        ++b;
    }
}

// Examines buffer positions [0, kSearchStep) of one search block read at pos
// (the buffer holds kSearchRead bytes, enough for a feature at the last
// position and the vector search's slack). A feature whose length prefix is
// zero skips past its header bytes; a matched key skips past the slice header.
void Scan_SearchBlock(const uint8_t* buf, int64_t pos, TSearchShared& sh, std::vector<TFrameAnchor>& anchors) {
    static_assert(kSearchRead - kSearchStep >= kFrameFeatureSlack);
    for (int64_t b = Find_FrameFeature(buf, 0, kSearchStep); b < kSearchStep;) {
        int64_t next = b + 1;
        const uint32_t v = Get_BE32(buf + b);
        if (v == 0) {
            next = b + 5;
        } else {
            const int64_t off = pos + b;
            if (sh.Keys.Find(v + 4, uint32_t(off % kSector)) >= 0) {
                TFrameAnchor a;
                a.AnchorOff = off;
                a.SliceByte = buf[b + 5];
                a.AnchorSize = int32_t(v + 4);
                a.AnchorUsed = 0;
                anchors.push_back(a);
                next = b + 11;
                const int64_t found = sh.Found.fetch_add(1) + 1;
                Send_UIMessage(MSG_STATUS2_FROM_P3,
                               {"", "", Tr("样本键数:") + Dec(sh.Keys.Count()) + ";" + Tr("已发现:") + Dec(found)});
            }
        }
        b = next < kSearchStep ? Find_FrameFeature(buf, next, kSearchStep) : kSearchStep;
    }
}

// Searches the kBlocksPerRead search blocks from group (fewer at the window
// end) into anchors. The group is read in one large sequential read; each
// block is then examined as if read on its own, with the 1 KiB overlap after
// it. Reads start at sector-aligned offsets (raw devices accept nothing
// else); lead is where the window start lies inside its sector. A read that
// comes back short (a bad sector, or the end of the medium) is redone block
// by block, so an unreadable sector costs no more than its own block.
constexpr int64_t kBlocksPerRead = 8;
constexpr int64_t kGroupBytes = kBlocksPerRead * kSearchStep;

void Search_Group(TOpState& op, TSource& h, int64_t group, int64_t end, int64_t lead,
                  std::vector<uint8_t>& buf, int recType, TSearchShared& sh,
                  std::vector<TFrameAnchor>& anchors) {
    const size_t blockLen = size_t(Round_Up(lead + kSearchRead, kSector));
    const int64_t inGroup = std::min<int64_t>(kBlocksPerRead, (end - group + kSearchStep - 1) / kSearchStep);
    const size_t want = size_t(Round_Up(lead + (inGroup - 1) * kSearchStep + kSearchRead, kSector));
    const bool whole = Read_Block(h, buf.data(), want, group - lead) == int64_t(want);
    for (int64_t k = 0; k < inGroup && !op.StopFlag.load(); ++k) {
        const int64_t pos = group + k * kSearchStep;
        uint8_t* at = buf.data() + k * kSearchStep;
        if (!whole) Read_Block(h, at, blockLen, pos - lead); // zeros where nothing could be read
        if (recType == 0) Scan_SearchBlock(at + lead, pos, sh, anchors);
        else if (recType == 1)
            Scan_SearchBlock_Generic(at + lead, pos, sh, anchors);
        const int32_t blocks = sh.Blocks.fetch_add(1) + 1;
        op.Progress2 = blocks;
        Send_UIMessage(MSG_STATUS3, {Dec(blocks), "", Tr("已遍历块:") + Dec(pos / kSearchStep)});
    }
}

} // namespace

void Get_SearchRange(int scheme, int headMode, int64_t E, int64_t M, int64_t F, int64_t HE, int64_t HS,
                     int64_t& start, int64_t& end) {
    if (headMode == 0) {
        start = Floor512(std::max<int64_t>(HS - 2 * M, 0));
        end = std::min(Ceil512(HE), E);
    } else {
        int64_t s0 = std::max<int64_t>(HS - 2 * M, 0);
        int64_t e0 = s0 == HS ? HS + 8 * M : HS;
        start = Floor512(s0);
        end = std::min(Ceil512(e0), E);
    }
    if (M <= 0) return;
    if (headMode == 0 && F != -1) {
        start = F;
        end = HS;
    }
    // A head that holds its movie box belongs to a file whose media data
    // follows the movie box, so the one-way windows of head mode 1 look above
    // the header: [HS, HE + kM], or up to the scan end for the widest one. The
    // header's own sectors are included, as the first samples may share its
    // last sector. The reverse and both-ways windows stay as they are.
    if (headMode == 1 && (scheme == 0 || scheme == 1 || scheme == 6)) {
        start = Floor512(HS);
        end = scheme == 6 ? E : Ceil512(std::min(HE + (scheme == 0 ? 2 : 4) * M, E));
        return;
    }
    switch (scheme) {
    case 1:
        start = Floor512(std::max<int64_t>(HS - 4 * M, 0));
        end = Ceil512(std::min(HS, E));
        break;
    case 2:
        start = Floor512(HS);
        end = Ceil512(std::min(HS + 2 * M, E));
        break;
    case 3:
        start = Floor512(HS);
        end = Ceil512(std::min(HS + 4 * M, E));
        break;
    case 4:
        start = Floor512(std::max<int64_t>(HS - 2 * M, 0));
        end = Ceil512(std::min(HE + 2 * M, E));
        break;
    case 5:
        start = Floor512(std::max<int64_t>(HS - 4 * M, 0));
        end = Ceil512(std::min(HE + 4 * M, E));
        break;
    case 6:
        start = 0;
        end = Ceil512(std::min(HS, E));
        break;
    case 7:
        start = 0;
        end = E;
        break;
    default:
        break;
    }
}

void Find_FrameAnchors_Window(TOpState& op, TSource& h, int64_t start, int64_t end, int recType,
                              const TSampleKeys& keys, std::vector<TFrameAnchor>& anchors) {
    // The window is cut into groups of search blocks. The blocks are
    // independent of each other, so the groups are shared out among a few
    // threads (reading and searching a window is most of the analysis time);
    // each group's anchors are kept apart and joined in window order, which
    // gives exactly the list a single pass would.
    const int64_t lead = ((start % kSector) + kSector) % kSector;
    if (start - lead < 0 || start >= end) return;
    const int64_t groups = (end - start + kGroupBytes - 1) / kGroupBytes;
    const size_t bufLen = size_t(Round_Up(lead + (kBlocksPerRead - 1) * kSearchStep + kSearchRead, kSector));
    TSearchShared sh{keys};
    std::vector<std::vector<TFrameAnchor>> found(static_cast<size_t>(groups));
    std::atomic<int64_t> nextGroup{0};
    std::mutex failMu;
    std::exception_ptr failure;
    auto work = [&] {
        const TOpBinding reporting(op); // the helpers report for the same operation
        try {
            std::vector<uint8_t> buf(bufLen);
            for (int64_t g; !op.StopFlag.load() && (g = nextGroup.fetch_add(1)) < groups;)
                Search_Group(op, h, start + g * kGroupBytes, end, lead, buf, recType, sh, found[size_t(g)]);
        } catch (...) {
            std::lock_guard<std::mutex> lk(failMu);
            if (!failure) failure = std::current_exception();
            nextGroup = groups; // the others stop after their current group
        }
    };
    const int64_t threadsWanted =
        std::clamp<int64_t>(int64_t(std::thread::hardware_concurrency()), 1, kMaxSearchThreads);
    std::vector<std::thread> helpers;
    for (int64_t t = 1; t < std::min(groups, threadsWanted); ++t) helpers.emplace_back(work);
    work();
    for (auto& t : helpers) t.join();
    if (failure) std::rethrow_exception(failure);
    for (const auto& v : found) anchors.insert(anchors.end(), v.begin(), v.end());
}

namespace {

// The probes of one batch that the feature index answers: answer[n] is 1 or 0
// where the index holds a feature at positions[n], -1 where the bytes must be
// read (not covered by the scan, or no feature there).
void Answer_FromIndex(const TFeatureIndex* index, const TVideo& v,
                      const std::vector<std::pair<TSamplePos, int64_t>>& next, const std::vector<int64_t>& positions,
                      std::vector<TFeatureEntry>& known, std::vector<int8_t>& answer) {
    answer.assign(next.size(), -1);
    if (index == nullptr || positions.empty()) return;
    const auto [lo, hi] = std::minmax_element(positions.begin(), positions.end());
    if (*lo < 0 || !index->Covers(*lo, *hi + 1)) return;
    known.clear();
    if (!index->Entries(*lo, *hi + 1, known)) return;
    for (size_t n = 0; n < next.size(); ++n) {
        auto it = std::lower_bound(known.begin(), known.end(), positions[n],
                                   [](const TFeatureEntry& e, int64_t off) { return e.Off < off; });
        if (it == known.end() || it->Off != positions[n]) continue;
        const TVideoSTSZ& s = Sample_At(v, next[n].first);
        answer[n] = it->Sync == bool(s.STSSFlag) && uint64_t(it->Len) + 4 == uint64_t(s.STSZlen);
    }
}

// The fewest samples a run may have when only decoding vouches for it: a
// single matching size at the right sector position happens by chance on a
// full card; three in a row, each decoding cleanly, do not.
constexpr int64_t kShortRunMin = 3;

// True when every video sample from first up to (not including) last, laid
// out on the medium from firstOff as the tables place them relative to each
// other, decodes cleanly on its own. The run's last sample is left out: the
// walk found where it starts, but its body may run into the next piece.
bool Run_DecodesClean(TSource& h, const TVideo& v, TSamplePos first, int64_t firstOff, TSamplePos last,
                      const TSampleJudge* judge) {
    if (!judge || !*judge) return false;
    const int64_t base = Sample_At(v, first).STSZoff;
    const int64_t len = Sample_At(v, last).STSZoff - base;
    if (len <= 0 || len > (int64_t(64) << 20)) return false;
    const std::vector<uint8_t> bytes = Get_Bytes(h, len, firstOff);
    if (int64_t(bytes.size()) != len) return false;
    for (TSamplePos q = first; !(q.Chunk == last.Chunk && q.Index == last.Index); q = Next_Sample(v, q)) {
        if (!q.Valid()) return false;
        const TVideoSTSZ& smp = Sample_At(v, q);
        const int64_t at = smp.STSZoff - base;
        if (at < 0 || at + int64_t(smp.STSZlen) > len) return false;
        if (!(*judge)(std::span<const uint8_t>(bytes.data() + at, smp.STSZlen))) return false;
    }
    return true;
}

} // namespace

TFragmenArr Find_FrameFragment(const TAnalysisContext& ctx, bool paired, const TFrameAnchor& a, int32_t c,
                               int32_t s, const TVideo& v, const TSampleJudge* judge) {
    TSource& h = ctx.Source;
    TFragmenArr out;
    out.FragmenType = ENTRY_PENDING;
    if (c < 0 || c >= int32_t(v.STCOArr.size())) return out;
    const auto& chunk = v.STCOArr[size_t(c)];
    if (chunk.STSZArr.empty() || s < 0 || s >= int32_t(chunk.STSZArr.size())) return out;

    const TSamplePos anchorPos{c, s};
    TSamplePos first = anchorPos, last = anchorPos;
    int64_t firstOff = a.AnchorOff, lastOff = a.AnchorOff;
    int64_t i = 0, j = 0;

    // Backwards from the anchor, then forwards, one sample at a time; the
    // walk stops at the first sample that does not start where predicted.
    // The probes are read in batches (growing from 4 to 64) in medium order.
    // A probe at a position the scan examined and found a frame feature at is
    // answered from the feature index: a sample start there can only be that
    // slice, so it is one exactly when the slice's type and length fit.
    TProbeBatch batch(h);
    // The index holds the camera's frame features; other codings are read.
    const auto index = v.Format.Codec == NAL_CAMERA ? ctx.Session.Feature_Index(h) : nullptr;
    std::vector<std::pair<TSamplePos, int64_t>> next;
    std::vector<int64_t> positions, toRead;
    std::vector<TFeatureEntry> known;
    std::vector<int8_t> answer; // per probe: 1 or 0 from the index, -1 to be read
    auto walk = [&](bool back, TSamplePos& end, int64_t& endOff, int64_t& count) {
        TSamplePos r = anchorPos;
        int64_t p = a.AnchorOff;
        for (size_t want = 4;; want = std::min<size_t>(want * 2, 64)) {
            next.clear();
            positions.clear();
            TSamplePos x = r;
            int64_t px = p;
            while (next.size() < want) {
                const TSamplePos q = back ? Prev_Sample(v, x) : Next_Sample(v, x);
                if (!q.Valid()) break;
                px += Sample_At(v, q).STSZoff - Sample_At(v, x).STSZoff;
                next.push_back({q, px});
                positions.push_back(px);
                x = q;
            }
            if (next.empty()) return;
            Answer_FromIndex(index.get(), v, next, positions, known, answer);
            toRead.clear();
            for (size_t n = 0; n < next.size(); ++n)
                if (answer[n] < 0) toRead.push_back(positions[n]);
            batch.Prefetch(toRead);
            for (size_t n = 0; n < next.size(); ++n) {
                const auto& [q, pq] = next[n];
                if (answer[n] >= 0 ? answer[n] == 0 : !Probe_Sample(batch, pq, Sample_At(v, q), v.Format))
                    return;
                end = q;
                endOff = pq;
                ++count;
                r = q;
                p = pq;
            }
        }
    };
    walk(true, first, firstOff, i);
    walk(false, last, lastOff, j);
    if (!paired && i + j <= 9 && !(i + j >= kShortRunMin - 1 && Run_DecodesClean(h, v, first, firstOff, last, judge)))
        return out;

    out.FragmenType = ENTRY_DATA;
    out.FragmeSnumType = 0;
    out.FragmeSnum = first.Chunk;
    out.FragmeSLnum = first.Index;
    out.FragmeEnum = last.Chunk;
    out.FragmeELnum = last.Index;
    out.FragmenSoff = firstOff;
    out.FragmenEoff = lastOff;
    return out;
}

void Sort_Fragment(TRebuildResult& r) {
    // File order: by first chunk, and inside a chunk that holds several
    // samples by first sample (pieces of one large chunk start in it).
    auto Earlier = [](const TFragmenArr& x, const TFragmenArr& y) {
        return x.FragmeSnum < y.FragmeSnum || (x.FragmeSnum == y.FragmeSnum && x.FragmeSLnum < y.FragmeSLnum);
    };
    auto& a = r.FragmenArray;
    const int64_t n = int64_t(a.size());
    for (int64_t gap = (n - 1) / 2; gap > 0; gap /= 2) {
        for (int64_t f = gap; f < n; ++f) {
            TFragmenArr tmp = std::move(a[size_t(f)]);
            int64_t k = f;
            while (k >= gap && Earlier(tmp, a[size_t(k - gap)])) {
                a[size_t(k)] = std::move(a[size_t(k - gap)]);
                k -= gap;
            }
            a[size_t(k)] = std::move(tmp);
        }
    }
}

void Mark_Overlap(TRebuildResult& r, int32_t m, bool multi) {
    auto& a = r.FragmenArray;
    if (m < 0 || m >= int32_t(a.size())) return;
    const int32_t ce = a[size_t(m)].FragmeEnum, se = a[size_t(m)].FragmeELnum;
    const int64_t lenM = a[size_t(m)].FragmenEoff - a[size_t(m)].FragmenSoff;
    for (size_t k = size_t(m) + 1; k < a.size(); ++k) {
        TFragmenArr& e = a[k];
        bool after = multi ? (ce < e.FragmeSnum || (ce == e.FragmeSnum && se < e.FragmeSLnum)) : ce < e.FragmeSnum;
        if (after) break;
        const int64_t lenK = e.FragmenEoff - e.FragmenSoff;
        if (lenK <= lenM) e.ChongHeFlag = true;
        if (lenM < lenK) {
            a[size_t(m)].ChongHeFlag = true;
            break;
        }
    }
}

void Set_SynthesizedHead(TRebuildResult& r, int32_t E, const TVideo& v) {
    TFragmenArr& e = r.FragmenArray[size_t(E)];
    int64_t X = 0;
    if (e.FragmeSnum >= 0 && e.FragmeSnum < int32_t(v.STCOArr.size())) {
        const auto& ch = v.STCOArr[size_t(e.FragmeSnum)];
        if (e.FragmeSLnum == -1 || e.FragmeSLnum < 0 || e.FragmeSLnum >= int32_t(ch.STSZArr.size()))
            X = ch.STCOoff;
        else
            X = ch.STSZArr[size_t(e.FragmeSLnum)].STSZoff;
    }
    int64_t S = Floor512(e.FragmenSoff);
    int64_t G = X - (e.FragmenSoff - S);
    int64_t freeValue = G;
    if (G == 0) {
        G = 512;
        S = S + 512;
        freeValue = 0;
    } else if (G < 0) {
        G = 512;
        S = e.FragmenSoff - X + 512;
        freeValue = 0;
    }
    e.FragmentLastSoff = S;
    e.FragmentLastErySoff = S;
    e.UpHeadNum = 1;
    e.UpHeadFreeSpace = freeValue;
    r.HeadFlag = 1;
    r.HeadLenx = G;
}

int64_t Count_PlacedSamples(const TRebuildResult& r, const TVideo& v) {
    // Copied stretches of the output file, in file order, neighbours joined.
    std::vector<std::pair<int64_t, int64_t>> copied;
    for (const TOutputPart& part : Output_Layout(r).Parts)
        for (const TOutputPiece& p : part.Pieces) {
            if (p.Mode != PIECE_COPY) continue;
            const int64_t end = Add_Checked(p.FileOff, p.Length).value_or(INT64_MAX);
            if (!copied.empty() && copied.back().second == p.FileOff)
                copied.back().second = end;
            else
                copied.push_back({p.FileOff, end});
        }
    int64_t placed = 0;
    size_t k = 0;
    for (const auto& ch : v.STCOArr)
        for (const auto& smp : ch.STSZArr) {
            const int64_t s = smp.STSZoff, t = smp.STSZoff + int64_t(smp.STSZlen);
            while (k < copied.size() && copied[k].second <= s)
                ++k;
            if (k < copied.size() && copied[k].first <= s && t <= copied[k].second) ++placed;
        }
    return placed;
}

// Looks for the separate file head of a bare movie box H among the 50 scan
// results on either side of it (nearest first, below before above): a head
// whose media data has H's length and starts where H says, and that isFree
// accepts (by default: not taken). Appends it to R as its file head entry and
// returns its scan index, -1 when none fits; marking it taken is the caller's.
int64_t Pair_FileHead(TScanSession& session, TRebuildResult& R, const TScanResult& H, int64_t headerIndex,
                      const THeadFree& isFree) {
    int64_t paired = -1;
    const int64_t i = headerIndex;
    const int64_t count = session.Scans.Count();
    const int64_t hs = R.FragmenArray[0].FragmenSoff;
    session.Op.JudgedBlocks = 0;
    auto tryPair = [&](int64_t k, bool below) -> bool {
        session.Op.JudgedBlocks.fetch_add(1);
        const TScanResult& T = session.Scans.Get(k);
        if (T.Fragmentype != KIND_HEAD_MDAT || !(isFree ? isFree(k) : T.FrammentFlag != 1)) return false;
        if (T.MdatLen != H.MdatLen) return false;
        if (int64_t(H.Next_AtomOff) != T.FragmentOff % kSector) return false;
        if (below ? hs - T.FragmentOff < 0 : T.FragmentOff - hs < 0) return false;
        TFragmenArr e;
        e.FragmenType = ENTRY_FILE_HEAD;
        e.FragmenSoff = e.FragmentLastSoff = T.FragmentOff;
        e.FragmenEoff = e.FragmentLastEoff = Floor512(T.FragmentOff) + kSector;
        e.MdatLen = T.MdatLen;
        R.FragmenArray.push_back(std::move(e));
        R.MdatModSoff = T.MdatOFF;
        ++R.Fragmenum;
        paired = k;
        return true;
    };
    for (int64_t k = i; k >= std::max<int64_t>(i - 50, 0) && paired < 0; --k) tryPair(k, true);
    for (int64_t k = i; paired < 0 && k < std::min<int64_t>(i + 50, count); ++k) tryPair(k, false);
    return paired;
}

// Grows a data fragment from each anchor not yet inside an earlier one and
// appends it to R. The key gives the lowest sample with the anchor's size and
// sector position; that sample anchors the fragment wherever it lies in its
// chunk (the tables fix every sample's start: its chunk's offset plus the sizes
// of the samples before it in the chunk). A video-only recording writes many
// samples per chunk, and a chunk's first sample often carries parameter sets
// ahead of its slice, where no frame start is found.
void Fragments_FromAnchors(const TAnalysisContext& ctx, bool paired, const TVideo& video, const TSampleKeys& keys,
                           std::vector<TFrameAnchor>& anchors, TRebuildResult& R, const TSampleJudge* judge) {
    TScanSession& session = ctx.Session;
    std::vector<int64_t> chunkFirst; // 0-based index of each chunk's first sample
    chunkFirst.reserve(video.STCOArr.size());
    {
        int64_t n = 0;
        for (const auto& ch : video.STCOArr) {
            chunkFirst.push_back(n);
            n += int64_t(ch.STSZArr.size());
        }
    }

    Send_UIMessage(MSG_GAUGE2_RANGE, {Dec(int64_t(anchors.size())), "", ""});
    session.Op.Progress2 = 0;
    size_t k = 0;
    while (k < anchors.size()) {
        session.Op.Progress2 = int32_t(k);
        // The count goes out every 64 anchors and for the last one: a message
        // per anchor costs more than judging most anchors does.
        if (k % 64 == 0 || k + 1 == anchors.size())
            Send_UIMessage(MSG_STATUS3, {Dec(int64_t(k)), "", Tr("已判断数量:") + Dec(int64_t(k))});
        TFrameAnchor& A = anchors[k];
        if (A.AnchorUsed == 1) {
            ++k;
            continue;
        }
        const uint32_t mod = uint32_t(A.AnchorOff % kSector);
        const int64_t d = keys.Find(uint32_t(A.AnchorSize), mod);
        TFragmenArr cand;
        cand.FragmenType = ENTRY_PENDING;
        if (d >= 0) {
            const int32_t c =
                int32_t(std::upper_bound(chunkFirst.begin(), chunkFirst.end(), d) - chunkFirst.begin()) - 1;
            if (c >= 0)
                cand = Find_FrameFragment(ctx, paired, A, c, int32_t(d - chunkFirst[size_t(c)]), video, judge);
        }
        if (cand.FragmenType != ENTRY_DATA) {
            ++k;
            continue;
        }
        TFragmenArr e;
        e.FragmenType = ENTRY_DATA;
        e.FragmeSnumType = cand.FragmeSnumType;
        e.FragmeSnum = cand.FragmeSnum;
        e.FragmeEnum = cand.FragmeEnum;
        e.FragmeSLnum = cand.FragmeSLnum;
        e.FragmeELnum = cand.FragmeELnum;
        e.FragmenSoff = cand.FragmenSoff;
        e.FragmenEoff = cand.FragmenEoff;
        R.FragmenArray.push_back(std::move(e));
        ++R.Fragmenum;
        Send_UIMessage(MSG_STATUS2_FROM_P3, {"", "", Tr("已重组数量:") + Dec(R.Fragmenum)});
        const int64_t fragEnd = cand.FragmenEoff;
        A.AnchorUsed = 1;
        ++k;
        while (k < anchors.size() && anchors[k].AnchorOff <= fragEnd) anchors[k++].AnchorUsed = 1;
    }
}

// Links every entry to the next (the seams between the pieces, and from the
// last piece to a movie box at the end), then gives a recording that has no
// file head a synthesized one in front of its first data piece.
void Link_All(const TAnalysisContext& ctx, int headMode, const TVideo& video, TRebuildResult& R,
              const TSampleJudge* judge, const TClusterGeometry* geometry, const TSeamSearch* search) {
    int32_t L = R.Fragmenum - 1;
    if (R.FragmenArray[size_t(L)].ChongHeFlag) {
        while (L > 0 && R.FragmenArray[size_t(L)].ChongHeFlag) --L;
    }
    R.LastFragNumx = L;
    bool headPresent = false;
    int32_t firstData = -1;
    for (int32_t m = 0; m < R.Fragmenum; ++m) {
        const TFragmenArr& e = R.FragmenArray[size_t(m)];
        if ((e.FragmenType == ENTRY_FILE_HEAD && !e.ChongHeFlag) || headMode == 1) headPresent = true;
        if (!e.ChongHeFlag && e.FragmenType == ENTRY_DATA && firstData == -1 && !headPresent) firstData = m;
        const int32_t before = R.Fragmenum;
        Link_Fragment(ctx, R.CamerType, L, m, R, video, judge, geometry, search);
        if (R.Fragmenum > before) {
            // An entry for a gap's middle found elsewhere now follows m.
            ++m;
            if (m <= L) R.LastFragNumx = ++L;
        }
    }

    // A recording without a file head gets one made for it before its first data piece.
    if (!headPresent && firstData != -1) {
        Set_SynthesizedHead(R, firstData, video);
        Extend_FirstEntry(ctx, R, firstData, video, geometry);
    }

    // A movie box at the front: the file ends where its media end. When the
    // last pieces were not found, what they held is zero-filled, so the media
    // data keeps the length its box header and the tables give.
    if (R.CamerType == 0 && L > 0 && R.FragmenArray[0].FragmenType == ENTRY_MOVIE) {
        TFragmenArr& last = R.FragmenArray[size_t(L)];
        const int64_t lost = R.FragmenArray[0].MdatLen - Written_Length(R);
        if (last.FragmenType == ENTRY_DATA && last.LastFragmenum == 0 && lost > 0) last.FragmentFreeSpace += lost;
    }
}

// Where the missing middle of R's gaps may be looked for: 8 MiB around the
// medium span of R's pieces, outside what R's pieces and every result
// committed to the session before it hold.
TSeamSearch Seam_Search(TScanSession& session, const TRebuildResult& R) {
    constexpr int64_t kAround = int64_t(8) << 20;
    TSeamSearch s;
    int64_t lo = INT64_MAX, hi = 0;
    for (const TFragmenArr& e : R.FragmenArray) {
        if (e.ChongHeFlag || e.FragmenEoff <= e.FragmenSoff) continue;
        s.Claimed.push_back({e.FragmenSoff, e.FragmenEoff});
        if (e.FragmenType == ENTRY_DATA) {
            lo = std::min(lo, e.FragmenSoff);
            hi = std::max(hi, e.FragmenEoff);
        }
    }
    if (lo < hi) {
        s.From = std::max<int64_t>(lo - kAround, 0);
        s.To = hi + kAround;
    }
    for (int64_t i = 0; i < session.Rebuilds.Count(); ++i) {
        const TRebuildResult& o = session.Rebuilds.Get(i);
        for (const TFragmenArr& e : o.FragmenArray) {
            if (e.ChongHeFlag) continue;
            const int64_t a = Get_CopyStart(e), b = Get_CopyEnd(e);
            if (a >= 0 && b > a) s.Claimed.push_back({a, b});
        }
    }
    s.Normalize();
    return s;
}

int Unverified_Seams(const TRebuildResult& R) {
    int n = 0;
    for (const TFragmenArr& e : R.FragmenArray)
        if (!e.ChongHeFlag && e.SeamState == SEAM_UNVERIFIED) ++n;
    return n;
}

// The seams of R. On a medium whose file system is known its clusters are
// used. Without one, the cluster size is inferred from the pieces themselves
// (an upper bound: pieces that agree on a larger size by chance make it too
// large), and when a seam is left unverified the linking is done again with
// half the size, down to 4 KiB, keeping the first pass that verifies all.
void Resolve_Seams(const TAnalysisContext& ctx, int headMode, const TVideo& video, TRebuildResult& R,
                   const TSampleJudge* judge) {
    const TSeamSearch search = Seam_Search(ctx.Session, R);
    if (Is_KnownFs(ctx.Node.HddFs)) {
        Link_All(ctx, headMode, video, R, judge, nullptr, &search);
        return;
    }
    constexpr int64_t kSmallest = 4096;
    const TClusterGeometry first = Infer_ClusterGeometry(R, video, Get_ClusterGeometry(ctx.Node, ctx.Map, ctx.AlignBase), kSmallest);
    const TRebuildResult before = R;
    std::optional<TRebuildResult> best;
    int bestUnverified = 0;
    for (TClusterGeometry g = first; g.Size >= kSmallest; g.Size /= 2) {
        if (g.Size != first.Size) {
            R = before;
            g.Base = first.Base % g.Size;
        }
        Link_All(ctx, headMode, video, R, judge, &g, &search);
        const int unverified = Unverified_Seams(R);
        if (unverified == 0) return;
        if (!best || unverified < bestUnverified) {
            best = R;
            bestUnverified = unverified;
        }
    }
    if (best) R = std::move(*best);
}

THeaderTables Read_HeaderTables(const TAnalysisContext& ctx, int64_t headerIndex) {
    THeaderTables t;
    Get_MOOV_VideoAndSound(ctx.Source, ctx.Session, headerIndex, t.Video, ctx.RecoveryType, ctx.ScanEnd, t.Keys);
    return t;
}

namespace {

// The rebuild result of header H with its movie header entry.
TRebuildResult Header_Result(const TScanResult& H, int headMode) {
    TRebuildResult r{};
    r.Fragmenum = 1;
    r.CamerType = H.CamerType;
    r.CarmerModel = H.CamerModel;
    r.CreateTime = H.CreateTime;
    r.Durting = H.Durting;
    TFragmenArr e0;
    e0.FragmenType = ENTRY_MOVIE;
    e0.MdatLen = H.True_MdatLen;
    e0.FragmentLastErySoff = H.FragmentOff;
    e0.FragmeSnum = e0.FragmeEnum = e0.FragmeSLnum = e0.FragmeELnum = -1;
    e0.FragmeSnumType = 255;
    e0.MdatOFF = H.Next_AtomOff;
    e0.FragmenSoff = H.FragmentOff;
    const int64_t W = headMode == 1 ? H.MoovOff % kSector : 0;
    e0.FragmenEoff = H.FragmentOff + H.MoovLen + H.MoovFreeLen + W;
    r.FragmenArray.push_back(std::move(e0));
    return r;
}

// First chunk offset and whether any chunk holds several samples.
void Note_ChunkLayout(TVideo& video, TRebuildResult& R) {
    if (!video.STCOArr.empty()) R.Video_FirLogSoff = int32_t(uint32_t(uint64_t(video.STCOArr[0].STCOoff)));
    video.STSC_SubFlag = false;
    for (const auto& ch : video.STCOArr)
        if (ch.STSZNum > 1) {
            video.STSC_SubFlag = true;
            break;
        }
}

// The file head of R: a bare movie box looks for its separate file head among
// the nearby scan results; returns its scan index, -1 when none was found.
int64_t Place_FileHead(const TAnalysisContext& ctx, const TScanResult& H, int64_t headerIndex, TRebuildResult& R,
                       const THeadFree& isFree) {
    const int64_t head = H.CamerType != 0 ? Pair_FileHead(ctx.Session, R, H, headerIndex, isFree) : -1;
    const bool paired = head >= 0;
    // A generic recording without a maker's model is named by its file head's brand.
    if (ctx.RecoveryType == 1 && paired && R.CarmerModel.empty() && R.FragmenArray.size() > 1 &&
        R.FragmenArray[1].FragmenType == ENTRY_FILE_HEAD)
        R.CarmerModel = Ftyp_Brand(ctx.Source, R.FragmenArray[1].FragmenSoff);

    // A head that holds its movie box ends at the end of the box's closing box.
    if (!paired && H.CamerType == 0) {
        int64_t e = Ceil512(H.MoovFreeSoff + H.MoovFreeLen);
        R.FragmenArray[0].FragmenEoff = R.FragmenArray[0].FragmentLastEoff = e;
    }
    return head;
}

// Frame starts in the window [start, end) (or the ones found for all headers
// at once) that fit a sample; they are also listed in session.Anchors.
std::vector<TFrameAnchor> Collect_Anchors(const TAnalysisContext& ctx, int64_t start, int64_t end,
                                          const TSampleKeys& keys, const std::vector<TFrameAnchor>* found) {
    TScanSession& session = ctx.Session;
    session.Anchors.Clear();
    session.Op.JudgedBlocks = 0;
    Send_UIMessage(MSG_SHOW_GAUGE2);
    Send_UIMessage(MSG_GAUGE2_RANGE, {Dec((end - start) / kSearchStep), "", ""});
    session.Op.Progress2 = 0;
    std::vector<TFrameAnchor> anchors;
    if (found) {
        for (const TFrameAnchor& a : *found)
            if (keys.Find(uint32_t(a.AnchorSize), uint32_t(a.AnchorOff % kSector)) >= 0) anchors.push_back(a);
    } else {
        Find_FrameAnchors(session, ctx.Source, start, end, ctx.RecoveryType, keys, anchors);
    }
    for (const auto& a : anchors)
        session.Anchors.Append(a);
    return anchors;
}

// Fragments in file order; a fragment overlapping an earlier one is marked and left out.
void Order_Fragments(TRebuildResult& R, bool subFlag) {
    Sort_Fragment(R);
    for (int32_t m = 0; m + 1 < R.Fragmenum; ++m) {
        const TFragmenArr& e = R.FragmenArray[size_t(m)];
        if (!e.ChongHeFlag && e.FragmeSnum != -1) Mark_Overlap(R, m, subFlag);
    }
}

} // namespace

THeadMoov Get_HeadMoov(const TAnalysisContext& ctx, int headMode, int64_t headerIndex,
                       const std::vector<TFrameAnchor>* found, THeaderTables* tables, const THeadFree& isFree) {
    TScanSession& session = ctx.Session;
    THeadMoov out;
    // The video sample tables and the keys the frame starts are matched by.
    TVideo video;
    TSampleKeys keys;
    const TScanResult& H = session.Scans.Get(headerIndex);
    if (tables) {
        video = std::move(tables->Video);
        keys = std::move(tables->Keys);
    } else {
        Get_MOOV_VideoAndSound(ctx.Source, session, headerIndex, video, ctx.RecoveryType, ctx.ScanEnd, keys);
    }
    if (!video.Ext_Flag) return out;

    TRebuildResult& R = out.Result.emplace(Header_Result(H, headMode));
    Note_ChunkLayout(video, R);
    out.PairedHead = Place_FileHead(ctx, H, headerIndex, R, isFree);
    const bool paired = out.PairedHead >= 0;

    // The window of the medium searched for frame starts.
    const TFragmenArr& e0 = R.FragmenArray[0];
    const int64_t F = (paired && headMode == 0 && R.Fragmenum > 1) ? R.FragmenArray[1].FragmenSoff : -1;
    int64_t start = 0, end = 0;
    Get_SearchRange(ctx.Scheme, headMode, ctx.ScanEnd, e0.MdatLen, F, e0.FragmenEoff, e0.FragmenSoff, start, end);
    if (start > end) std::swap(start, end);
    std::vector<TFrameAnchor> anchors = Collect_Anchors(ctx, start, end, keys, found);

    int64_t total = 0;
    for (const auto& ch : video.STCOArr)
        total += int64_t(ch.STSZArr.size());
    out.Samples = TSampleCount{0, total};

    // No frame start fits: nothing to rebuild from.
    if (anchors.empty()) {
        out.Status = HEADMOOV_NO_ANCHOR;
        return out;
    }

    // Fragments grown from the anchors along the sample tables; seams the
    // tables leave open and short runs are judged by decoding, with the
    // parameter sets of the recording's own movie box.
    const TSampleJudge judge = Make_SampleJudge(ctx.Source, H.MoovOff, H.MoovLen);
    Fragments_FromAnchors(ctx, paired, video, keys, anchors, R, &judge);
    Order_Fragments(R, video.STSC_SubFlag);

    Resolve_Seams(ctx, headMode, video, R, &judge);
    const int64_t placed = Count_PlacedSamples(R, video);
    R.SamplesMissing = total - placed;
    out.Samples.Placed = placed;
    out.Status = HEADMOOV_OK;
    return out;
}

} // namespace qrv
