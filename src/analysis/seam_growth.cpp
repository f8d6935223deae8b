#include "analysis/seam_growth.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "analysis/sample_start.h"
#include "media/raw_access.h"
#include "scan/alloc_map.h"
#include "scan/classifier.h"

namespace qrv {

namespace {

// Calls fn(sample) for every video sample whose bytes overlap file [X, Y), in
// file order. Chunk offsets ascend, and a chunk's samples follow its offset.
template <class TFn> void For_SamplesIn(const TVideo& v, int64_t X, int64_t Y, TFn&& fn) {
    const auto& ch = v.STCOArr;
    auto it = std::upper_bound(ch.begin(), ch.end(), X,
                               [](int64_t x, const TVideoSTCO& c) { return x < c.STCOoff; });
    size_t c = it == ch.begin() ? 0 : size_t(it - ch.begin()) - 1;
    for (; c < ch.size() && ch[c].STCOoff < Y; ++c)
        for (const TVideoSTSZ& s : ch[c].STSZArr) {
            if (s.STSZoff >= Y) return;
            if (s.STSZoff + int64_t(s.STSZlen) > X) fn(s);
        }
}

} // namespace

bool Has_ZeroRun(const uint8_t* buf, int64_t len) {
    for (int64_t i = 0; i + 2 < len;) {
        const void* z = std::memchr(buf + i, 0, size_t(len - 2 - i));
        if (!z) return false;
        i = static_cast<const uint8_t*>(z) - buf;
        if (buf[i + 1] == 0 && buf[i + 2] <= 2) return true;
        ++i;
    }
    return false;
}

int Seam_ClusterState(const TSeamContext& ctx, int64_t x) {
    if (ctx.H == nullptr || ctx.Node == nullptr || ctx.Map == nullptr || !Is_KnownFs(ctx.Node->HddFs))
        return 255;
    const int64_t cluster = Cluster_Of(ctx.Node->HddFs, *ctx.Map, ctx.Cl.Base, ctx.Cl.Size, x);
    if (cluster < 0) return 255;
    return Get_ClusterState(*ctx.H, ctx.Node->HddFs, *ctx.Map, cluster);
}

bool Stretch_Fits(const TSeamContext& ctx, int64_t c, int64_t X, int64_t len, int state) {
    if (ctx.H == nullptr || ctx.V == nullptr || c < 0 || X < 0 || len <= 0) return false;
    if (state != 255) {
        const int here = Seam_ClusterState(ctx, c);
        if (here != 255 && here != state) return false;
    }
    std::vector<uint8_t> buf = Get_Bytes(*ctx.H, len + 512, c);
    if (int64_t(buf.size()) != len + 512) return false;
    bool starts = false, ok = true;
    For_SamplesIn(*ctx.V, X, X + len, [&](const TVideoSTSZ& s) {
        if (!ok) return;
        if (s.STSZoff >= X) {
            starts = true;
            if (!Probe_SampleStart(*ctx.H, c + (s.STSZoff - X), s.STSZlen, s.STSSFlag, ctx.V->Format))
                ok = false;
        }
        const int64_t from = std::max(X, s.STSZoff + kPayloadSkipHead);
        const int64_t to = std::min(X + len, s.STSZoff + int64_t(s.STSZlen) - kPayloadSkipTail);
        if (ok && to - from >= 3 && Has_ZeroRun(buf.data() + (from - X), to - from)) ok = false;
    });
    if (!ok) return false;
    // The stretch's own sample starts are markers; elsewhere a marker means
    // something else lies here.
    return starts || !Has_Marker(buf.data(), buf.size());
}

namespace {

// Largest video sample a seam decision assembles; a larger one is left to the
// interleave scheme (a table entry that large is not a camera's frame).
constexpr int64_t kMaxJudgedSample = 16 << 20;

// How the file bytes of a gap and its surroundings are laid on the medium:
// up to file offset Split they continue the first piece (medium LeftEnd on,
// file LeftFile), from there Else bytes come from medium ElseAt, and the rest
// lead up to the second piece (medium RightStart, file RightFile).
struct TGapLayout {
    int64_t LeftEnd, LeftFile, RightStart, RightFile, Split;
    int64_t ElseAt = -1, Else = 0;
};

// Reads file [from, to) as laid out by x into out.
bool Read_Laid(const TSeamContext& ctx, const TGapLayout& x, int64_t from, int64_t to, uint8_t* out) {
    const int64_t elseEnd = x.Split + x.Else;
    struct TPart {
        int64_t From, To, Medium; // file range and the medium offset of its first byte
    };
    const TPart parts[3] = {{from, std::min(to, x.Split), x.LeftEnd + (from - x.LeftFile)},
                            {std::max(from, x.Split), std::min(to, elseEnd), x.ElseAt + (std::max(from, x.Split) - x.Split)},
                            {std::max(from, elseEnd), to, x.RightStart - (x.RightFile - std::max(from, elseEnd))}};
    for (const TPart& p : parts) {
        if (p.To <= p.From) continue;
        const auto b = Get_Bytes(*ctx.H, p.To - p.From, p.Medium);
        if (int64_t(b.size()) != p.To - p.From) return false;
        std::copy(b.begin(), b.end(), out + (p.From - from));
    }
    return true;
}

// Which samples of the gap a decode judges: all of them, only those that
// overlap a file range, or only those wholly outside it.
enum class TPick { All, Inside, Outside };

// Whether the video samples overlapping file [LeftFile, RightFile) decode
// cleanly when laid out by x, of them the ones pick selects relative to file
// [from, to). decodes (may be null) counts the samples judged.
bool Layout_Decodes(const TSeamContext& ctx, const TGapLayout& x, int* decodes = nullptr, TPick pick = TPick::All,
                    int64_t from = 0, int64_t to = 0) {
    bool clean = true;
    std::vector<uint8_t> sample;
    For_SamplesIn(*ctx.V, x.LeftFile, x.RightFile, [&](const TVideoSTSZ& s) {
        if (!clean) return;
        const bool inside = s.STSZoff < to && s.STSZoff + int64_t(s.STSZlen) > from;
        if ((pick == TPick::Inside && !inside) || (pick == TPick::Outside && inside)) return;
        if (s.STSZlen == 0 || int64_t(s.STSZlen) > kMaxJudgedSample) {
            clean = false;
            return;
        }
        sample.assign(size_t(s.STSZlen), 0);
        clean = Read_Laid(ctx, x, s.STSZoff, s.STSZoff + int64_t(s.STSZlen), sample.data()) &&
                (*ctx.Judge)(std::span<const uint8_t>(sample));
        if (decodes) ++*decodes;
    });
    return clean;
}

// Looks for a run of clusters elsewhere in the search window that holds the
// gap's middle, a piece shorter than a frame: for every way the first piece can take j of the gap's n
// clusters and the second k (within what fits on each side) whose samples
// outside the middle decode cleanly, a run of n - j - k clusters, nearest to
// the gap first, that no rebuilt piece holds, that fits the file bytes it
// would hold (Stretch_Fits), and that makes the samples across it decode
// cleanly. Stops at the first such run or when the budget is spent.
bool Search_Elsewhere(const TSeamContext& ctx, int64_t leftEnd, int64_t leftFile, int leftState, int64_t rightStart,
                      int64_t rightFile, int64_t jmax, int64_t kmax, TSeamGrowth& g) {
    const TSeamSearch& s = *ctx.Search;
    const int64_t f = ctx.Cl.Size;
    const int64_t n = (rightFile - leftFile) / f;
    int64_t from = ctx.Cl.Start(std::max<int64_t>(s.From, 0));
    if (from < s.From) from += f;
    if (s.To - from < f) return false;
    const int64_t count = (s.To - from) / f; // clusters in the window
    const int64_t near = std::clamp<int64_t>((leftEnd - from) / f, 0, count - 1);
    int runs = 0, decodes = 0;
    // The splits (j first-side clusters, m elsewhere, k second-side) whose
    // samples outside the middle decode cleanly: judged once, on first use.
    struct TSplit {
        int64_t J, M, K;
        int8_t Ok = -1;
    };
    std::vector<TSplit> splits;
    for (int64_t m = 1; m <= std::min(n, s.MaxClusters); ++m)
        for (int64_t j = std::max<int64_t>(0, n - m - kmax); j <= std::min(jmax, n - m); ++j) {
            // Only a middle that starts no sample: a piece with a sample start
            // is found by the frame-start search (within the window the
            // operator chose), not here.
            bool starts = false;
            For_SamplesIn(*ctx.V, leftFile + j * f, leftFile + (j + m) * f, [&](const TVideoSTSZ& x) {
                if (x.STSZoff >= leftFile + j * f) starts = true;
            });
            if (!starts) splits.push_back({j, m, n - m - j});
        }
    // Cluster indexes of the window by distance from the gap: near, near + 1,
    // near - 1, near + 2, ...
    for (int64_t step = 0; step < 2 * count; ++step) {
        const int64_t i = step % 2 == 0 ? near + step / 2 : near - (step + 1) / 2;
        if (i < 0 || i >= count) continue;
        const int64_t c = from + i * f;
        for (TSplit& p : splits) {
            const int64_t split = leftFile + p.J * f, len = p.M * f;
            if (p.Ok == 0 || c + len > s.To || (c < rightStart && c + len > leftEnd)) continue;
            if (s.Is_Claimed(c, c + len) || Ranges_Overlap(ctx.Own, c, c + len)) continue;
            if (runs >= s.MaxRuns || decodes >= s.MaxDecodes || *s.DecodesLeft <= decodes) {
                *s.DecodesLeft -= decodes;
                return false;
            }
            ++runs;
            if (!Stretch_Fits(ctx, c, split, len, leftState)) continue;
            TGapLayout x{leftEnd, leftFile, rightStart, rightFile, split, c, len};
            if (p.Ok < 0) p.Ok = Layout_Decodes(ctx, x, &decodes, TPick::Outside, split, split + len) ? 1 : 0;
            if (p.Ok == 0 || !Layout_Decodes(ctx, x, &decodes, TPick::Inside, split, split + len)) continue;
            g.Left = p.J;
            g.Right = p.K;
            g.ElseAt = c;
            g.Else = p.M;
            g.State = SEAM_VERIFIED;
            *s.DecodesLeft -= decodes;
            return true;
        }
    }
    *s.DecodesLeft -= decodes;
    return false;
}

} // namespace

TSeamGrowth Grow_Seam(const TSeamContext& ctx, int64_t leftEnd, int64_t leftFile, int leftState,
                      int64_t rightStart, int64_t rightFile, int rightState, int interleave) {
    TSeamGrowth g;
    const int64_t f = ctx.Cl.Size;
    const int64_t W = rightFile - leftFile;
    if (f <= 0 || W <= 0 || W % f != 0) return g;
    const int64_t n = W / f;
    // What fits on each side, each side on its own.
    int64_t jmax = 0, kmax = 0;
    while (jmax < n && Stretch_Fits(ctx, leftEnd + jmax * f, leftFile + jmax * f, f, leftState))
        ++jmax;
    while (kmax < n && rightStart - (kmax + 1) * f >= 0 &&
           Stretch_Fits(ctx, rightStart - (kmax + 1) * f, rightFile - (kmax + 1) * f, f, rightState))
        ++kmax;
    g.Candidates = 1;
    const bool canSearch = ctx.Judge != nullptr && *ctx.Judge && ctx.Search != nullptr;
    if (jmax + kmax < n) {
        // Bytes are missing whatever the split: each side takes what fits,
        // unless the middle is found elsewhere.
        if (canSearch && Search_Elsewhere(ctx, leftEnd, leftFile, leftState, rightStart, rightFile, jmax, kmax, g))
            return g;
        g.Left = jmax;
        g.Right = kmax;
        return g;
    }
    // Splits that cover the gap: the first piece takes j clusters, the second n - j.
    const int64_t lo = n - kmax, hi = jmax;
    g.Candidates = int(std::min<int64_t>(hi - lo + 1, INT32_MAX));
    int64_t j = interleave == 1 ? lo : hi;
    if (hi > lo) {
        g.State = SEAM_UNVERIFIED;
        if (ctx.Judge != nullptr && *ctx.Judge) {
            int64_t clean = -1, cleanCount = 0;
            for (int64_t c = lo; c <= hi && cleanCount < 2; ++c)
                if (Layout_Decodes(ctx, {leftEnd, leftFile, rightStart, rightFile, leftFile + c * f})) {
                    clean = c;
                    ++cleanCount;
                }
            if (cleanCount == 1) {
                j = clean;
                g.State = SEAM_VERIFIED;
            } else if (cleanCount == 0 && ctx.Search != nullptr &&
                       Search_Elsewhere(ctx, leftEnd, leftFile, leftState, rightStart, rightFile, jmax, kmax, g)) {
                g.Candidates = int(std::min<int64_t>(hi - lo + 1, INT32_MAX));
                return g;
            }
        }
    } else {
        j = lo;
    }
    g.Left = j;
    g.Right = n - j;
    return g;
}

} // namespace qrv
